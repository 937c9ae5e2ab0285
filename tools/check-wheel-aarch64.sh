#!/usr/bin/env bash
# The aarch64 wheel on Debian's arm64 Python under qemu-aarch64-static in user
# mode (no binfmt handler: that would be machine-wide). The arm64 root comes
# from debootstrap's first stage and its packages unpacked (no maintainer
# script needs to run for Python). Test dependencies are installed for the target
# with the host's pip; a wrapper started as sys.executable makes the tests'
# child interpreters start under qemu too. Then the sample data's forms,
# metrics, rows, decisions, demo report and state file are compared with the
# x86_64 wheel's, and the index the x86_64 wheel saved must load and classify
# the same here.
#   check-wheel-aarch64.sh AARCH64_WHEEL X86_64_WHEEL PYTHON [PYTEST ARGS...]
# PYTEST ARGS default to the whole suite; DEPS adds test dependencies.
set -euo pipefail
wheel=$(readlink -f "$1"); x86_wheel=$(readlink -f "$2"); python=$3; shift 3
# An absolute path that keeps a virtual environment's interpreter (no symlink resolved).
case $python in */*) python=$(cd "$(dirname "$python")" && pwd)/$(basename "$python") ;; esac
root=$(cd "$(dirname "$0")/.." && pwd)
base=$root/build/aarch64
arm=$base/root
qemu=$(command -v qemu-aarch64-static)

if [ ! -x "$arm/usr/bin/python3" ]; then
  mirror=$(apt-get indextargets --format '$(REPO_URI)' 'Created-By: Packages' 2>/dev/null \
    | grep -m1 '/debian/$' || echo http://deb.debian.org/debian/)
  rm -rf "$arm"
  nice debootstrap --arch=arm64 --foreign --variant=minbase --include=python3 bookworm "$arm" "$mirror" >/dev/null
  # The first stage unpacks only the base; Python and its libraries are unpacked here.
  for deb in "$arm"/var/cache/apt/archives/*.deb; do dpkg-deb -x "$deb" "$arm"; done
fi
# The host's devices serve: a pty opened through the root's own /dev/ptmx node
# belongs to no devpts mounted here.
rm -rf "${arm:?}"/dev/*
pyver=$("$qemu" -L "$arm" "$arm/usr/bin/python3" -c 'import sys; print("%d.%d" % sys.version_info[:2])')

rm -rf "$base/site" "$base/x86-site" "$base/digest"
target=(--target "$base/site" --platform manylinux_2_28_aarch64 --platform manylinux2014_aarch64
        --python-version "$pyver" --implementation cp --only-binary=:all:)
"$python" -m pip install -q "${target[@]}" --no-deps "$wheel"
"$python" -m pip install -q "${target[@]}" pytest hypothesis tqdm rapidfuzz ${DEPS:-}

mkdir -p "$base/bin"
cat > "$base/bin/python3" <<SH
#!/bin/sh
exec "$qemu" -L "$arm" -0 "\$0" "$arm/usr/bin/python$pyver" "\$@"
SH
chmod +x "$base/bin/python3"
arm_python=$base/bin/python3
export PYTHONPATH=$base/site PYTHONDONTWRITEBYTECODE=1

cd "$root/tests"
"$arm_python" - <<'PY'
import platform, sys
try:  # libraries that use static TLS first, where installed (DEPS)
    import pandas, pyarrow  # noqa: F401
    print("imported after pandas", pandas.__version__, "and pyarrow", pyarrow.__version__)
except ImportError:
    pass
import zemo_etl
from zemo_etl import text
assert platform.machine() == "aarch64", platform.machine()
assert sys.executable.endswith("/bin/python3"), sys.executable
assert text.to_match_form("ＣＲÜＥ ﬁ") == "crue fi"
print("imported", zemo_etl.__file__, "on", platform.machine(), platform.python_version())
PY
"$arm_python" -m pytest -q -p no:cacheprovider "$@"

echo "== the sample data on x86_64 and aarch64"
"$python" -m pip install -q --target "$base/x86-site" --no-deps "$x86_wheel"
PYTHONPATH=$base/x86-site "$python" "$root/tools/arch-digest.py" "$base/digest/x86_64"
"$arm_python" "$root/tools/arch-digest.py" "$base/digest/aarch64" --index "$base/digest/x86_64/index.bin"
diff -r "$base/digest/x86_64" "$base/digest/aarch64" >/dev/null \
  || { diff -rq "$base/digest/x86_64" "$base/digest/aarch64" >&2; exit 1; }
echo "the same on both: $(ls "$base/digest/x86_64" | tr '\n' ' ')"
