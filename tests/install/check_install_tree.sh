#!/usr/bin/env bash
# Installs the build into a temporary prefix and checks what a Linux desktop finds there, then where the
# installed program keeps its files. Usage: check_install_tree.sh BUILD_DIR APP_ID
set -euo pipefail
build=$1 app_id=$2
source "$(dirname "$0")/installed_files.sh"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix="$work/prefix with space"

cmake --install "$build" --prefix "$prefix" >/dev/null
diff <(expected_files | sort) <(cd "$prefix" && find . -type f -printf '%P\n' -o -type l -printf '%P\n' | sort) ||
    fail "the install tree holds other files than the program's (lines with > are extra)"
[ -x "$prefix/bin/velpic" ] || fail "bin/velpic is not executable"

entry="$prefix/share/applications/$app_id.desktop"
report=$(desktop-file-validate "$entry" 2>&1) || fail "desktop-file-validate: $report"
[ -z "$report" ] || fail "desktop-file-validate has remarks: $report"
grep -qx "Exec=velpic" "$entry" || fail "the desktop entry does not start the installed velpic"
grep -qx "Icon=$app_id" "$entry" || fail "the desktop entry names another icon than $app_id"

metainfo="$prefix/share/metainfo/$app_id.metainfo.xml"
appstreamcli validate --no-net "$metainfo" >"$work/appstream.txt" 2>&1 ||
    fail "appstreamcli validate: $(cat "$work/appstream.txt")"
grep -q "<id>$app_id</id>" "$metainfo" || fail "the metadata carries another id"
grep -q "<launchable type=\"desktop-id\">$app_id.desktop</launchable>" "$metainfo" ||
    fail "the metadata does not launch $app_id.desktop"

# Each PNG is as large as the theme folder it sits in says (width and height from its header).
for size in "${icon_sizes[@]}"; do
    icon="$prefix/share/icons/hicolor/${size}x${size}/apps/$app_id.png"
    header=$(od -An -tx1 -j12 -N12 "$icon" | tr -d ' \n')
    [ "$header" = "$(printf '49484452%08x%08x' "$size" "$size")" ] || fail "$icon is not a ${size}x${size} PNG"
done
grep -q "<svg" "$prefix/share/icons/hicolor/scalable/apps/$app_id.svg" || fail "the scalable icon is no SVG"

check_installed_data_dir "$prefix/bin/velpic" "$work/installed"

# The same program run from its build tree keeps its files beside itself, whatever XDG_CONFIG_HOME says.
env -u VELPIC_DATA_DIR XDG_CONFIG_HOME="$work/build-config" "$build/src/app/velpic" --help >/dev/null
[ ! -e "$work/build-config" ] || fail "the build tree's program took the installed program's directory"
echo "install tree: ok"
