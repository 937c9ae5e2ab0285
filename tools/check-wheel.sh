#!/usr/bin/env bash
# The repaired wheel as a user gets it: installed into a fresh virtual
# environment, its extension checked to load nothing from the system but the C
# and C++ runtimes, and the test suite run against the installed package with
# ICU's shared libraries made unloadable (bind-mounted over with /dev/null in
# a private mount namespace, where the system allows one).
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
echo "== ldd $(basename "$so")"
deps=$(ldd "$so")
echo "$deps"
if grep -q 'not found' <<<"$deps"; then echo "unresolved dependency" >&2; exit 1; fi
if grep -qi 'libicu' <<<"$deps"; then echo "the extension links the system's ICU" >&2; exit 1; fi
# Everything else must be the C/C++ runtime every manylinux system has, or a
# library auditwheel placed beside the package.
unexpected=$(awk '/=>/ {print $1}' <<<"$deps" \
  | grep -vE '^(libc|libm|libstdc\+\+|libgcc_s|libpthread|libdl|librt)\.so' | grep -v '^zemo_etl' || true)
if [ -n "$unexpected" ]; then echo "unexpected dependencies: $unexpected" >&2; exit 1; fi

hide_icu=()
if unshare --mount true 2>/dev/null; then
  hide_icu=(unshare --mount sh -c \
    'for f in /usr/lib/*/libicu*.so.* /lib/*/libicu*.so.*; do [ -f "$f" ] && [ ! -L "$f" ] && mount --bind /dev/null "$f"; done; exec "$@"' sh)
  echo "== ICU's shared libraries hidden in a private mount namespace"
else
  echo "== no private mount namespace here: relying on the ldd check above"
fi

cd "$root/tests"
"${hide_icu[@]}" "$venv/bin/python" - <<'PY'
import ctypes, zemo_etl
from zemo_etl import text
assert "/build/wheel-venv/" in zemo_etl.__file__, zemo_etl.__file__
assert text.to_match_form("ＣＲÜＥ ﬁ") == "crue fi"   # NFKC: the data subset inside the module
maps = open("/proc/self/maps").read()
assert "libicu" not in maps, "ICU was loaded"
try:
    ctypes.CDLL("libicuuc.so.72")
    print("(the system's ICU is loadable from this process)")
except OSError as e:
    print("the system's ICU cannot be loaded:", e)
print("imported", zemo_etl.__file__)
PY
"${hide_icu[@]}" "$venv/bin/python" -m pytest -q -p no:cacheprovider .
