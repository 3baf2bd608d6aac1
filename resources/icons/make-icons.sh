#!/usr/bin/env bash
# Draws the Linux program's icon (teleora-SIZE.png, the shapes of teleora.svg)
# in the sizes of the hicolor theme. Needs ImageMagick; the results are kept in
# the repository, so builds do not need it.
set -euo pipefail
cd "$(dirname "$0")"
IM=/usr/bin/convert
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

$IM -size 256x256 xc:none -stroke none \
    -fill '#800000' -draw 'roundrectangle 16,16 231,67 24,24' \
    -draw 'roundrectangle 16,32 67,91 8,8' -draw 'roundrectangle 180,32 231,91 8,8' \
    -fill '#e02020' -draw 'roundrectangle 24,24 223,55 16,16' \
    -draw 'roundrectangle 24,40 59,83 6,6' -draw 'roundrectangle 188,40 223,83 6,6' \
    -fill '#800000' -draw 'polygon 80,80 168,80 236,236 12,236' \
    -fill '#e02020' -draw 'polygon 88,90 160,90 222,226 26,226' \
    -fill '#000080' -draw 'circle 124,158 124,94' \
    -fill '#ffffff' -draw 'circle 124,158 124,106' \
    -fill '#000000' -draw 'roundrectangle 119,114 128,161 4,4' -draw 'roundrectangle 119,153 166,162 4,4' \
    "$tmp/icon.png"

for size in 16 32 48 64 128 256; do
    $IM "$tmp/icon.png" -filter Lanczos -resize "${size}x${size}" -depth 8 "PNG32:teleora-$size.png"
done
