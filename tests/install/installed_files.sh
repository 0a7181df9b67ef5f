# Shared by the install checks: the files an install lays out below its prefix, and the data directory probe.
# Expects $app_id to be set by the sourcing script.

icon_sizes=(16 24 32 48 64 128 256)

expected_files() {
    echo "bin/velpic"
    echo "share/applications/$app_id.desktop"
    echo "share/metainfo/$app_id.metainfo.xml"
    for size in "${icon_sizes[@]}"; do
        echo "share/icons/hicolor/${size}x${size}/apps/$app_id.png"
    done
    echo "share/icons/hicolor/scalable/apps/$app_id.svg"
}

fail() {
    echo "FAIL: $*" >&2
    exit 1
}

mode_of() {
    stat -c %a "$1"
}

# An installed program keeps its files in $XDG_CONFIG_HOME/velpic (else ~/.config/velpic), made private;
# VELPIC_DATA_DIR and then --data-dir take precedence. $1: the installed executable, $2: a scratch directory.
check_installed_data_dir() {
    local exe=$1 scratch=$2
    mkdir -p "$scratch/home"
    env -u VELPIC_DATA_DIR HOME="$scratch/home" XDG_CONFIG_HOME="$scratch/config" "$exe" --help >/dev/null
    [ -d "$scratch/config/velpic" ] || fail "$exe made no $scratch/config/velpic"
    [ "$(mode_of "$scratch/config/velpic")" = 700 ] || fail "config/velpic has mode $(mode_of "$scratch/config/velpic")"
    # A record put there is what the program lists.
    printf '[0cc175b9c0f1b6a831c399e269772661]\r\nImgMd5=0cc175b9c0f1b6a831c399e269772661\r\nImgType=.png\r\nImgUploadTime=1638003930123\r\nImgUrl=http://127.0.0.1:9/a/b/raw/master/0cc175b9c0f1b6a831c399e269772661.png\r\n' \
        > "$scratch/config/velpic/本地记录.ini"
    local listed
    listed=$(env -u VELPIC_DATA_DIR HOME="$scratch/home" XDG_CONFIG_HOME="$scratch/config" "$exe" records)
    [[ "$listed" == 0cc175b9c0f1b6a831c399e269772661* ]] || fail "records from the config directory: '$listed'"

    env -u VELPIC_DATA_DIR -u XDG_CONFIG_HOME HOME="$scratch/home" "$exe" --help >/dev/null
    [ "$(mode_of "$scratch/home/.config/velpic")" = 700 ] || fail "no private ~/.config/velpic without XDG_CONFIG_HOME"

    listed=$(HOME="$scratch/home" XDG_CONFIG_HOME="$scratch/config" VELPIC_DATA_DIR="$scratch/env" "$exe" records)
    [ -z "$listed" ] || fail "VELPIC_DATA_DIR did not take precedence: '$listed'"
    [ "$(mode_of "$scratch/env")" = 700 ] || fail "VELPIC_DATA_DIR was not made private"
    listed=$(HOME="$scratch/home" XDG_CONFIG_HOME="$scratch/env" VELPIC_DATA_DIR="$scratch/env" \
        "$exe" --data-dir "$scratch/config/velpic" records)
    [[ "$listed" == 0cc175b9c0f1b6a831c399e269772661* ]] || fail "--data-dir did not take precedence: '$listed'"
    [ "$(ls -A "$(dirname "$exe")")" = velpic ] ||
        fail "files appeared beside the installed program: $(ls -A "$(dirname "$exe")")"
}
