#!/usr/bin/env bash
# Fails when a layer includes a header of a layer above it:
#   image/ <- codecs/, raw/ <- converter/ <- web/ ;  platform/ beside the converter.
set -euo pipefail
root=${1:-$(cd "$(dirname "$0")/.." && pwd)}
cd "$root"
bad=0
check() {  # check DIR PATTERN: no file below DIR includes a header matching PATTERN
  local hits
  hits=$(grep -rnE "#include \"($2)/" "$1" --include='*.h' --include='*.cpp' 2>/dev/null || true)
  if [ -n "$hits" ]; then
    echo "$1 must not include $2:"
    echo "$hits"
    bad=1
  fi
}
check image 'codecs|raw|converter|platform|web'
check codecs 'converter|platform|web'
[ -d raw ] && check raw 'codecs|converter|platform|web'
check platform 'image|codecs|raw|converter|web'
check converter 'web'
if [ "$bad" -eq 0 ]; then echo "layers: 1 passed, 0 failed"; else exit 1; fi
