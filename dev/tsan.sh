#!/usr/bin/env bash
# Builds the C++ core test program with ThreadSanitizer and runs every test
# whose name contains "concurrent" or "parallel" (the threaded parts of the
# core). Any data race report fails the run.
#
# Usage: dev/tsan.sh [WORD...]   (test-name words; default: concurrent parallel)
#   TSAN_JOBS=N   build parallelism (default 2)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
out="$root/build/tsan-core"
generator=()
command -v ninja >/dev/null && generator=(-G Ninja)
mkdir -p "$out"
exec 8>"$out/.lock"
flock 8
if [ ! -f "$out/CMakeCache.txt" ]; then
    cmake -S "$root/tests/cpp" -B "$out" "${generator[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DCMAKE_CXX_FLAGS="-fsanitize=thread -fno-omit-frame-pointer" \
        -DCMAKE_EXE_LINKER_FLAGS="-fsanitize=thread" >/dev/null
fi
cmake --build "$out" --parallel "${TSAN_JOBS:-2}"
[ $# -gt 0 ] || set -- concurrent parallel
# halt_on_error: the first race ends the run with a failure status.
TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1${TSAN_OPTIONS:+:$TSAN_OPTIONS}" "$out/core_tests" "$@"
echo "tsan: no data races"
