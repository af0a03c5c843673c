#!/bin/sh
# Regenerates the README's pictures: the tools' own output for the shipped
# sample. Run from the top of the repository after building into build/.
set -eu
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
cp samples/garden.mpo "$scratch/"
for tool in korventale trismoldaven vostrin; do
    build/bin/$tool "$scratch/garden.mpo" >/dev/null
done
cp "$scratch/garden_dub.jpg" "$scratch/garden_ana.jpg" docs/
# Same bytes as garden.jps; the .jpg name lets web pages show it.
cp "$scratch/garden.jps" docs/garden_jps.jpg

# The W3 camera pair's anaglyph before and after mpoalign, a detail at half
# size (needs the camera files beside the project, and djpeg and cjpeg of
# libjpeg-turbo-progs).
w3=../shared/samples/mpo/fujifilm_w3.mpo
if [ -f "$w3" ] && [ -x build/bin/mpoalign ] && command -v djpeg >/dev/null && command -v cjpeg >/dev/null; then
    cp "$w3" "$scratch/w3.mpo"
    build/bin/mpoalign "$scratch/w3.mpo" >/dev/null 2>&1
    build/bin/korventale "$scratch/w3.mpo" "$scratch/w3_aligned.mpo" >/dev/null
    for name in w3_dub w3_aligned_dub; do
        djpeg -scale 1/2 -crop 640x400+600+400 "$scratch/$name.jpg" | cjpeg -quality 85 -optimize >"docs/${name}_detail.jpg"
    done
fi
