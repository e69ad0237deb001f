#!/usr/bin/env bash
# Builds the programs (release preset) and runs the main job.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
cmake --preset release
cmake --build --preset release
./build/release/bench/ql5_codec_bench --benchmark_min_time=0.2
