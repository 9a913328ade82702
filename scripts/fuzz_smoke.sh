#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for a short while over
# its seed corpus. Usage: scripts/fuzz_smoke.sh [seconds-per-target]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-30}
bash "$root/scripts/setup.sh"
build="$root/build-fuzz"
CC=clang CXX=clang++ bash "$root/scripts/build.sh" "$build" -DBUILD_FUZZERS=ON -DZENT_BUILD_TESTS=OFF \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DCMAKE_CXX_FLAGS="-fsanitize=address,undefined -fno-sanitize-recover=undefined" \
  -DCMAKE_C_FLAGS="-fsanitize=address,undefined" \
  -DCMAKE_EXE_LINKER_FLAGS="-fsanitize=address,undefined"
# Leaks inside system libraries that live for the whole process (fontconfig
# behind cairo's text) are not ours to fix.
export LSAN_OPTIONS=suppressions="$root/scripts/lsan_suppressions.txt"
shopt -s nullglob
ran=0
for target in "$build"/fuzz/fuzz_*; do
  [ -x "$target" ] || continue
  case "$target" in *_replay) continue ;; esac
  name=$(basename "$target")
  fmt=${name#fuzz_}
  work=$(mktemp -d)
  seeds="$root/fuzz/seeds/$fmt"
  [ -d "$seeds" ] || seeds=""
  echo "fuzz: $name for ${seconds}s"
  "$target" -max_total_time="$seconds" -rss_limit_mb=2048 -malloc_limit_mb=1024 -timeout=10 \
    -print_final_stats=0 "$work" ${seeds:+"$seeds"} >"$work.log" 2>&1 || {
      tail -n 60 "$work.log"
      echo "fuzz: $name found a failure" >&2
      exit 1
    }
  rm -rf "$work" "$work.log"
  ran=$((ran + 1))
done
echo "fuzz: $ran targets ran clean"
