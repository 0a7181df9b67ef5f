#!/usr/bin/env bash
# Installs the Debian packages that building, testing or running Velpic needs, skipping those present. Prints one
# line per step and the list of packages once; apt's whole output goes to the log named below.
# Usage: scripts/install_deps.sh [build|test|run|screenshots|fuzz]...
set -euo pipefail

# Every program the build, the tests and the README's steps call comes from a package named here: cpack needs
# `file` and dpkg-shlibdeps (dpkg-dev); the package test runs dpkg-deb, desktop-file-validate and appstreamcli;
# the MySQL tests start mariadbd; the tests and benchmarks call openssl, curl, mariadb, md5sum and base64; the
# keyring tests start dbus-run-session and gnome-keyring-daemon and look into the keyring with secret-tool.
# QtKeychain loads libsecret only when it runs (no package depends on it), so the run set names it.
build_pkgs=(cmake g++ make pkg-config git ca-certificates ccache file qt6-base-dev libxkbcommon-dev
            libcurl4-openssl-dev libmariadb-dev libpcre2-dev nlohmann-json3-dev libssl-dev libcpp-httplib-dev
            libmd4c-dev qtkeychain-qt6-dev)
test_pkgs=(libgtest-dev libgmock-dev libbenchmark-dev mariadb-server mariadb-client openssl fonts-wqy-zenhei
           desktop-file-utils appstream dpkg-dev curl coreutils qt6-image-formats-plugins qt6-translations-l10n
           dbus gnome-keyring libsecret-tools)
run_pkgs=(fonts-wqy-zenhei qt6-image-formats-plugins qt6-translations-l10n libsecret-1-0)
shot_pkgs=(xvfb xauth x11-apps imagemagick python3 fonts-wqy-zenhei)
fuzz_pkgs=(clang libclang-rt-14-dev)

wanted=("${build_pkgs[@]}")
for kind in "$@"; do
    case "$kind" in
        build) ;;
        test) wanted+=("${test_pkgs[@]}") ;;
        run) wanted+=("${run_pkgs[@]}") ;;
        screenshots) wanted+=("${test_pkgs[@]}" "${shot_pkgs[@]}") ;;
        fuzz) wanted+=("${fuzz_pkgs[@]}") ;;
        *) echo "unknown package set: $kind" >&2; exit 2 ;;
    esac
done

missing=()
for pkg in $(printf '%s\n' "${wanted[@]}" | sort -u); do
    if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$pkg")
    fi
done
if [ ${#missing[@]} -eq 0 ]; then
    exit 0
fi

as_root=()
if [ "$(id -u)" -ne 0 ]; then
    as_root=(sudo)
fi
log="${VELPIC_DEPS_LOG:-/tmp/velpic-install-deps.log}"
: >"$log"
run_logged() {
    if ! "$@" >>"$log" 2>&1; then
        tail -n 20 "$log" >&2
        echo "failed: $* (whole output in $log)" >&2
        exit 1
    fi
}

# The tests start a private database server of their own. A package's maintainer script asks policy-rc.d whether
# it may start its service; answering 101 (not allowed) keeps mariadb-server's system service from starting. Only
# a policy this script put there is removed again.
policy=/usr/sbin/policy-rc.d
own_policy=false
remove_policy() {
    if $own_policy; then "${as_root[@]}" rm -f "$policy"; fi
}
trap remove_policy EXIT
if [ ! -e "$policy" ]; then
    printf '#!/bin/sh\n# Left by Velpic'"'"'s scripts/install_deps.sh while it installs packages.\nexit 101\n' |
        "${as_root[@]}" tee "$policy" >/dev/null
    "${as_root[@]}" chmod 755 "$policy"
    own_policy=true
fi

echo "== Installing ${#missing[@]} Debian packages and what they depend on (apt output in $log):"
echo "   ${missing[*]}"
echo "== Updating the package lists"
run_logged "${as_root[@]}" apt-get update
echo "== Installing"
run_logged "${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends \
    -o Dpkg::Use-Pty=0 "${missing[@]}"
# apt's own summary: "N newly installed" and the room they take.
grep -E "newly installed|disk space will be used" "$log" | sed 's/^/   /' || true

# Where systemd runs, the service would still start at the next boot: the tests never need it.
if printf '%s\n' "${missing[@]}" | grep -qx mariadb-server && [ -d /run/systemd/system ]; then
    "${as_root[@]}" systemctl disable --quiet mariadb 2>>"$log" || true
    echo "== mariadb-server's system service is left stopped and disabled (the tests run a private server)"
fi
