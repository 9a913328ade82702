#!/usr/bin/env bash
# Sets up, builds and runs every test (unit tests, end-to-end runs of the
# console program, fuzz-target seed replays).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bash "$root/scripts/setup.sh"
bash "$root/scripts/build.sh" "$root/build"
cd "$root/build"
ctest --output-on-failure -j"$(nproc)"
