#!/usr/bin/env bash
# Draws the window's four images with ImageMagick 6 and the Liberation fonts
# (imagemagick, fonts-liberation2). The PNG and ICO files are kept in the
# repository, so the build never runs this; run it after changing a picture.
# With the same ImageMagick, every run gives the same bytes.
set -euo pipefail
cd "$(dirname "$0")"

font=/usr/share/fonts/truetype/liberation2/LiberationSans-Regular.ttf
bold=/usr/share/fonts/truetype/liberation2/LiberationSans-Bold.ttf
# No timestamps or other text chunks, so the files only change with the pixels.
png=(-strip -define png:exclude-chunks=date,time,tEXt,zTXt,iTXt)

# Reference table: typical upload limits of online services, 552 x 255.
rows=(
  "E-mail attachment (most free providers)|25 MB"
  "E-mail attachment (company mail servers)|10 MB"
  "Web mail with a cloud link|2 GB"
  "Free file-transfer site, per transfer|2 GB"
  "Cloud drive, single file via browser|5 GB"
  "Messenger file sharing|100 MB"
  "Forum or bulletin-board attachment|5 MB"
)
draw=(-fill '#4a6f9c' -draw "rectangle 0,0 551,29"
      -font "$bold" -pointsize 14 -fill white
      -annotate +12+20 "Service" -annotate +402+20 "Upload size limit")
y=30
for i in "${!rows[@]}"; do
  service=${rows[$i]%|*}
  limit=${rows[$i]#*|}
  if (( i % 2 )); then shade='#eef2f7'; else shade='#ffffff'; fi
  draw+=(-fill "$shade" -draw "rectangle 0,$y 551,$((y + 27))"
         -font "$font" -pointsize 13 -fill '#222222'
         -annotate +12+$((y + 19)) "$service" -annotate +402+$((y + 19)) "$limit")
  y=$((y + 28))
done
footnote="Limits are typical values and change over time; check your provider before sending."
draw+=(-fill none -stroke '#9aa9bb' -draw "rectangle 0,0 551,$((y - 1))"
       -draw "line 390,0 390,$((y - 1))" -stroke none
       -font "$font" -pointsize 11 -fill '#6c6c6c'
       -annotate +12+$((y + 19)) "$footnote")
convert -size 552x255 xc:none "${draw[@]}" "${png[@]}" PNG32:ref_tables.png

# Chunk verdicts: a tick on green and a cross on red, 20 x 20.
convert -size 20x20 xc:none -fill '#2e9d3a' -draw "circle 9.5,9.5 9.5,0.5" \
  -fill none -stroke white -strokewidth 2.4 -draw "polyline 5,10 8.5,13.5 15,6.5" \
  "${png[@]}" PNG32:right.png
convert -size 20x20 xc:none -fill '#d23b2f' -draw "circle 9.5,9.5 9.5,0.5" \
  -fill none -stroke white -strokewidth 2.4 -draw "line 6,6 13,13" -draw "line 13,6 6,13" \
  "${png[@]}" PNG32:wrong.png

# Program icon, 128 x 128: a sheet cut into three numbered chunks.
convert -size 128x128 xc:none \
  -fill '#2f5d8a' -draw "roundrectangle 4,4 123,123 22,22" \
  -fill white -draw "roundrectangle 30,20 97,46 5,5" \
  -draw "roundrectangle 30,51 97,77 5,5" \
  -draw "roundrectangle 30,82 97,108 5,5" \
  -font "$bold" -pointsize 18 -fill '#2f5d8a' \
  -annotate +58+40 "0" -annotate +58+71 "1" -annotate +58+102 "2" \
  -fill none -stroke '#f2b134' -strokewidth 3 \
  -draw "line 14,48.5 114,48.5" -draw "line 14,79.5 114,79.5" \
  "${png[@]}" PNG32:program_icon.png
convert program_icon.png -define icon:auto-resize=128 program.ico
rm program_icon.png
