#!/usr/bin/env bash
# Sets up, builds and demonstrates Quillmar: probes a sample it generates.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
bash scripts/build.sh
sample=build/sample.mp4
[ -f "$sample" ] || ffmpeg -loglevel error -y -f lavfi -i testsrc2=size=640x360:rate=25 \
  -f lavfi -i sine=frequency=440:sample_rate=44100 -t 3 -c:v libx264 -pix_fmt yuv420p -c:a aac \
  -metadata title="Quillmar sample" "$sample"
build/cli/quillmar-cli info "$sample"
