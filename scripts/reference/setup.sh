#!/usr/bin/env bash
# Installs the independent decoders the reference scripts in this folder
# record their expected outputs with. The tests themselves need none of
# them: they read the recorded tables in tests/data/.
set -euo pipefail
packages=(
  python3-pil imagemagick libmagickcore-6.q16-6-extra netpbm libopenjp2-tools
  libjpeg-turbo-progs libimage-exiftool-perl emf2svg librsvg2-bin
)
sudo_cmd=""
if [ "$(id -u)" -ne 0 ]; then sudo_cmd="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
$sudo_cmd apt-get update -qq
$sudo_cmd apt-get install -y -qq --no-install-recommends "${packages[@]}"
