#!/bin/sh
# Retakes the pictures of the Win32 window in docs/ (win32-*.png): the
# cross-built screenshot program under Wine, on an Xvfb display with the
# openbox window manager. Needs the windows preset built with its tests.
set -eu
cd "$(dirname "$0")/.."
exe=build/windows/tests/ui_win32/ql5_ui_win32_screenshots.exe
[ -f "$exe" ] || { echo "build it first: cmake --build --preset windows --target ql5_ui_win32_screenshots" >&2; exit 2; }
out=$(mktemp -d)
trap 'kill "$wm" "$xvfb" 2>/dev/null || true; rm -rf "$out"' EXIT
display=:$(( $$ % 200 + 300 ))
Xvfb "$display" -screen 0 1280x1024x24 -nolisten tcp >/dev/null 2>&1 &
xvfb=$!
sleep 1
DISPLAY=$display openbox >/dev/null 2>&1 &
wm=$!
sleep 1
DISPLAY=$display WINEDEBUG=-all wine "$exe" "Z:$(echo "$out" | tr / '\\')"
for f in "$out"/*.bmp; do
  convert "$f" -strip "docs/$(basename "${f%.bmp}").png"
  echo "docs/$(basename "${f%.bmp}").png"
done
