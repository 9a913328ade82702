#!/usr/bin/env bash
# Runs the web page's tests in Debian's headless Chromium, driven by
# playwright-core (tests/web, from npm): the page in dist/zent-web (built by
# scripts/build-web.sh) served on 127.0.0.1 by a server the tests start and
# stop, compared with the console program build/zent (built by
# scripts/test.sh; built here when missing). A screenshot of the page after a
# conversion is kept in build-web/artifacts/page.png.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bash "$root/scripts/setup-web.sh"
if [ ! -f "$root/dist/zent-web/index.html" ]; then
  bash "$root/scripts/build-web.sh"
fi
if [ ! -x "$root/build/zent" ]; then
  cmake -S "$root" -B "$root/build" -G Ninja >/dev/null
  cmake --build "$root/build" --target zent -- -j2
fi
(cd "$root/tests/web" && npm ci --no-audit --no-fund --loglevel=error >/dev/null)
export ZENT_CORPUS_DIR=${ZENT_CORPUS_DIR:-"$root/../shared/corpus"}
if [ ! -d "$ZENT_CORPUS_DIR" ]; then
  echo "test-web: no corpus at $ZENT_CORPUS_DIR: the comparisons with the console program are skipped"
fi
mkdir -p "$root/build-web/artifacts"
cd "$root"
node --test --test-reporter=spec tests/web/web_test.mjs
