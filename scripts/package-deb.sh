#!/usr/bin/env bash
# Builds the Debian package: dist/zent_<version>_amd64.deb with the program in
# /usr/bin and its manual page, its dependencies computed from the libraries
# it links (dpkg-shlibdeps). Install it with: apt-get install ./dist/zent_*.deb
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bash "$root/scripts/setup.sh"
build="$root/build-deb"
# A release build of the program alone: no tests, benchmarks or fuzzers.
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DZENT_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" --target zent -- -j"$(nproc)"
mkdir -p "$root/dist"
(cd "$build" && cpack -G DEB -B "$build/package" >/dev/null)
rm -f "$root"/dist/zent_*_amd64.deb
cp "$build"/package/zent_*.deb "$root/dist/"
echo "package-deb: $(ls "$root"/dist/zent_*_amd64.deb)"
