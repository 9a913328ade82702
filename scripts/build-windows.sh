#!/usr/bin/env bash
# Cross-compiles zent.exe and the Windows test executables: installs the
# Windows tool set, builds the codec libraries once into build-win/prefix,
# then configures and builds Zent with the mingw-w64 toolchain file into
# build-win/zent.
# Usage: scripts/build-windows.sh [extra cmake options...]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
work="$root/build-win"
bash "$root/scripts/setup-windows.sh"
bash "$root/scripts/build-windows-deps.sh" "$work"
cmake -S "$root" -B "$work/zent" -G Ninja \
  -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" \
  -DZENT_WIN_PREFIX="$work/prefix" -DCMAKE_BUILD_TYPE=Release "$@" >/dev/null
# The program and the test executables the Wine run uses; the fuzz replay
# programs are left to the Linux build.
nice -n 10 cmake --build "$work/zent" --target zent zent_tests zent_image_tests -- -j2
