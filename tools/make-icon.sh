#!/usr/bin/env bash
# Draws the tool's icon (app/win32/resources/kv93t.ico): a blue chip with a
# white arrow down into it, at the sizes Windows asks for (16 to 256 pixels).
# Needs ImageMagick's convert. The .ico is committed; run this only to change it.
set -euo pipefail
cd "$(dirname "$0")/.."
out=app/win32/resources/kv93t.ico
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
convert -size 256x256 xc:none \
  -fill '#1d4f91' -draw 'roundrectangle 40,40 216,216 24,24' \
  -stroke '#1d4f91' -strokewidth 14 \
  -draw 'line 72,40 72,12' -draw 'line 112,40 112,12' -draw 'line 144,40 144,12' -draw 'line 184,40 184,12' \
  -draw 'line 72,216 72,244' -draw 'line 112,216 112,244' -draw 'line 144,216 144,244' -draw 'line 184,216 184,244' \
  -stroke none -fill white \
  -draw 'rectangle 112,64 144,132' \
  -draw 'polygon 80,128 176,128 128,184' \
  -draw 'rectangle 80,190 176,202' \
  "$work/icon-256.png"
for size in 16 24 32 48 64; do
  convert "$work/icon-256.png" -resize "${size}x${size}" "$work/icon-$size.png"
done
convert "$work"/icon-{16,24,32,48,64,256}.png "$out"
echo "$out"
