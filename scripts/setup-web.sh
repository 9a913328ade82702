#!/usr/bin/env bash
# Installs what the web build and its browser tests need: Debian's emscripten,
# the tools the codec libraries' own builds use, Chromium and Node.js for the
# browser tests, and a deb-src line so `apt-get source` can fetch the
# libraries' Debian source packages. Safe to run again.
set -euo pipefail

packages=(
  emscripten
  dpkg-dev xz-utils zip gzip
  cmake ninja-build pkg-config autoconf automake libtool make
  libstb-dev
  chromium python3
)

sudo_cmd=""
if [ "$(id -u)" -ne 0 ]; then sudo_cmd="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
# Another apt run (a second setup script, say) holds the lock for a while.
apt_wait=(-o DPkg::Lock::Timeout=900)

# deb-src for the archive the machine already installs from.
need_update=0
if ! grep -rqs '^Types:.*deb-src\|^deb-src ' /etc/apt/sources.list /etc/apt/sources.list.d/; then
  src=/etc/apt/sources.list.d/zent-deb-src.sources
  if [ -f /etc/apt/sources.list.d/debian.sources ]; then
    sed 's/^Types: deb$/Types: deb-src/' /etc/apt/sources.list.d/debian.sources | $sudo_cmd tee "$src" >/dev/null
  else
    grep -h '^deb ' /etc/apt/sources.list | sed 's/^deb /deb-src /' | $sudo_cmd tee /etc/apt/sources.list.d/zent-deb-src.list >/dev/null
  fi
  need_update=1
fi

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
# Node.js and npm for the test driver, unless the machine already has them.
if ! command -v node >/dev/null; then missing+=(nodejs); fi
if ! command -v npm >/dev/null; then missing+=(npm); fi

if [ ${#missing[@]} -gt 0 ] || [ "$need_update" -eq 1 ]; then
  if ! $sudo_cmd apt-get "${apt_wait[@]}" update -qq >/tmp/zent-apt-update.log 2>&1; then
    cat /tmp/zent-apt-update.log >&2
    echo "setup-web: apt-get update failed" >&2
    exit 1
  fi
fi
if [ ${#missing[@]} -gt 0 ]; then
  echo "setup-web: installing ${missing[*]}"
  if ! $sudo_cmd apt-get "${apt_wait[@]}" install -y -qq --no-install-recommends "${missing[@]}" >/tmp/zent-apt-install.log 2>&1; then
    cat /tmp/zent-apt-install.log >&2
    echo "setup-web: installing packages failed" >&2
    exit 1
  fi
fi
