#!/usr/bin/env bash
# Builds the Debian package of the build and checks its control fields and contents, then runs the program
# unpacked from it. Usage: check_package.sh BUILD_DIR APP_ID VERSION
set -euo pipefail
build=$1 app_id=$2 version=$3
source "$(dirname "$0")/installed_files.sh"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work/out" >"$work/cpack.txt" 2>&1 ||
    fail "cpack: $(cat "$work/cpack.txt")"
deb="$work/out/velpic_${version}_$(dpkg --print-architecture).deb"
[ -f "$deb" ] || fail "no $deb; cpack made: $(ls "$work/out")"

field() { dpkg-deb -f "$deb" "$1"; }
[ "$(field Package)" = velpic ] || fail "Package: $(field Package)"
[ "$(field Version)" = "$version" ] || fail "Version: $(field Version)"
[ "$(field Section)" = graphics ] || fail "Section: $(field Section)"
[[ "$(field Maintainer)" == *@* ]] || fail "Maintainer: $(field Maintainer)"
[ "$(dpkg-deb -f "$deb" Description | wc -l)" -ge 2 ] || fail "no long description"

# What dpkg-shlibdeps found for the linked libraries, and what is loaded at run time without being linked.
depends=$(field Depends | sed 's/ *([^)]*)//g; s/, */\n/g')
for package in libc6 libstdc++6 libqt6widgets6 libqt6gui6 libqt6core6 libcurl4 libmariadb3 libssl3 libpcre2-8-0 \
    qt6-qpa-plugins qt6-image-formats-plugins qt6-translations-l10n fonts-wqy-zenhei ca-certificates; do
    grep -qxF "$package" <<<"$depends" || fail "Depends lacks $package: $(field Depends)"
done

diff <(expected_files | sed 's|^|usr/|' | sort) \
    <(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ {print $NF}' | sed 's|^\./||' | sort) ||
    fail "the package holds other files than the program's (lines with > are extra)"

# Unpacked, the package's layout counts as installed too.
dpkg-deb -x "$deb" "$work/root"
check_installed_data_dir "$work/root/usr/bin/velpic" "$work/unpacked"
echo "package: ok"
