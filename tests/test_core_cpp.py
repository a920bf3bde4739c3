"""Builds and runs the C++ tests of the core (kernels, graph internals, metadata)."""
import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent


def _cmake():
    found = shutil.which("cmake")
    if found:
        return found
    try:
        import cmake  # the PyPI wheel carries a binary

        return str(Path(cmake.CMAKE_BIN_DIR) / "cmake")
    except ImportError:
        return None


def test_core_cpp_suite():
    cmake = _cmake()
    if cmake is None:
        pytest.skip("cmake is not installed")
    build = ROOT / "build" / "core-tests"
    configure = [cmake, "-S", str(ROOT / "tests" / "cpp"), "-B", str(build), "-DCMAKE_BUILD_TYPE=Release"]
    if shutil.which("ninja") or _has_ninja_module():
        configure += ["-G", "Ninja"]
    if not (build / "CMakeCache.txt").exists():
        subprocess.run(configure, check=True, capture_output=True, text=True)
    built = subprocess.run([cmake, "--build", str(build), "--parallel", "2"], capture_output=True, text=True)
    assert built.returncode == 0, built.stdout + built.stderr
    run = subprocess.run([str(build / "core_tests")], capture_output=True, text=True, timeout=600)
    sys.stdout.write(run.stdout)
    assert run.returncode == 0, run.stdout + run.stderr


def _has_ninja_module():
    try:
        import ninja  # noqa: F401

        os.environ["PATH"] = ninja.BIN_DIR + os.pathsep + os.environ.get("PATH", "")
        return True
    except (ImportError, AttributeError):
        return False
