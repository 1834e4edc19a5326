#!/usr/bin/env bash
# Renders the program icon from data/icons/dov-uruvivuz.svg into the PNGs the window and the
# desktop use, and the Windows .ico with every size in 256 colours and in 32-bit colour.
# The results are committed; run this again only after changing the SVG.
# Needs: rsvg-convert (librsvg2-bin), convert (imagemagick), icotool (icoutils).
set -euo pipefail

repo="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
svg="$repo/data/icons/dov-uruvivuz.svg"
ico="$repo/data/windows/dov-uruvivuz.ico"
sizes=(48 32 16)

for tool in rsvg-convert:librsvg2-bin convert:imagemagick icotool:icoutils; do
    if ! command -v "${tool%%:*}" >/dev/null; then
        echo "make-icons: ${tool%%:*} is missing; install the Debian package ${tool#*:}" >&2
        exit 1
    fi
done

scratch="$(mktemp -d)"
trap 'rm -rf "$scratch"' EXIT

truecolour=()
paletted=()
for size in "${sizes[@]}"; do
    png="$repo/data/icons/dov-uruvivuz-$size.png"
    rsvg-convert --width "$size" --height "$size" --format png "$svg" --output "$png"
    # The 256-colour image has a palette and on/off transparency, as the old icon format
    # expects; no dithering keeps the small sizes clean.
    convert "$png" -channel A -threshold 50% +channel +dither -colors 255 -strip \
        "PNG8:$scratch/paletted-$size.png"
    paletted+=(--bit-depth=8 "$scratch/paletted-$size.png")
    truecolour+=(--bit-depth=32 "$png")
done

icotool --create --output="$ico" "${paletted[@]}" "${truecolour[@]}"
icotool --list "$ico"
