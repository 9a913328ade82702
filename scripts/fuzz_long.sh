#!/usr/bin/env bash
# The long libFuzzer run: each target for a budget of CPU time (not wall
# time, so a busy machine only makes it last longer), its corpus grown in
# build-fuzz/long/<fmt>/corpus from the seeds and regression files, every
# find kept in build-fuzz/long/<fmt>/finds. Runs at the lowest priority, one
# target per lane. A summary line per target goes to build-fuzz/long/summary.tsv
# (target, CPU seconds, executions, finds).
#
# Usage: scripts/fuzz_long.sh [--lanes N] [--minutes M] [target...]
#   target...   fmt or fmt=minutes (e.g. raw=30 bmp=10); default every target
#               for --minutes (default 10)
#   --merge     instead of fuzzing: minimise each grown corpus together with
#               its seeds into fuzz/seeds/<fmt> (inputs up to 64 KiB), so CI's
#               replay covers what the long run reached
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build="$root/build-fuzz"
long="$build/long"
lanes=1
minutes=10
merge=0
targets=()
while [ $# -gt 0 ]; do
  case "$1" in
    --lanes) lanes=$2; shift ;;
    --minutes) minutes=$2; shift ;;
    --merge) merge=1 ;;
    *) targets+=("$1") ;;
  esac
  shift
done
if [ ${#targets[@]} -eq 0 ]; then
  for t in "$build"/fuzz/fuzz_*; do
    case "$t" in *_replay) continue ;; esac
    [ -x "$t" ] && targets+=("$(basename "$t" | sed 's/^fuzz_//')")
  done
fi
export LSAN_OPTIONS=suppressions="$root/scripts/lsan_suppressions.txt"
mkdir -p "$long"
# Wall-clock timeout: generous, as the run has the lowest priority on a busy
# machine; what it catches is checked again alone. FUZZ_TIMEOUT raises it for
# runs that get paused (kill -STOP) while the machine is needed for timing.
common=(-rss_limit_mb=2048 -malloc_limit_mb=1024 -timeout="${FUZZ_TIMEOUT:-60}")

# CPU seconds (user + system) a process has used so far.
cpu_seconds() {
  local ticks
  ticks=$(awk '{print $14 + $15}' "/proc/$1/stat" 2>/dev/null) || { echo 0; return; }
  echo $((ticks / $(getconf CLK_TCK)))
}

if [ $merge = 1 ]; then
  for spec in "${targets[@]}"; do
    fmt=${spec%%=*}
    grown="$long/$fmt/corpus"
    [ -d "$grown" ] || continue
    small=$(mktemp -d)
    find "$grown" -type f -size -65k -exec cp -t "$small" {} +
    fresh=$(mktemp -d)
    "$build/fuzz/fuzz_$fmt" -merge=1 "${common[@]}" "$fresh" "$root/fuzz/seeds/$fmt" "$small" \
      >"$long/$fmt/merge.log" 2>&1
    added=0
    for f in "$fresh"/*; do
      [ -e "$root/fuzz/seeds/$fmt/$(basename "$f")" ] && continue
      cp "$f" "$root/fuzz/seeds/$fmt/grown-$(basename "$f" | cut -c1-16)"
      added=$((added + 1))
    done
    echo "fuzz: $fmt: $added inputs added to fuzz/seeds/$fmt"
    rm -rf "$small" "$fresh"
  done
  exit 0
fi

run_one() {
  local fmt=${1%%=*} budget=$minutes
  [ "$1" != "$fmt" ] && budget=${1#*=}
  local dir="$long/$fmt"
  mkdir -p "$dir/corpus" "$dir/finds"
  local extra=()
  [ -d "$root/tests/regression/$fmt" ] && extra+=("$root/tests/regression/$fmt")
  nice -n "${FUZZ_NICE:-19}" "$build/fuzz/fuzz_$fmt" "${common[@]}" -print_final_stats=1 \
    -artifact_prefix="$dir/finds/" "$dir/corpus" "$root/fuzz/seeds/$fmt" ${extra[@]+"${extra[@]}"} \
    >>"$dir/fuzz.log" 2>&1 &
  local pid=$! used=0
  while kill -0 "$pid" 2>/dev/null; do
    used=$(cpu_seconds "$pid")
    if [ "$used" -ge $((budget * 60)) ]; then
      kill -INT "$pid" 2>/dev/null || true
      break
    fi
    sleep 5
  done
  wait "$pid" || true
  local execs finds
  execs=$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$dir/fuzz.log" | tail -1 | grep -o '[0-9]*$' || echo "?")
  finds=$(find "$dir/finds" -type f ! -name "slow-unit-*" | wc -l)
  printf '%s\t%s\t%s\t%s\n' "$fmt" "$used" "${execs:-?}" "$finds" >>"$long/summary.tsv"
  echo "fuzz: $fmt: ${used} CPU-s, ${execs:-?} executions, $finds finds"
}

# A simple pool: the targets in order, at most $lanes at once.
for spec in "${targets[@]}"; do
  while [ "$(jobs -rp | wc -l)" -ge "$lanes" ]; do sleep 2; done
  run_one "$spec" &
done
wait
