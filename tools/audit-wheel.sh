#!/usr/bin/env bash
# Checks a portable wheel: auditwheel's verdict, the 3.9 stable ABI
# (abi3audit), one shared object (`_native`, whose entry also creates `_ext`)
# and no other native library, needing only the C runtime, exporting only its
# init function and no glibc symbol newer than 2.28 (the newest one is printed).
#   audit-wheel.sh WHEEL [PYTHON]
set -euo pipefail
wheel=$(readlink -f "$1"); python=${2:-python3}
# An absolute path that keeps a virtual environment's interpreter (no symlink resolved).
case $python in */*) python=$(cd "$(dirname "$python")" && pwd)/$(basename "$python") ;; esac
shown=$("$python" -m auditwheel show "$wheel" | tr '\n' ' ' | sed 's/  */ /g')
echo "$shown"
fail() { echo "audit-wheel: $(basename "$wheel"): $*" >&2; exit 1; }
# auditwheel's verdict: the newest manylinux tag the wheel deserves (2.28 or older).
glibc_tag=$(grep -o 'consistent with the following platform tag: "manylinux_2_[0-9]*_' <<<"$shown" | grep -o '2_[0-9]*' || true)
[ -n "$glibc_tag" ] && [ "${glibc_tag#2_}" -le 28 ] || fail "auditwheel does not find it manylinux_2_28"
"$python" -m abi3audit --strict --report "$wheel" >/dev/null
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
(cd "$work" && "$python" -m zipfile -e "$wheel" .)
libs=$(cd "$work" && find . -name '*.so*' | sort)
[ "$(echo "$libs" | tr '\n' ' ')" = "./zemo_etl/_native.abi3.so " ] \
  || fail "native libraries: $libs"
newest=0
for so in $libs; do
  name=$(basename "$so" .abi3.so)
  needed=$(readelf -d "$work/$so" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p')
  for lib in $needed; do
    case $lib in libc.so.6|libm.so.6|libpthread.so.0|libdl.so.2|librt.so.1|ld-linux-*.so.*) ;;
      *) fail "$so needs $lib" ;;
    esac
  done
  exported=$(readelf -W --dyn-syms "$work/$so" | awk '$7 != "UND" && ($5 == "GLOBAL" || $5 == "WEAK") {print $8}')
  [ "$exported" = "PyInit_$name" ] || fail "$so exports: $(echo "$exported" | head -5 | tr '\n' ' ')"
  glibc=$(readelf -W --dyn-syms "$work/$so" | grep -o 'GLIBC_[0-9.]*' | sed 's/GLIBC_//' | sort -uV | tail -1)
  newest=$(printf '%s\n%s\n' "$newest" "$glibc" | sort -V | tail -1)
done
[ "$(printf '%s\n2.28\n' "$newest" | sort -V | tail -1)" = 2.28 ] || fail "needs glibc $newest"
echo "$(basename "$wheel"): $(du -k "$wheel" | cut -f1) KiB; needs $(echo $needed | tr ' ' ','); newest glibc symbol: GLIBC_$newest; exports only PyInit_*"
