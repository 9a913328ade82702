#!/usr/bin/env bash
# Builds and runs the tests under AddressSanitizer and UndefinedBehaviorSanitizer.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bash "$root/scripts/setup.sh"
bash "$root/scripts/build.sh" "$root/build-sanitize" -DSANITIZE=ON -DCMAKE_BUILD_TYPE=Debug
cd "$root/build-sanitize"
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
# Leaks inside system libraries that live for the whole process (fontconfig
# behind cairo's text) are not ours to fix.
export LSAN_OPTIONS=suppressions="$root/scripts/lsan_suppressions.txt"
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
ctest --output-on-failure -j"$(nproc)"
