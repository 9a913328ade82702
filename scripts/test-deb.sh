#!/usr/bin/env bash
# Builds the Debian package, installs it with apt-get as a user would, and
# checks the installed program and manual page; the package is removed again.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bash "$root/scripts/package-deb.sh"
export DEBIAN_FRONTEND=noninteractive
deb=$(ls "$root"/dist/zent_*_amd64.deb)
apt-get install -y -qq "$deb" >/tmp/zent-deb-install.log 2>&1 || { cat /tmp/zent-deb-install.log >&2; exit 1; }
trap 'apt-get remove -y -qq zent >/dev/null 2>&1 || true' EXIT
passed=0 failed=0
check() {
  if eval "$2"; then passed=$((passed + 1)); else echo "test-deb: FAILED: $1" >&2; failed=$((failed + 1)); fi
}
check "zent --version from /usr/bin" '[ "$(cd / && /usr/bin/zent --version)" = "Ombrel ZENT Converter v0.0" ]'
check "zent on the PATH" '[ "$(command -v zent)" = /usr/bin/zent ]'
check "manual page installed" '[ -f /usr/share/man/man1/zent.1 ] || [ -f /usr/share/man/man1/zent.1.gz ]'
check "manual page names every option" 'for o in width height fit frame preview grid zoom output name raw jobs help version; do
  grep -q -- "$o" /usr/share/man/man1/zent.1 || exit 1; done'
if command -v man >/dev/null; then
  check "man zent shows the page" 'man -P cat zent 2>/dev/null | grep -q "turn pictures into Pawn text-art includes"'
fi
work=$(mktemp -d)
cp "$root/examples/zent.bmp" "$work/a.bmp"
cp "$root/examples/zent.bmp" "$work/b.bmp"
check "installed program converts two pictures" '(cd "$work" && zent a.bmp b.bmp </dev/null >/dev/null) && [ -s "$work/a.inc" ] && [ -s "$work/b.inc" ]'
# The metafile player loads cairo when it first plays a metafile.
cp "$root/fuzz/seeds/wmf/clip.wmf" "$work/clip.wmf"
check "installed program plays a metafile" '(cd "$work" && zent clip.wmf </dev/null >/dev/null) && [ -s "$work/clip.inc" ]'
rm -rf "$work"
echo "deb: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
