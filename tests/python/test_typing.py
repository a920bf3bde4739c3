"""The installed type information matches the module, and the examples type-check strictly."""
import importlib.util
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]

pytestmark = [
    pytest.mark.skipif(importlib.util.find_spec("mypy") is None, reason="mypy is not installed"),
    pytest.mark.skipif(
        importlib.util.find_spec("tessra-stubs") is None and not any(
            (Path(p) / "tessra-stubs").is_dir() for p in sys.path if p
        ),
        reason="tessra is not installed with its type information (pip install .)",
    ),
]


def _run(*args):
    return subprocess.run([sys.executable, "-m", *args], capture_output=True, text=True, cwd=ROOT / "build"
                          if (ROOT / "build").is_dir() else None, timeout=600)


def test_stub_matches_the_runtime_module():
    result = _run("mypy.stubtest", "tessra")
    assert result.returncode == 0, result.stdout + result.stderr


def test_examples_pass_strict_type_checking():
    examples = sorted(str(p) for p in (ROOT / "examples").glob("*.py"))
    result = _run("mypy", "--strict", "--no-incremental", "--ignore-missing-imports", *examples)
    assert result.returncode == 0, result.stdout + result.stderr
