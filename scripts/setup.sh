#!/usr/bin/env bash
# Installs the Debian packages Zent needs to build, test, fuzz and benchmark.
# Safe to run again: packages already present are not touched.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config
  libgtest-dev
  libpng-dev zlib1g-dev libjpeg62-turbo-dev libmng-dev libtiff-dev
  clang libclang-rt-14-dev
  libgif-dev libjpeg-turbo-progs libstb-dev libtiff-tools libopenjp2-tools
  libopenjp2-7-dev liblcms2-dev
  libcairo2-dev fonts-dejavu-core
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -gt 0 ]; then
  sudo_cmd=""
  if [ "$(id -u)" -ne 0 ]; then sudo_cmd="sudo"; fi
  echo "setup: installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  if ! $sudo_cmd apt-get update -qq >/tmp/zent-apt-update.log 2>&1; then
    cat /tmp/zent-apt-update.log >&2
    echo "setup: apt-get update failed" >&2
    exit 1
  fi
  if ! $sudo_cmd apt-get install -y -qq --no-install-recommends "${missing[@]}" >/tmp/zent-apt-install.log 2>&1; then
    cat /tmp/zent-apt-install.log >&2
    echo "setup: installing packages failed" >&2
    exit 1
  fi
fi
