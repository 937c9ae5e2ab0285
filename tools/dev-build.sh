#!/usr/bin/env bash
# Incremental development build outside pip: configures BUILD_DIR with Ninja,
# builds the extension module and the C++ test runner, and lays out an importable
# package at BUILD_DIR/pkg (the Python sources linked, the extension copied).
#   tools/dev-build.sh build/dev [-DZEMO_SANITIZE=ON ...]
#   PYTHONPATH=build/dev/pkg python -m pytest tests
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:?usage: dev-build.sh BUILD_DIR [cmake args...]}
shift
mkdir -p "$build"
build=$(cd "$build" && pwd)
if [ ! -f "$build/build.ninja" ]; then
  cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE="${BUILD_TYPE:-Release}" \
    -DPython_EXECUTABLE="$(command -v "${PYTHON:-python3}")" "$@" >/dev/null
fi
cmake --build "$build"
pkg="$build/pkg/zemo_etl"
mkdir -p "$pkg"
for f in "$root"/zemo_etl/*; do
  ln -sfn "$f" "$pkg/$(basename "$f")"
done
rm -f "$pkg"/_ext*.so  # a build from before _ext moved into _native
cp -f "$build"/_native*.so "$pkg/"
