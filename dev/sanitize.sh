#!/usr/bin/env bash
# Builds the extension module and the C++ core test program with
# AddressSanitizer + UndefinedBehaviorSanitizer, then runs
#   1. the C++ core tests (with full leak detection: a pure C++ program), and
#   2. the Python test suite against the sanitized module, under an ASan
#      runtime preloaded into the (uninstrumented) interpreter.
# Any sanitizer report fails the run; reports are collected from log files so
# that none is lost to pytest's output capture or to a child process.
#
# Usage: dev/sanitize.sh [pytest arguments...]     (default: tests/python -q)
#   SANITIZE_SKIP_CORE=1   skip the C++ core program
#   SANITIZE_SKIP_PYTHON=1 skip the Python suite
#   SANITIZE_JOBS=N        build parallelism (default 2)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
ext="$root/build/asan"
core="$root/build/asan-core"
reports="$root/build/asan-reports"
jobs=${SANITIZE_JOBS:-2}
python=${PYTHON:-$(command -v python3)}
generator=()
command -v ninja >/dev/null && generator=(-G Ninja)

elapsed() { echo $(( $(date +%s) - $1 ))s; }
t0=$(date +%s)

# ---- build (incremental; serialised per build directory)
build() {  # build SOURCE_DIR BUILD_DIR
    mkdir -p "$2"
    exec 8>"$2/.lock"
    flock 8
    if [ ! -f "$2/CMakeCache.txt" ]; then
        cmake -S "$1" -B "$2" "${generator[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTESSRA_SANITIZE=ON \
            -DPython_EXECUTABLE="$python" >/dev/null
    fi
    cmake --build "$2" --parallel "$jobs"
    exec 8>&-
}
build "$root" "$ext"
[ "${SANITIZE_SKIP_CORE:-0}" = 1 ] || build "$root/tests/cpp" "$core"
echo "sanitize: build done in $(elapsed "$t0")"

cxx=$(sed -n 's/^CMAKE_CXX_COMPILER:[A-Z]*=//p' "$ext/CMakeCache.txt")
asan_rt=$("${cxx:-g++}" -print-file-name=libasan.so)
ubsan_rt=$("${cxx:-g++}" -print-file-name=libubsan.so)

rm -rf "$reports"
mkdir -p "$reports"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:log_path=$reports/ubsan"
# alloc_dealloc_mismatch=0: a third-party extension that the benchmark compares
# against (run by tests/python/test_examples.py) frees new[] memory with delete
# in its own bindings. This module allocates only through standard containers,
# so the check loses nothing here.
common_asan="allocator_may_return_null=1:detect_stack_use_after_return=1:check_initialization_order=1:strict_init_order=1:alloc_dealloc_mismatch=0:log_path=$reports/asan"
status=0

# ---- 1. the C++ core program: every allocation is ours, so leaks are checked too
if [ "${SANITIZE_SKIP_CORE:-0}" != 1 ]; then
    t1=$(date +%s)
    if ! ASAN_OPTIONS="detect_leaks=1:$common_asan" "$core/core_tests" >"$reports/core.out" 2>&1; then
        status=1
        echo "sanitize: core_tests FAILED"
    fi
    tail -n 1 "$reports/core.out"
    echo "sanitize: C++ core tests took $(elapsed "$t1")"
fi

# ---- 2. the Python suite. The interpreter's own allocations are not ours, so
# leak detection is off here (tests/python/test_leaks.py and dev/leakcheck.sh
# cover leaks); everything else stays on.
if [ "${SANITIZE_SKIP_PYTHON:-0}" != 1 ]; then
    t2=$(date +%s)
    # Tests that judge memory by the resident size cannot pass under ASan, whose
    # quarantine keeps freed memory on purpose (the test files of this suite's
    # own leak checks look at TESSRA_SANITIZED instead).
    rss_tests=(--deselect tests/python/test_hnsw.py::test_failed_insertions_keep_nothing_of_their_node)
    [ $# -gt 0 ] || set -- "$root/tests/python" -q "${rss_tests[@]}"
    # The test files see that they run sanitized (RSS figures mean nothing under ASan).
    if ! (cd "$root" &&
          TESSRA_SANITIZED=1 \
          PYTHONPATH="$ext${PYTHONPATH:+:$PYTHONPATH}" \
          PYTHONMALLOC=malloc \
          LD_PRELOAD="$asan_rt $ubsan_rt" \
          ASAN_OPTIONS="detect_leaks=0:$common_asan" \
          "$python" -m pytest -p no:cacheprovider "$@"); then
        status=1
        echo "sanitize: Python suite FAILED"
    fi
    echo "sanitize: Python suite took $(elapsed "$t2")"
fi

# ---- reports (from every process, children included)
shopt -s nullglob
found=("$reports"/asan.* "$reports"/ubsan.*)
if [ ${#found[@]} -gt 0 ]; then
    status=1
    echo "sanitize: ${#found[@]} sanitizer report file(s):"
    for f in "${found[@]}"; do
        if grep -qE "tessra|$root/src" "$f"; then origin="involves this module"; else origin="no frame of this module"; fi
        echo "==== $f ($origin)"
        head -n 60 "$f"
    done
else
    echo "sanitize: no sanitizer reports"
fi
echo "sanitize: total $(elapsed "$t0")"
exit $status
