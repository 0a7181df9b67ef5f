#!/usr/bin/env bash
# Installs what is missing, builds everything (benchmarks included) and runs every test; then builds the suite again
# with AddressSanitizer and UndefinedBehaviorSanitizer in build-sanitize/ and runs it there too.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install_deps.sh build test
launcher=()
if command -v ccache >/dev/null; then
    launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi

cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo "${launcher[@]}"
cmake --build build -j "$(nproc)"
(cd build && ctest --output-on-failure -j "$(nproc)" --timeout 600)

# Benchmarks measure speed, which a sanitizer build does not show; they are left out of it.
cmake -S . -B build-sanitize -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELPIC_SANITIZE="address;undefined" \
    -DVELPIC_BUILD_BENCHMARKS=OFF "${launcher[@]}"
cmake --build build-sanitize -j "$(nproc)"
export UBSAN_OPTIONS=print_stacktrace=1
export LSAN_OPTIONS="suppressions=$PWD/tests/sanitizer/lsan.supp"
(cd build-sanitize && ctest --output-on-failure -j "$(nproc)" --timeout 1200)
