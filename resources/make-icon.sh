#!/usr/bin/env bash
# Draws teleora.ico (a red telephone whose dial is a clock face) in 32x32 and
# 16x16 with the 16 standard Windows colours. Needs ImageMagick; the result is
# kept in the repository, so builds do not need it.
set -euo pipefail
cd "$(dirname "$0")"
IM=/usr/bin/convert
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

# The 16 colours of the standard Windows palette.
$IM -size 16x1 xc:black \
    -fill '#800000' -draw 'point 1,0' -fill '#008000' -draw 'point 2,0' \
    -fill '#808000' -draw 'point 3,0' -fill '#000080' -draw 'point 4,0' \
    -fill '#800080' -draw 'point 5,0' -fill '#008080' -draw 'point 6,0' \
    -fill '#C0C0C0' -draw 'point 7,0' -fill '#808080' -draw 'point 8,0' \
    -fill '#FF0000' -draw 'point 9,0' -fill '#00FF00' -draw 'point 10,0' \
    -fill '#FFFF00' -draw 'point 11,0' -fill '#0000FF' -draw 'point 12,0' \
    -fill '#FF00FF' -draw 'point 13,0' -fill '#00FFFF' -draw 'point 14,0' \
    -fill '#FFFFFF' -draw 'point 15,0' "$tmp/palette.png"

# 32x32: handset on top, body below, the dial a clock showing 3 o'clock.
$IM -size 32x32 xc:none +antialias -stroke none \
    -fill '#800000' -draw 'roundrectangle 2,2 29,8 3,3' \
    -draw 'rectangle 2,4 8,11' -draw 'rectangle 23,4 29,11' \
    -fill '#FF0000' -draw 'roundrectangle 3,3 28,6 2,2' \
    -draw 'rectangle 3,5 7,10' -draw 'rectangle 24,5 28,10' \
    -fill '#800000' -draw 'polygon 10,10 21,10 29,29 2,29' \
    -fill '#FF0000' -draw 'polygon 11,11 20,11 27,28 4,28' \
    -fill '#000080' -draw 'circle 15.5,19.5 15.5,11.5' \
    -fill '#FFFFFF' -draw 'circle 15.5,19.5 15.5,13' \
    -fill '#000000' -draw 'rectangle 15,14 16,20' -draw 'rectangle 15,19 21,20' \
    -fill '#808080' -draw 'point 15,12' -draw 'point 16,12' -draw 'point 15,27' -draw 'point 16,27' \
    "$tmp/a32.png"

# 16x16: the same picture with fewer details.
$IM -size 16x16 xc:none +antialias -stroke none \
    -fill '#800000' -draw 'rectangle 1,1 14,3' -draw 'rectangle 1,1 3,5' -draw 'rectangle 12,1 14,5' \
    -fill '#FF0000' -draw 'rectangle 2,2 13,2' -draw 'rectangle 2,2 2,4' -draw 'rectangle 13,2 13,4' \
    -fill '#800000' -draw 'polygon 5,5 10,5 15,15 0,15' \
    -fill '#FF0000' -draw 'polygon 5,6 10,6 14,14 1,14' \
    -fill '#000080' -draw 'circle 7.5,10 7.5,5.5' \
    -fill '#FFFFFF' -draw 'circle 7.5,10 7.5,6.5' \
    -fill '#000000' -draw 'rectangle 7,7 7,10' -draw 'rectangle 7,10 10,10' \
    "$tmp/a16.png"

for size in 32 16; do
    $IM "$tmp/a$size.png" +dither -remap "$tmp/palette.png" -type PaletteAlpha "$tmp/p$size.png"
done
$IM "$tmp/p32.png" "$tmp/p16.png" teleora.ico
