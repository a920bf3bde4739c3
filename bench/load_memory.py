"""Peak memory and processor time of PyHNSW.load on the files hardest on a
loader (tests/python/load_shapes.py), and on a built index.

Each index is built and saved in a child process, then loaded in a fresh one
that reports its peak resident growth during the load (the high-water mark,
reset just before it), what the loaded index keeps, and the load's processor
time. docs/format.md states the bound the peak keeps to.

    PYTHONPATH=build/dev python bench/load_memory.py [--scale S] [--shapes a,b] [--repeat N]
"""

import argparse
import os
import statistics
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "python"))

import load_shapes  # noqa: E402

BUILD = r"""
import sys
sys.path.insert(0, sys.argv[3])
import load_shapes
load_shapes.SHAPES[sys.argv[1]](float(sys.argv[4])).save(sys.argv[2])
"""


def child(code, *args):
    done = subprocess.run([sys.executable, "-c", code, *args], capture_output=True, text=True, timeout=1800)
    if done.returncode != 0:
        raise RuntimeError(done.stderr[-3000:])
    return done.stdout


def measure(shape, scale, repeat, directory):
    path = os.path.join(directory, shape + ".tsr")
    child(BUILD, shape, path, os.path.join(HERE, "..", "tests", "python"), str(scale))
    size = os.path.getsize(path)
    runs = [child(load_shapes.MEASURE_LOAD, path).split() for _ in range(repeat)]
    peak = max(int(r[0]) for r in runs)
    kept = statistics.median(int(r[1]) for r in runs)
    seconds = statistics.median(float(r[2]) for r in runs)
    os.remove(path)
    return size, peak, kept, seconds


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--scale", type=float, default=1.0)
    parser.add_argument("--shapes", default=",".join(load_shapes.SHAPES))
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args()
    mib = 1 << 20
    print("| file | size MiB | peak extra MiB | peak / size | kept MiB | load s (cpu) |")
    print("|---|---|---|---|---|---|")
    with tempfile.TemporaryDirectory() as directory:
        for shape in args.shapes.split(","):
            size, peak, kept, seconds = measure(shape, args.scale, args.repeat, directory)
            print(f"| {shape} | {size / mib:.1f} | {peak / mib:.1f} | {peak / size:.2f} | {kept / mib:.1f} | "
                  f"{seconds:.3f} |", flush=True)
    print(f"\nBound (docs/format.md): peak extra <= {load_shapes.PEAK_FACTOR} x size + "
          f"{load_shapes.PEAK_CONSTANT // mib} MiB")


if __name__ == "__main__":
    main()
