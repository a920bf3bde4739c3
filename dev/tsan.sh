#!/usr/bin/env bash
# Builds the C++ core test program with ThreadSanitizer and runs the threaded
# parts of the core: every test whose name contains one of the given words
# (default: concurrent, parallel, batch — the parallel build, the worker
# threads and the batched searches). Any data race report fails the run.
#
# Usage: dev/tsan.sh [WORD...]   TSAN_JOBS=N sets the build parallelism (default 2)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
out="$root/build/tsan-core"
generator=()
command -v ninja >/dev/null && generator=(-G Ninja)
t0=$(date +%s)
mkdir -p "$out"
exec 9>"$out/.lock"
flock 9
if [ ! -f "$out/CMakeCache.txt" ]; then
    cmake -S "$root/tests/cpp" -B "$out" "${generator[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTESSRA_TSAN=ON >/dev/null
fi
cmake --build "$out" --parallel "${TSAN_JOBS:-2}"
[ $# -gt 0 ] || set -- concurrent parallel batch
# halt_on_error: the first race ends the run with a report and a failing status.
TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1${TSAN_OPTIONS:+:$TSAN_OPTIONS}" "$out/core_tests" "$@"
echo "tsan: no data races reported ($(( $(date +%s) - t0 ))s)"
