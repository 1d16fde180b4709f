#!/usr/bin/env bash
# Regenerates quorlin.ico (a clock face at 16, 32 and 48 pixels) with ImageMagick.
# Each size is drawn large and scaled down, so the small images stay smooth.
set -eu
cd "$(dirname "$0")"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
draw() {  # draw SIZE: the face on a 192-pixel canvas, scaled to SIZE
  local ticks="" a x1 y1 x2 y2
  for a in 0 30 60 90 120 150 180 210 240 270 300 330; do
    read -r x1 y1 x2 y2 < <(awk -v a="$a" 'BEGIN { r = a * 3.14159265 / 180;
      printf "%.1f %.1f %.1f %.1f\n", 96 + 62 * sin(r), 96 - 62 * cos(r), 96 + 74 * sin(r), 96 - 74 * cos(r) }')
    ticks="$ticks line $x1,$y1 $x2,$y2"
  done
  convert -size 192x192 xc:none \
    -fill '#1E6FD9' -stroke none -draw 'circle 96,96 96,4' \
    -fill '#FFFFFF' -draw 'circle 96,96 96,18' \
    -stroke '#1E3A5F' -strokewidth 10 -draw "$ticks" \
    -stroke '#1E3A5F' -strokewidth 14 -draw 'line 96,96 96,46' \
    -stroke '#D93A1E' -strokewidth 10 -draw 'line 96,96 140,118' \
    -stroke none -fill '#1E3A5F' -draw 'circle 96,96 96,86' \
    -resize "${1}x${1}" "$tmp/face$1.png"
}
for s in 16 32 48; do draw "$s"; done
convert "$tmp/face16.png" "$tmp/face32.png" "$tmp/face48.png" quorlin.ico
