#!/usr/bin/env bash
# The threaded code under ThreadSanitizer: the input callback, the timer, the
# senders, the worker and the virtual unit. The window's tests stay out (Qt
# itself is not instrumented), and so do the single-threaded codec tests.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
cmake --preset tsan
cmake --build --preset tsan
ctest --preset tsan -L 'platform|midi|engine|e2e|emulator|cli' -j "$(nproc)"
