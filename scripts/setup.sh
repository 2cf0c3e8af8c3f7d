#!/usr/bin/env bash
# Installs every Debian package that building, testing and benchmarking Quillmar needs.
# Idempotent: prints nothing and touches nothing when all packages are present.
set -euo pipefail
packages=(cmake ninja-build g++ pkg-config ccache qt6-base-dev
  libavcodec-dev libavformat-dev libavfilter-dev libswscale-dev libswresample-dev libavutil-dev
  libavcodec-extra libsdl2-dev libjpeg62-turbo-dev libgtest-dev libgmock-dev libbenchmark-dev
  ffmpeg xvfb xauth)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0
echo "setup: installing ${missing[*]}"
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
