#!/usr/bin/env bash
# The main job: builds Tervik and renders a generated demo signal through a chain of
# three stages with the command-line host, printing what each stage did.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build -j2 --target Tervik tervik-host
./build/tervik-host render --plugin build/Tervik.clap --stages 3 \
  --set 1:Gain=8 --set 2:Gain=3 --set 3:Gain=3 --set 3:Ceiling=-1 --set "3:Dither=24 bit" \
  --out build/demo-out.wav "$@"
