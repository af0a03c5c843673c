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
