#!/usr/bin/env bash
# Installs what is missing, builds the program and the tests in build/ and runs every test.
#   --sanitize  instead builds them with AddressSanitizer and UndefinedBehaviorSanitizer in build-sanitize/ and runs
#               the suite there (CI runs both).
# It sets every option of the build folder it relies on, so it works whether scripts/run.sh configured build/ before
# or not, and it fails when the suite ran no test.
set -euo pipefail
cd "$(dirname "$0")/.."
sanitize=false
case "${1:-}" in
    "") ;;
    --sanitize) sanitize=true ;;
    *) echo "usage: scripts/test.sh [--sanitize]" >&2; exit 2 ;;
esac
source scripts/build_options.sh
install_packages build test

if $sanitize; then
    dir="${VELPIC_BUILD_DIR:-build}-sanitize"
    step "Configuring $dir/ (AddressSanitizer, UndefinedBehaviorSanitizer)"
    configure "$dir" -DVELPIC_SANITIZE="address;undefined" -DVELPIC_BUILD_BENCHMARKS=OFF
    export UBSAN_OPTIONS=print_stacktrace=1
    export LSAN_OPTIONS="suppressions=$PWD/tests/sanitizer/lsan.supp"
    timeout=1200
else
    dir="${VELPIC_BUILD_DIR:-build}"
    step "Configuring $dir/"
    configure "$dir"
    timeout=600
fi
step "Building the program and the tests in $dir/ (output in $dir/setup.log)"
build "$dir"
step "Running the tests (output in $dir/ctest.log)"
# --no-tests=error: a suite that found no test fails instead of passing. Passing tests take one line each in the
# log; the summary is shown, and the whole log when a test failed.
status=0
(cd "$dir" && ctest --output-on-failure --no-tests=error -j "$(nproc)" --timeout "$timeout") >"$dir/ctest.log" 2>&1 ||
    status=$?
if [ "$status" -ne 0 ]; then
    cat "$dir/ctest.log"
    exit "$status"
fi
grep -E "tests passed|Total Test time" "$dir/ctest.log"
