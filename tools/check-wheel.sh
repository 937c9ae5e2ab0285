#!/usr/bin/env bash
# The repaired wheel as a user gets it: installed into a fresh virtual
# environment, its extension checked to load nothing from the system but the C
# and C++ runtimes (ICU comes from the wheel), and the test suite run against
# the installed package with the system's ICU libraries made unloadable
# (bind-mounted over with /dev/null in a private mount namespace, where the
# system allows one).
#   check-wheel.sh dist/zemo_etl-*.whl [PYTHON]
set -euo pipefail
wheel=$(readlink -f "${1:?usage: check-wheel.sh WHEEL [PYTHON]}")
python=${2:-python3}
root=$(cd "$(dirname "$0")/.." && pwd)
venv=$root/build/wheel-venv

rm -rf "$venv"
"$python" -m venv "$venv"
"$venv/bin/python" -m pip install -q --upgrade pip
"$venv/bin/python" -m pip install -q "$wheel[test]"

so=$(echo "$venv"/lib/python3*/site-packages/zemo_etl/_native*.so)
libs=$(readlink -f "$venv"/lib/python3*/site-packages/zemo_etl.libs)
echo "== ldd $(basename "$so")"
deps=$(ldd "$so")
echo "$deps"
if grep -q 'not found' <<<"$deps"; then echo "unresolved dependency" >&2; exit 1; fi
# Each library resolves inside the wheel, or is the C/C++ runtime every
# manylinux system has.
bad=$(awk '/=>/ {print $1, $3}' <<<"$deps" | while read -r name path; do
  case "$(readlink -f "$path")" in "$libs"/*) continue ;; esac
  case "$name" in libc.so*|libm.so*|libstdc++.so*|libgcc_s.so*|libpthread.so*|libdl.so*|librt.so*) continue ;; esac
  echo "$name => $path"
done)
if [ -n "$bad" ]; then echo "dependencies outside the wheel: $bad" >&2; exit 1; fi
grep -q "zemo_etl.libs/libicuuc" <<<"$deps" || { echo "ICU is not vendored" >&2; exit 1; }
echo "== vendored: $(ls "$libs" | tr '\n' ' ')($(du -sh "$libs" | cut -f1))"

hide_icu=()
if unshare --mount true 2>/dev/null; then
  hide_icu=(unshare --mount sh -c \
    'for f in /usr/lib/*/libicu*.so.* /lib/*/libicu*.so.*; do [ -f "$f" ] && [ ! -L "$f" ] && mount --bind /dev/null "$f"; done; exec "$@"' sh)
  echo "== ICU's shared libraries hidden in a private mount namespace"
  # The PostgreSQL server links the system's ICU as well: its tests run in `make test`.
  export ZEMO_TEST_SYSTEM_ICU_HIDDEN=1
else
  echo "== no private mount namespace here: relying on the ldd check above"
fi

cd "$root/tests"
"${hide_icu[@]}" "$venv/bin/python" - <<'PY'
import ctypes
# Libraries that use static TLS loaded first, as in a data engineer's session.
import pandas, pyarrow  # noqa: F401
import zemo_etl
from zemo_etl import text
assert "/build/wheel-venv/" in zemo_etl.__file__, zemo_etl.__file__
assert text.to_match_form("ＣＲÜＥ ﬁ") == "crue fi"   # NFKC: the data subset inside the module
maps = open("/proc/self/maps").read()
icu = sorted({line.split()[-1] for line in maps.splitlines() if "libicu" in line})
assert icu and all("/zemo_etl.libs/" in path for path in icu), icu
try:
    ctypes.CDLL("libicuuc.so.72")
    print("(the system's ICU is loadable from this process)")
except OSError as e:
    print("the system's ICU cannot be loaded:", e)
print("imported", zemo_etl.__file__)
PY
"${hide_icu[@]}" "$venv/bin/python" -m pytest -q -p no:cacheprovider .
