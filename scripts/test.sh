#!/usr/bin/env bash
# Builds everything with the tests (debug preset: AddressSanitizer and
# UndefinedBehaviorSanitizer on) and runs every test, a few side by side.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
cmake --preset debug
cmake --build --preset debug
ctest --preset debug -j "$(($(nproc) + 1))"
