#!/usr/bin/env bash
# Builds the library and runs the main job, writing its output into out/.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j2
mkdir -p out
(cd out && ../build/examples/vizor_ramp ramp.ppm)
