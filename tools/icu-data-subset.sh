#!/usr/bin/env bash
# Cuts ICU's data package down to the items listed in ITEMS and writes it as
# an assembly file defining the data entry point (icudtNN_dat) that a static
# libicuuc links against.
#   icu-data-subset.sh LIBICUDATA_A MAJOR ITEMS OUT.S
set -euo pipefail
libicudata=$1 major=$2 items=$3 out=$4
PATH=$PATH:/usr/sbin
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
name=icudt${major}l
# Debian's static data library is one object whose .rodata is the package.
(cd "$work" && ar x "$libicudata" "${name}_dat.o")
objcopy -O binary --only-section=.rodata "$work/${name}_dat.o" "$work/$name.dat"
mkdir "$work/items" "$work/out"
grep -v '^#' "$items" | grep . > "$work/list.txt"
while read -r item; do
  icupkg -x "$item" -d "$work/items" "$work/$name.dat"
done < "$work/list.txt"
# The package's name (its file name) prefixes every item inside it.
icupkg -s "$work/items" -a "$work/list.txt" new "$work/out/$name.dat"
genccode -q -a gcc -e "icudt${major}" -d "$work/out" "$work/out/$name.dat"
mv "$work/out/${name}_dat.S" "$out"
