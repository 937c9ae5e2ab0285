#!/usr/bin/env bash
# Prepares OUTDIR for a build with -DZEMO_STATIC_ICU=OUTDIR: ICU's source from
# Debian's source package (fetched once, with apt's own settings kept under
# OUTDIR so the machine's sources list is left alone), and the data the module
# loads (tools/icu-data-items.txt) packaged as an array in a C++ source, which is linked into
# the module in place of a data file.
#   static-icu.sh OUTDIR      (ICU_PACKAGE=icu, ICU_SUITE=bookworm by default)
set -euo pipefail
out=$(mkdir -p "$1" && cd "$1" && pwd)
root=$(cd "$(dirname "$0")/.." && pwd)
package=${ICU_PACKAGE:-icu}
suite=${ICU_SUITE:-bookworm}

if [ ! -f "$out/src/source/common/unicode/uvernum.h" ]; then
  apt=$out/apt
  rm -rf "$apt" "$out/src"
  mkdir -p "$apt/lists/partial" "$apt/cache/archives/partial" "$out/download"
  # The archive apt already uses for binary packages.
  mirror=$(apt-get indextargets --format '$(REPO_URI)' 'Created-By: Packages' 2>/dev/null \
    | grep -m1 '/debian/$' || echo http://deb.debian.org/debian/)
  echo "deb-src $mirror $suite main" > "$apt/sources.list"
  opts=(-o "Dir::Etc::SourceList=$apt/sources.list" -o Dir::Etc::SourceParts=/dev/null
        -o "Dir::State::Lists=$apt/lists" -o "Dir::Cache=$apt/cache" -o Debug::NoLocking=1)
  apt-get -qq "${opts[@]}" update
  (cd "$out/download" && apt-get -qq "${opts[@]}" source --download-only "$package" 2>&1 | { grep -v '^W: Download is performed unsandboxed' || true; })
  # apt has checked the files against the signed index; dpkg-source has no keyring.
  dpkg-source -x "$out"/download/*.dsc "$out/src" >/dev/null 2>&1
  rm -rf "$apt" "$out"/download "$out"/*.orig.tar.*
fi

src=$out/src/source
major=$(sed -n 's/^#define U_ICU_VERSION_MAJOR_NUM \([0-9]*\).*/\1/p' "$src/common/unicode/uvernum.h")
name=icudt${major}l
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
grep -v '^#' "$root/tools/icu-data-items.txt" | grep . > "$work/list.txt"
mkdir "$work/items"
while read -r item; do cp "$src/data/in/$item" "$work/items/"; done < "$work/list.txt"
# The package's name prefixes every item inside it; ICU finds the package
# through the symbol icudtNN_dat.
icupkg -s "$work/items" -a "$work/list.txt" new "$work/$name.dat"
genccode -q -d "$work" "$work/$name.dat"
{ echo "// $name.dat with $(tr '\n' ' ' < "$work/list.txt")(tools/static-icu.sh)"
  echo '#include <stdint.h>'
  sed -e '1,/^#endif/d' -e '/^U_CDECL/d' -e 's/^const struct {/struct IcuData {/' \
    -e "s/^} ${name}_dat={/}; extern \"C\" alignas(16) const IcuData icudt${major}_dat = {/" "$work/${name}_dat.c"
} > "$out/icudata.cpp"
echo "$out: ICU $(sed -n 's/^#define U_ICU_VERSION "\(.*\)".*/\1/p' "$src/common/unicode/uvernum.h"), data: $(tr '\n' ' ' < "$work/list.txt")"
