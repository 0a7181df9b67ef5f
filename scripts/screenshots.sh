#!/usr/bin/env bash
# Saves a picture of each page of the window into docs/ (screenshot-upload.png, -settings.png, -records.png).
# Runs the program under a virtual X server against the test build's stand-in of the hosting service, with a
# throw-away program directory: the settings are made and two pictures uploaded with the command line, so the
# pages show what a user sees after a few uploads.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install_deps.sh build screenshots
build_dir="${VELPIC_BUILD_DIR:-build}"
cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELPIC_BUILD_TESTS=ON
cmake --build "$build_dir" -j "$(nproc)" --target velpic velpic-test-service
velpic="$build_dir/src/app/velpic"

work="$(mktemp -d)"
service_pid=
cleanup() {
    [ -n "$service_pid" ] && kill "$service_pid" 2>/dev/null && wait "$service_pid" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT

# The stand-in prints its address, then serves until it is stopped.
mkfifo "$work/address"
"$build_dir/tests/velpic-test-service" >"$work/address" &
service_pid=$!
read -r base <"$work/address"
export VELPIC_SERVICE_BASE="$base"
data_dir="$work/data"

"$velpic" --data-dir "$data_dir" config set owner alice repo pics token - <<<"example-token" >/dev/null
# Two pictures: the program's icon, and the same drawing as a GIF.
convert resources/velpic.png "$work/icon.gif"
"$velpic" --data-dir "$data_dir" upload resources/velpic.png "$work/icon.gif" >/dev/null
# And the record of a picture since deleted from the repository, which the check finds gone.
python3 - "$data_dir" "$base" <<'PY'
import os, sys
d, base = sys.argv[1], sys.argv[2]
digest = "0cc175b9c0f1b6a831c399e269772661"
with open(os.path.join(d, "本地记录.ini"), "ab") as f:
    f.write((f"[{digest}]\r\nImgMd5={digest}\r\nImgType=.png\r\nImgUploadTime=1638003930123\r\n"
             f"ImgUrl={base}alice/pics/raw/master/{digest}.png\r\n").encode("gbk"))
PY

mkdir -p docs
pages=(upload settings records)
for index in 0 1 2; do
    xvfb-run -a -s "-screen 0 640x480x24" \
        "$velpic" --data-dir "$data_dir" --screenshot-page "$index" "docs/screenshot-${pages[$index]}.png"
    echo "docs/screenshot-${pages[$index]}.png"
done
