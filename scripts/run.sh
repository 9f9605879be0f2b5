#!/usr/bin/env bash
# The main job: builds the library and the vizor tool, then captures frames
# from the virtual camera (no hardware needed) into out/: distance.png,
# gray.png, cloud.ply and distance.vzd.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j2 --target vizor_tool
build/tools/vizor --virtual capture -n 10 -o out
