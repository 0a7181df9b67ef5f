# Sourced by run.sh and test.sh: the options every configure of a build folder states, so the folder's cache never
# keeps one that an earlier command set (a test command after the run command still builds and runs the tests).
# Output of configure and build goes to <folder>/setup.log; a failure shows its end. Sourced from the repository's
# root.

# VELPIC_SETUP_CONFIGURE_ONLY=1 stops a script after its configure, without installing packages: the test of the
# scripts themselves uses it with VELPIC_BUILD_DIR naming a scratch folder.
configure_only="${VELPIC_SETUP_CONFIGURE_ONLY:-}"

step() { printf '== %s\n' "$*"; }

install_packages() {
    if [ -z "$configure_only" ]; then bash scripts/install_deps.sh "$@"; fi
}

# Runs a command with its output in the log; on failure prints the log's end and stops the script.
logged() {
    local log="$1"
    shift
    if ! "$@" >>"$log" 2>&1; then
        tail -n 40 "$log" >&2
        printf 'failed: %s (whole output in %s)\n' "$*" "$log" >&2
        exit 1
    fi
}

# configure DIR [-DOPTION=VALUE...]: the options not given are set to their defaults here, never left to the cache.
configure() {
    local dir="$1"
    shift
    # ccache (installed with the packages, so looked for only now) keeps compiled files across build folders and
    # clones: paths below the repository are hashed relative to it.
    local launcher=
    if command -v ccache >/dev/null; then
        launcher=ccache
        export CCACHE_BASEDIR="${CCACHE_BASEDIR:-$PWD}" CCACHE_NOHASHDIR="${CCACHE_NOHASHDIR:-1}"
    fi
    mkdir -p "$dir"
    : >"$dir/setup.log"
    logged "$dir/setup.log" cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DCMAKE_CXX_COMPILER_LAUNCHER="$launcher" -DVELPIC_BUILD_APP=ON -DVELPIC_FUZZ=OFF -DVELPIC_SANITIZE= \
        -DVELPIC_BUILD_TESTS=ON -DVELPIC_BUILD_BENCHMARKS=ON "$@"
    if [ -n "$configure_only" ]; then exit 0; fi
}

# build DIR [cmake --build arguments...]
build() {
    local dir="$1"
    shift
    logged "$dir/setup.log" cmake --build "$dir" -j "$(nproc)" "$@"
}
