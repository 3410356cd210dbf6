#!/usr/bin/env bash
# Makes the launcher icons, 48, 128 and 256 pixels square, from the window's
# own icon image/program.ico (128 x 128) with ImageMagick 6 (imagemagick).
# The PNG files are kept in the repository, so the build never runs this; run
# it after changing the program icon. With the same ImageMagick, every run
# gives the same bytes.
set -euo pipefail
cd "$(dirname "$0")"

source=../image/program.ico
# No timestamps or other text chunks, so the files only change with the pixels.
png=(-strip -define png:exclude-chunks=date,time,tEXt,zTXt,iTXt)

for size in 48 128 256; do
  convert "${source}[0]" -filter Lanczos -resize "${size}x${size}" "${png[@]}" \
    "PNG32:icons/partwise-$size.png"
done
