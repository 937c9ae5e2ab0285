#!/usr/bin/env bash
# Builds OUTDIR/libicudata.so.NN: ICU's data library holding only the items
# listed in tools/icu-data-items.txt instead of the whole 30 MB package. The
# wheel is repaired with this directory first on LD_LIBRARY_PATH, so auditwheel
# vendors it beside the system's libicuuc in place of the full data library.
#   icu-data-subset.sh OUTDIR
set -euo pipefail
out=$(mkdir -p "$1" && cd "$1" && pwd)
root=$(cd "$(dirname "$0")/.." && pwd)
PATH=$PATH:/usr/sbin
major=$(pkg-config --modversion icu-uc | cut -d. -f1)
libdir=$(pkg-config --variable=libdir icu-uc)
name=icudt${major}l
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Debian's static data library is one object whose .rodata is the package.
(cd "$work" && ar x "$libdir/libicudata.a" "${name}_dat.o")
objcopy -O binary --only-section=.rodata "$work/${name}_dat.o" "$work/$name.dat"
mkdir "$work/items" "$work/out"
grep -v '^#' "$root/tools/icu-data-items.txt" | grep . > "$work/list.txt"
while read -r item; do
  icupkg -x "$item" -d "$work/items" "$work/$name.dat"
done < "$work/list.txt"
# The package's name (its file name) prefixes every item inside it.
icupkg -s "$work/items" -a "$work/list.txt" new "$work/out/$name.dat"
genccode -q -a gcc -e "icudt${major}" -d "$work/out" "$work/out/$name.dat"
${CC:-cc} -shared -Wl,-soname,libicudata.so.$major -Wl,-z,noexecstack \
  -o "$out/libicudata.so.$major" "$work/out/${name}_dat.S"
echo "$out/libicudata.so.$major: $(icupkg -l "$work/out/$name.dat" | tr '\n' ' ')"
