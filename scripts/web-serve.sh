#!/usr/bin/env bash
# Builds the updater's web page (preset "web", Debian's emscripten) and serves
# it on http://127.0.0.1:PORT/ with the headers it needs. Ctrl-C stops it.
# Usage: scripts/web-serve.sh [PORT]      (default 8017)
#   then open http://127.0.0.1:PORT/           (a unit on the browser's MIDI)
#          or http://127.0.0.1:PORT/?virtual   (the virtual unit)
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/ensure-packages.sh emscripten python3
export NODE_PATH=/usr/share/nodejs CCACHE_BASEDIR="${CCACHE_BASEDIR:-$PWD}" CCACHE_NOHASHDIR=1
launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
[ -f build/web/CMakeCache.txt ] || cmake --preset web "${launcher[@]}"
nice -n 5 cmake --build --preset web --target ql5-updater -j2
exec python3 scripts/web_server.py build/web/site "${1:-8017}"
