#!/usr/bin/env bash
# Installs what the build, the program and the tests need on Debian 12.
set -euo pipefail
pkgs=(build-essential cmake ninja-build pkg-config
      qt6-base-dev libqt6printsupport6 qt6-qpa-plugins libgl-dev
      libsqlite3-dev sqlite3 libzip-dev zlib1g-dev libbz2-dev gettext socat netbase
      libgtest-dev libgmock-dev libbenchmark-dev iproute2 procps
      fontconfig fonts-dejavu-core locales libxkbcommon-dev xvfb
      x11-utils xdotool twm  # the window tests: xwininfo and xprop read the windows, xdotool unmaps
                             # one, twm frames them as a desktop does
      clang clang-14 libclang-rt-14-dev)  # the fuzz preset: clang and its libFuzzer runtime
missing=()
for p in "${pkgs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  SUDO=""
  [ "$(id -u)" -ne 0 ] && SUDO="sudo"
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -qq
  $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
