#!/usr/bin/env bash
# Saves a picture of each page of the window into docs/ (screenshot-upload.png, -settings.png, -records.png).
# Runs the program under a virtual X server, with a throw-away program directory holding example settings.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install_deps.sh build screenshots
build_dir="${VELPIC_BUILD_DIR:-build}"
cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build "$build_dir" -j "$(nproc)" --target velpic

data_dir="$(mktemp -d)"
trap 'rm -rf "$data_dir"' EXIT
# Example settings and two local records, written in GBK as the program keeps them. The token is left out
# on purpose: the settings page shows what a first run shows, apart from owner and repository.
python3 - "$data_dir" <<'PY'
import os, sys
d = sys.argv[1]
def w(name, text):
    with open(os.path.join(d, name), "wb") as f:
        f.write(text.encode("gbk"))
w("配置.ini", "[Gitee配置]\r\nOwner=alice\r\nRepo=pics\r\n[记录方式]\r\n方式=本地\r\n")
w("本地记录.ini",
  "[0cc175b9c0f1b6a831c399e269772661]\r\nImgMd5=0cc175b9c0f1b6a831c399e269772661\r\nImgType=.png\r\n"
  "ImgUploadTime=1638003930123\r\nImgUrl=http://127.0.0.1:9/alice/pics/raw/master/0cc175b9c0f1b6a831c399e269772661.png\r\n"
  "[92eb5ffee6ae2fec3ad71c777531578f]\r\nImgMd5=92eb5ffee6ae2fec3ad71c777531578f\r\nImgType=.gif\r\n"
  "ImgUploadTime=1638003990456\r\nImgUrl=http://127.0.0.1:9/alice/pics/raw/master/92eb5ffee6ae2fec3ad71c777531578f.gif\r\n")
PY

mkdir -p docs
pages=(upload settings records)
for index in 0 1 2; do
    xvfb-run -a -s "-screen 0 640x480x24" \
        "$build_dir/src/app/velpic" --data-dir "$data_dir" --screenshot-page "$index" "docs/screenshot-${pages[$index]}.png"
    echo "docs/screenshot-${pages[$index]}.png"
done
