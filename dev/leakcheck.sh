#!/usr/bin/env bash
# Native leak check of the extension module, for manual runs.
#
#   dev/leakcheck.sh [asan|valgrind] [ROUNDS]
#
# Runs dev/leak_workload.py (every entry point, success and error paths,
# indexes built and dropped, a normal exit) and reports every leaked block
# whose allocation stack passes through this module. The interpreter's own
# blocks that are still held at exit are counted but not reported: they are
# not ours. Python objects kept alive by a missing reference decrement are the
# business of tests/python/test_leaks.py (reference counts, tracemalloc).
#
#   asan      (default) the ASan+UBSan build of dev/sanitize.sh (build/asan),
#             LeakSanitizer at exit; also reports any other ASan/UBSan error.
#   valgrind  the development build (build/dev), memcheck with full leak check;
#             slow (allow a few minutes for the default 20 rounds).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
mode=${1:-asan}
rounds=${2:-20}
python=${PYTHON:-python3}
# The interpreter itself, not a wrapper script that would start it (valgrind
# would check the wrapper).
python=$("$python" -c 'import sys; print(sys.executable)')
out="$root/build/leakcheck"
rm -rf "$out"
mkdir -p "$out"
workload=("$python" "$root/dev/leak_workload.py" "$rounds")

case "$mode" in
asan)
    SANITIZE_SKIP_CORE=1 SANITIZE_SKIP_PYTHON=1 bash "$root/dev/sanitize.sh" >/dev/null
    cxx=$(sed -n 's/^CMAKE_CXX_COMPILER:[A-Z]*=//p' "$root/build/asan/CMakeCache.txt")
    PYTHONPATH="$root/build/asan" PYTHONMALLOC=malloc \
        LD_PRELOAD="$("${cxx:-g++}" -print-file-name=libasan.so) $("${cxx:-g++}" -print-file-name=libubsan.so)" \
        ASAN_OPTIONS="detect_leaks=1:fast_unwind_on_malloc=0:malloc_context_size=40:log_path=$out/asan" \
        UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:log_path=$out/ubsan" \
        "${workload[@]}" | tee "$out/workload.out" || true
    ;;
valgrind)
    command -v valgrind >/dev/null || { echo "valgrind is not installed (apt-get install valgrind)"; exit 2; }
    bash "$root/dev/build.sh" >/dev/null
    PYTHONPATH="$root/build/dev" PYTHONMALLOC=malloc \
        valgrind --tool=memcheck --leak-check=full --show-leak-kinds=definite,indirect \
        --num-callers=50 --log-file="$out/valgrind.%p" "${workload[@]}" | tee "$out/workload.out" || true
    ;;
*)
    echo "usage: $0 [asan|valgrind] [ROUNDS]"
    exit 2
    ;;
esac

grep -q "rounds done" "$out/workload.out" || { echo "leakcheck: the workload did not finish"; exit 1; }
rm "$out/workload.out"
"$python" - "$mode" "$out" "$root" <<'EOF'
import glob, re, sys

mode, out, root = sys.argv[1:4]
ours = re.compile(r"tessra\.cpython|/tessra\b|" + re.escape(root + "/src"))
files = sorted(glob.glob(out + "/*"))
if not files:
    print("leakcheck: no report written (the workload did not run?)")
    sys.exit(1)
text = "".join(open(f, errors="replace").read() for f in files)

if mode == "asan":
    # Blank-line separated records: leak records and any other error report.
    records = [r for r in re.split(r"\n\s*\n", text) if r.strip()]
    leaks = [r for r in records if re.search(r"(Direct|Indirect) leak of", r)]
    errors = [r for r in records if re.search(r"ERROR: (AddressSanitizer|LeakSanitizer)(?!: detected memory leaks)", r)
              or "runtime error:" in r]
else:
    records = re.split(r"\n==\d+== \n", text)
    # "possibly lost" blocks are the interpreter's own objects seen through
    # interior pointers (its object headers), module and type objects included.
    leaks = [r for r in records if re.search(r"are (definitely|indirectly) lost in loss record", r)]
    errors = [r for r in records if re.search(r"(Invalid (read|write|free)|uninitialised|Mismatched free)", r)]

our_leaks = [r for r in leaks if ours.search(r)]
our_errors = [r for r in errors if ours.search(r)] if mode == "valgrind" else errors
for r in our_leaks + our_errors:
    print(r.strip(), end="\n\n")
print(f"leakcheck ({mode}): {len(our_leaks)} leak record(s) through this module, "
      f"{len(leaks) - len(our_leaks)} held by the interpreter itself (ignored), "
      f"{len(our_errors)} memory error(s)")
sys.exit(1 if our_leaks or our_errors else 0)
EOF
