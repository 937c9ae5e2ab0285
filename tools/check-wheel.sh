#!/usr/bin/env bash
# The wheel as a user gets it: installed into a fresh virtual environment, its
# extensions checked to load nothing from the system but the C runtime (ICU and
# the C++ runtime are compiled in), and the test suite run against
# the installed package with the system's ICU libraries made unloadable
# (bind-mounted over with /dev/null in a private mount namespace, where the
# system allows one).
#   check-wheel.sh dist/zemo_etl-*.whl [PYTHON [REQUIREMENT...]]
# REQUIREMENTs name the test dependencies (default: the test extra, all of them).
set -euo pipefail
wheel=$(readlink -f "${1:?usage: check-wheel.sh WHEEL [PYTHON [REQUIREMENT...]]}")
python=${2:-python3}
shift $(($# < 2 ? $# : 2))
root=$(cd "$(dirname "$0")/.." && pwd)
venv=$root/build/wheel-venv-$("$python" -c 'import sys; print("%d.%d" % sys.version_info[:2])')

rm -rf "$venv"
"$python" -m venv "$venv"
"$venv/bin/python" -m pip install -q --upgrade pip
if [ $# -gt 0 ]; then deps=("$wheel" "$@"); else deps=("$wheel[test]"); fi
"$venv/bin/python" -m pip install -q "${deps[@]}"

site=$(echo "$venv"/lib/python3*/site-packages)
[ ! -e "$site/zemo_etl.libs" ] || { echo "the wheel vendors libraries: $(ls "$site/zemo_etl.libs")" >&2; exit 1; }
for so in "$site"/zemo_etl/*.so; do
  echo "== ldd $(basename "$so")"
  deps=$(ldd "$so")
  echo "$deps"
  # The C runtime every manylinux system has; ICU and the C++ runtime are inside.
  bad=$(awk '{print $1}' <<<"$deps" | grep -Ev '^(linux-vdso\.so\.1|libc\.so\.6|libm\.so\.6|libpthread\.so\.0|libdl\.so\.2|librt\.so\.1|(/lib[^ ]*/)?ld-linux[^/]*\.so\.[0-9])$' || true)
  if [ -n "$bad" ]; then echo "dependencies beyond the C runtime: $bad" >&2; exit 1; fi
done

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
try:  # libraries that use static TLS loaded first, as in a data engineer's session
    import pandas, pyarrow  # noqa: F401
    print("imported after pandas", pandas.__version__, "and pyarrow", pyarrow.__version__)
except ImportError:
    pass
import zemo_etl
from zemo_etl import text
assert "/build/wheel-venv-" in zemo_etl.__file__, zemo_etl.__file__
assert text.to_match_form("ＣＲÜＥ ﬁ") == "crue fi"   # NFKC: the data subset inside the module
maps = open("/proc/self/maps").read()
icu = sorted({line.split()[-1] for line in maps.splitlines() if "libicu" in line})
assert not icu, icu
try:
    ctypes.CDLL("libicuuc.so.72")
    print("(the system's ICU is loadable from this process)")
except OSError as e:
    print("the system's ICU cannot be loaded:", e)
print("imported", zemo_etl.__file__)
PY
"${hide_icu[@]}" "$venv/bin/python" -m pytest -q -p no:cacheprovider .
