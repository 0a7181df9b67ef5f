#!/usr/bin/env bash
# The README's two commands share build/ in either order: the run command's configure turns the tests off, and the
# test command's configure of that same folder must turn them on again (a folder's cache keeps every option no
# command states). Configures a scratch folder with each script in turn, stopping each after its configure, and
# checks the cache and the tests ctest would run.
set -euo pipefail
source_dir="$1"
scratch="$(mktemp -d)"
trap 'rm -rf "$scratch"' EXIT
export VELPIC_BUILD_DIR="$scratch/build" VELPIC_SETUP_CONFIGURE_ONLY=1
cache="$VELPIC_BUILD_DIR/CMakeCache.txt"

fail() {
    echo "FAIL: $*" >&2
    exit 1
}
option() {
    sed -n "s/^$1:[A-Z]*=//p" "$cache"
}
test_count() {
    (cd "$VELPIC_BUILD_DIR" && ctest -N 2>/dev/null) | sed -n 's/^Total Tests: //p'
}

bash "$source_dir/scripts/run.sh" >"$scratch/run.log" 2>&1 || fail "run.sh's configure failed: $(cat "$scratch/run.log")"
[ "$(option VELPIC_BUILD_TESTS)" = OFF ] || fail "run.sh left VELPIC_BUILD_TESTS=$(option VELPIC_BUILD_TESTS)"

bash "$source_dir/scripts/test.sh" >"$scratch/test.log" 2>&1 || fail "test.sh's configure failed: $(cat "$scratch/test.log")"
for name in VELPIC_BUILD_TESTS VELPIC_BUILD_APP VELPIC_BUILD_BENCHMARKS; do
    [ "$(option $name)" = ON ] || fail "test.sh after run.sh left $name=$(option $name)"
done
[ -z "$(option VELPIC_SANITIZE)" ] || fail "test.sh left VELPIC_SANITIZE=$(option VELPIC_SANITIZE)"
[ "$(option CMAKE_BUILD_TYPE)" = RelWithDebInfo ] || fail "test.sh left CMAKE_BUILD_TYPE=$(option CMAKE_BUILD_TYPE)"
# Before a build only the tests added at configure time are known (the GoogleTest ones are found by the build).
[ "$(test_count)" -gt 0 ] || fail "ctest finds no test after test.sh's configure"
grep -q 'cli_tests' "$VELPIC_BUILD_DIR/tests/cli/CTestTestfile.cmake" ||
    fail "the test executables are not registered after test.sh's configure"

# And back: the run command's configure after the test command's turns the tests off again.
bash "$source_dir/scripts/run.sh" >"$scratch/run.log" 2>&1 || fail "run.sh's second configure failed"
[ "$(option VELPIC_BUILD_TESTS)" = OFF ] || fail "run.sh after test.sh left VELPIC_BUILD_TESTS=ON"
echo "ok"
