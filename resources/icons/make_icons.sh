#!/usr/bin/env bash
# Draws the program's icon (resource 128) at 256 px and scales it to the
# sizes the window and the desktop use. Run by hand; the PNGs are committed.
set -euo pipefail
cd "$(dirname "$0")"
convert -size 256x256 xc:none \
  -fill '#1f4e79' -draw 'roundrectangle 8,8 247,247 40,40' \
  -fill '#2e75b6' -draw 'roundrectangle 20,20 235,235 30,30' \
  -fill white -draw 'circle 128,112 128,40' \
  -fill '#1f4e79' -draw 'circle 128,112 128,52' \
  -fill white -draw 'circle 128,72 128,62' \
  -fill white -draw 'circle 88,88 88,78' -fill white -draw 'circle 168,88 168,78' \
  -fill white -draw 'circle 78,128 78,118' -fill white -draw 'circle 178,128 178,118' \
  -fill '#ffc000' -draw 'rectangle 112,150 144,196' \
  -fill '#ffc000' -draw 'polygon 88,190 168,190 128,232' \
  ql5-updater-256.png
for s in 128 64 48 32 16; do
  convert ql5-updater-256.png -filter Lanczos -resize ${s}x${s} ql5-updater-${s}.png
done
