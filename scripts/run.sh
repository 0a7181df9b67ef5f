#!/usr/bin/env bash
# Installs what is missing, builds the program in build/ and starts it; arguments are passed on (--data-dir DIR).
# It states every option of build/ it relies on, so it works whether scripts/test.sh configured build/ before or not.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/build_options.sh
dir="${VELPIC_BUILD_DIR:-build}"
install_packages build run
step "Configuring $dir/ (output in $dir/setup.log)"
configure "$dir" -DVELPIC_BUILD_TESTS=OFF -DVELPIC_BUILD_BENCHMARKS=OFF
step "Building the program ($dir/src/app/velpic)"
build "$dir" --target velpic
step "Starting $dir/src/app/velpic"
exec "$dir/src/app/velpic" "$@"
