#!/usr/bin/env bash
# Installs the Debian packages that building, testing or running Velpic needs, skipping those present.
# Usage: scripts/install_deps.sh [build|test|run|screenshots|fuzz]...
set -euo pipefail

build_pkgs=(cmake g++ make pkg-config git qt6-base-dev libcurl4-openssl-dev libmariadb-dev libpcre2-dev
            nlohmann-json3-dev libssl-dev libcpp-httplib-dev libmd4c-dev)
test_pkgs=(libgtest-dev libgmock-dev libbenchmark-dev mariadb-server mariadb-client openssl fonts-wqy-zenhei
           desktop-file-utils appstream dpkg-dev curl qt6-image-formats-plugins qt6-translations-l10n)
run_pkgs=(fonts-wqy-zenhei qt6-image-formats-plugins qt6-translations-l10n)
shot_pkgs=(xvfb xauth x11-apps imagemagick fonts-wqy-zenhei)
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
for pkg in "${wanted[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$pkg")
    fi
done
if [ ${#missing[@]} -eq 0 ]; then
    exit 0
fi

sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then
    sudo_cmd=(sudo)
fi
echo "Installing: ${missing[*]}"
"${sudo_cmd[@]}" apt-get update -qq
DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
