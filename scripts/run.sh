#!/usr/bin/env bash
# Installs what is missing, builds the program and starts it; arguments are passed on (e.g. --data-dir DIR).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install_deps.sh build run
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELPIC_BUILD_TESTS=OFF -DVELPIC_BUILD_BENCHMARKS=OFF
cmake --build build -j "$(nproc)" --target velpic
exec ./build/src/app/velpic "$@"
