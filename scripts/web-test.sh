#!/usr/bin/env bash
# The updater's page in a real browser: builds the web preset with Debian's
# emscripten and runs tests/web (node's test runner; its closing lines are
# the summary CI reads) in Debian's headless Chromium through puppeteer-core.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh web
command -v npm >/dev/null || scripts/ensure-packages.sh npm
export NODE_PATH=/usr/share/nodejs CCACHE_BASEDIR="${CCACHE_BASEDIR:-$PWD}" CCACHE_NOHASHDIR=1
launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
[ -f build/web/CMakeCache.txt ] || cmake --preset web "${launcher[@]}"
nice -n 5 cmake --build --preset web --target ql5-updater -j2
(cd tests/web && npm ci --no-audit --no-fund --loglevel=error)
cd tests/web
exec node --test --test-concurrency=1 --test-reporter=tap window.test.mjs webmidi.test.mjs
