#!/usr/bin/env bash
# Builds zent.exe and packs the release: dist/zent-windows-x64.zip with the
# program, the README, and the licences of everything linked into it.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bash "$root/scripts/build-windows.sh"
work="$root/build-win"
stage="$work/package/zent-windows-x64"
rm -rf "$work/package"
mkdir -p "$stage/licences" "$root/dist"
# Without the libraries' debugging sections: about a third of the size.
x86_64-w64-mingw32-strip -o "$stage/zent.exe" "$work/zent/zent.exe"
cp "$root/README.md" "$stage/README.md"
# The codec libraries, from their Debian copyright files.
for dir in "$work"/prefix/share/licenses/*/; do
  lib=$(basename "$dir")
  [ "$lib" = googletest ] && continue  # test executables only
  cp "$dir/copyright" "$stage/licences/$lib.txt"
done
# The C runtime start-up code and the thread library linked statically.
cp /usr/share/doc/mingw-w64-x86-64-dev/copyright "$stage/licences/mingw-w64-runtime.txt"
cp /usr/share/doc/gcc-mingw-w64-base/copyright "$stage/licences/gcc-runtime.txt"
rm -f "$root/dist/zent-windows-x64.zip"
(cd "$work/package" && zip -q -r -X "$root/dist/zent-windows-x64.zip" zent-windows-x64)
echo "package-windows: $root/dist/zent-windows-x64.zip"
