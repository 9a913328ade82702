#!/usr/bin/env bash
# Builds the web page: installs the web tool set (scripts/setup-web.sh),
# builds the codec libraries for WebAssembly once into build-web/prefix
# (kept in a cache outside the clone, keyed by the Debian source versions and
# the build files' hash, so a fresh clone on the same machine skips them),
# builds the converter module with emscripten into build-web/zent and writes
# dist/zent-web/ (index.html, zent.js, zent-worker.js, zent-core.wasm and the
# licences) and dist/zent-web.zip.
# Usage: scripts/build-web.sh [extra cmake options...]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
work="$root/build-web"
prefix="$work/prefix"
cache_root=${ZENT_WEB_CACHE:-/var/cache/zent}
export NODE_PATH=/usr/share/nodejs
# Debian's emscripten runs on Debian's Python (not a python3 earlier in PATH).
export EMSDK_PYTHON=/usr/bin/python3

bash "$root/scripts/setup-web.sh"
mkdir -p "$work"

# The libraries' cache key: the source versions apt would fetch, the scripts
# and the toolchain file that build them, and the compiler's version.
sources=(zlib libpng1.6 libjpeg-turbo lcms2 openjpeg2 libwebp tiff libmng)
key_text=$(
  for s in "${sources[@]}"; do
    echo "$s $(apt-cache showsrc "$s" 2>/dev/null | sed -n 's/^Version: //p' | sort -urV | head -1)"
  done
  dpkg-query -W -f='${Version}\n' emscripten libstb-dev
  cat "$root/scripts/build-web-deps.sh" "$root/scripts/deps-common.sh" "$root/cmake/emscripten-web.cmake"
)
key=$(printf '%s' "$key_text" | sha256sum | cut -c1-16)
cached="$cache_root/web-$key"
if [ ! -f "$prefix/stamps/libmng" ] && [ -f "$cached/stamps/libmng" ]; then
  echo "build-web: libraries from the cache $cached"
  rm -rf "$prefix"
  mkdir -p "$prefix"
  cp -a "$cached/." "$prefix/"
fi
bash "$root/scripts/build-web-deps.sh" "$work"
if [ ! -f "$cached/stamps/libmng" ] && mkdir -p "$cache_root" 2>/dev/null; then
  rm -rf "$cached.tmp"
  cp -a "$prefix" "$cached.tmp" && mv "$cached.tmp" "$cached" || rm -rf "$cached.tmp"
fi

# The module: no tests, no console program; no metafile player (cairo is not
# built for the browser: WMF and EMF files are refused with a message) and
# no helper threads.
cmake -S "$root" -B "$work/zent" -G Ninja \
  -DCMAKE_TOOLCHAIN_FILE="$root/cmake/emscripten-web.cmake" -DZENT_WEB_PREFIX="$prefix" \
  -DCMAKE_BUILD_TYPE=Release -DZENT_BUILD_TESTS=OFF -DZENT_WITH_METAFILE=OFF -DZENT_THREADS=OFF "$@" >/dev/null
nice -n 10 cmake --build "$work/zent" --target zent_core -- -j2

# The page: the worker script is the module's loader followed by the worker.
dist="$root/dist/zent-web"
rm -rf "$dist" "$root/dist/zent-web.zip"
mkdir -p "$dist"
cp "$root/web/index.html" "$root/web/zent.js" "$dist/"
cat "$work/zent/web/zent-core.js" "$root/web/worker.js" >"$dist/zent-worker.js"
cp "$work/zent/web/zent-core.wasm" "$dist/"
{
  echo "Zent is released under the MIT licence:"
  echo
  cat "$root/LICENSE"
  for d in "$prefix"/share/licenses/*/; do
    echo
    echo "==== $(basename "$d") ===="
    echo
    cat "$d/copyright"
  done
} >"$dist/LICENSES.txt"
(cd "$root/dist" && rm -f zent-web.zip && zip -qr zent-web.zip zent-web)
size=$(( $(stat -c %s "$dist/zent-worker.js") + $(stat -c %s "$dist/zent.js") + $(stat -c %s "$dist/zent-core.wasm") ))
gz=$(( $(gzip -9c "$dist/zent-worker.js" | wc -c) + $(gzip -9c "$dist/zent.js" | wc -c) + $(gzip -9c "$dist/zent-core.wasm" | wc -c) ))
echo "build-web: dist/zent-web/ and dist/zent-web.zip written; module and scripts $size bytes ($gz gzipped)"
