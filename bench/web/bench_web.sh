#!/usr/bin/env bash
# The web page against the console program on bench_jpeg's 24-megapixel photo
# (see bench_web.mjs). Builds the console program with the benchmarks, the
# page (scripts/build-web.sh) when dist/zent-web is missing, makes the photo
# with bench_jpeg --save, and runs the comparison.
# Usage: bench/web/bench_web.sh [--repeats N]
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
bash "$root/scripts/setup-web.sh"
[ -f "$root/dist/zent-web/index.html" ] || bash "$root/scripts/build-web.sh"
cmake -S "$root" -B "$root/build" -G Ninja -DZENT_BUILD_BENCH=ON >/dev/null
cmake --build "$root/build" --target zent bench_jpeg -- -j2
(cd "$root/tests/web" && npm ci --no-audit --no-fund --loglevel=error >/dev/null)
photo="$root/build-web/bench/photo.jpg"
mkdir -p "$(dirname "$photo")"
[ -f "$photo" ] || "$root/build/bench/bench_jpeg" --save "$photo" >/dev/null
node "$root/bench/web/bench_web.mjs" "$photo" "$@"
