#!/usr/bin/env bash
# Builds the cp39-abi3 manylinux_2_28 wheel for ARCH (x86_64, aarch64) from the
# sdist with zig's toolchain and ICU compiled in (STATIC_ICU, prepared by
# tools/static-icu.sh), and audits it (tools/audit-wheel.sh).
#   zig-wheel.sh SDIST ARCH STATIC_ICU OUTDIR [PYTHON]
set -euo pipefail
sdist=$(readlink -f "$1"); arch=$2; icu=$(readlink -f "$3"); out=$4; python=${5:-python3}
root=$(cd "$(dirname "$0")/.." && pwd)
ZEMO_ZIG=$("$python" -c 'import ziglang, os; print(os.path.join(os.path.dirname(ziglang.__file__), "zig"))')
export ZEMO_ZIG ZEMO_ZIG_TARGET=$arch-linux-gnu.2.28
# zig builds its libc++ once per target and keeps it here.
export ZIG_GLOBAL_CACHE_DIR=${ZIG_GLOBAL_CACHE_DIR:-$root/build/zig-cache}
raw=$root/build/dist-raw/$arch
rm -rf "$raw" && mkdir -p "$raw" "$out"
# The tag is set here (auditwheel repairs for the host's architecture only);
# tools/audit-wheel.sh checks with auditwheel that the wheel deserves it.
nice "$python" -m pip wheel -q --no-deps --no-build-isolation -w "$raw" "$sdist" \
  -C cmake.define.CMAKE_TOOLCHAIN_FILE="$root/tools/zig-toolchain.cmake" \
  -C cmake.define.ZEMO_STATIC_ICU="$icu" -C install.strip=false \
  -C wheel.tags="cp39-abi3-manylinux_2_28_$arch"
cp "$raw"/*-manylinux_2_28_"$arch".whl "$out"/
"$root/tools/audit-wheel.sh" "$out"/*-manylinux_2_28_"$arch".whl "$python"
