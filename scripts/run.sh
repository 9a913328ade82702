#!/usr/bin/env bash
# Sets up, builds the console program and converts the shipped example picture.
# The include is written into the current folder, named after the picture.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bash "$root/scripts/setup.sh"
bash "$root/scripts/build.sh" "$root/build" >/dev/null
picture=${1:-"$root/examples/zent.bmp"}
out=$(pwd)
"$root/build/zent" "$picture" </dev/null
name=$(basename "$picture")
echo "include written to $out/${name%%.*}.inc"
