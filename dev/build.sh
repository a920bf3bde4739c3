#!/usr/bin/env bash
# Incremental development build of the extension into build/dev (import it with
# PYTHONPATH=build/dev). Serialised with a lock so parallel callers do not collide.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
out="$root/build/dev"
mkdir -p "$out"
exec 9>"$out/.lock"
flock 9
if [ ! -f "$out/build.ninja" ]; then
  cmake -S "$root" -B "$out" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DPython_EXECUTABLE="$(command -v python3)" ${TESSRA_CMAKE_ARGS:-} >/dev/null
fi
cmake --build "$out"
