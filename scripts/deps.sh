#!/usr/bin/env bash
# Installs the Debian 12 packages that building, testing and the demo need; does nothing when
# they are all there already.
set -euo pipefail

packages=(
  build-essential cmake pkg-config binutils
  libgoogle-glog-dev libgtest-dev libgmock-dev libbenchmark-dev libcli11-dev libinih-dev
  libavcodec-dev libavformat-dev libavutil-dev libswscale-dev ffmpeg
  libx11-dev libsdl2-dev xvfb help2man dpkg-dev
  gstreamer1.0-tools gstreamer1.0-plugins-base gstreamer1.0-plugins-good gstreamer1.0-plugins-bad
  gstreamer1.0-plugins-ugly
)
# More for one caller (the fuzz build needs clang), space-separated.
read -r -a extra <<<"${EXTRA_PACKAGES:-}"
packages+=("${extra[@]}")

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "installing: ${missing[*]}" >&2
sudo_cmd=()
[ "$(id -u)" -ne 0 ] && sudo_cmd=(sudo)
export DEBIAN_FRONTEND=noninteractive
"${sudo_cmd[@]}" apt-get update -qq
"${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
