#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Installs what building and testing need on Debian 12 (run as root, or with
# sudo available), plus any further Debian packages named as arguments (the
# fuzz, Windows and benchmark scripts name theirs). Mono's compiler and
# runtime build and run the C# binding's tests.
set -euo pipefail
packages=(cmake g++ make pkg-config googletest libgtest-dev nlohmann-json3-dev
          libavformat-dev libavcodec-dev libavfilter-dev libavutil-dev libswscale-dev ffmpeg
          python3 mono-mcs mono-runtime "$@")
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  $SUDO apt-get update
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y --no-install-recommends "${missing[@]}"
fi
