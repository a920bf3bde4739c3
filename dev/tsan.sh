#!/usr/bin/env bash
# Builds the C++ core test program with ThreadSanitizer and runs it: the
# batched searches (tests/cpp/test_batch.cpp) and the worker threads
# (tests/cpp/test_workers.cpp) run their threads there, and any data race
# report fails the run.
#
# Usage: dev/tsan.sh        TSAN_JOBS=N sets the build parallelism (default 2)
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
# halt_on_error: the first race ends the run with a report and a failing status.
TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1" "$out/core_tests"
echo "tsan: no data races reported ($(( $(date +%s) - t0 ))s)"
