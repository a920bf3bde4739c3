"""What every part of the benchmark shares: the run's settings, the tessra
module under test, which peers are installed, the data sets (built once per
run) and their exact neighbours, notes for the report, and child processes
for the measurements that need a fresh interpreter."""

from __future__ import annotations

import json
import os
import subprocess
import sys
from pathlib import Path

import datasets
import libraries
from measure import log

HERE = Path(__file__).resolve().parent
REPO = HERE.parent


def import_tessra():
    """The tessra on the path (installed, or PYTHONPATH), else this tree's build/dev."""
    try:
        import tessra

        return tessra
    except ImportError:
        pass
    dev = REPO / "build" / "dev"
    sys.path.insert(0, str(dev))
    os.environ["PYTHONPATH"] = os.pathsep.join(p for p in (str(dev), os.environ.get("PYTHONPATH")) if p)
    try:
        import tessra
    except ImportError as exc:
        raise SystemExit(f"cannot import tessra ({exc}); build it with dev/build.sh or put it on PYTHONPATH")
    log(f"note: imported tessra from {dev}")
    return tessra


class Context:
    def __init__(self, quick: bool, mnist: str | None):
        self.quick = quick
        self.mode = "quick" if quick else "full"
        self.mnist = mnist
        self.tessra = import_tessra()
        self.versions = {name: libraries.version(name) for name in ("numpy", *libraries.PEERS, "matplotlib")}
        self.notes: list[str] = []
        for name in libraries.PEERS:
            if self.versions[name] is None:
                self.note(f"{name} is not installed here: its rows are left out (pip install {name}"
                          f"{'-cpu' if name == 'faiss' else ''}).")
        if mnist is None:
            self.note("No MNIST file was given (--mnist PATH): generated 28 x 28 images of ten noisy shapes "
                      "stand in for it, so the rows named 'digits' are not MNIST's figures.")
        self._sets: dict = {}
        self._truth: dict = {}

    def sizes(self, table: dict) -> dict:
        """A part's sizes for this run's mode: table is {"quick": ..., "full": ...}."""
        return table[self.mode]

    def note(self, text: str) -> None:
        if text not in self.notes:
            self.notes.append(text)
            log("note: " + text)

    def have(self, key: str) -> bool:
        return key in ("pruned", "full", "flat", "numpy") or self.versions.get(key) is not None

    def graph_keys(self, peers=libraries.PEERS) -> list[str]:
        """tessra's two graphs, then the installed peers among `peers`."""
        return ["pruned", "full", *(p for p in peers if self.have(p))]

    # -- data ----------------------------------------------------------------
    def spec(self, kind: str, n: int, nq: int) -> dict:
        """A data set spec (datasets.load): kind "images" is MNIST when a file
        was given and the generated digits otherwise."""
        if kind == "images":
            return {"kind": "mnist", "path": self.mnist, "n": n, "nq": nq} if self.mnist else \
                {"kind": "digits", "n": n, "nq": nq}
        return {"kind": kind, "n": n, "nq": nq}

    def dataset(self, spec: dict) -> datasets.Dataset:
        key = json.dumps(spec, sort_keys=True)
        if key not in self._sets:
            self._sets[key] = datasets.load(spec)
        return self._sets[key]

    def truth(self, spec: dict, k: int = libraries.K):
        """Exact float64 k nearest ids of every query of the set."""
        key = (json.dumps(spec, sort_keys=True), k)
        if key not in self._truth:
            ds = self.dataset(spec)
            self._truth[key] = datasets.exact_knn(ds.base, ds.queries, k)[0]
        return self._truth[key]

    # -- fresh processes -------------------------------------------------------
    def child(self, function: str, env: dict | None = None, **kwargs):
        """Run bench/parts' `module:function` (keyword arguments as JSON) in a
        fresh interpreter and return what it returns."""
        command = [sys.executable, str(HERE / "run.py"), "--child", function, json.dumps(kwargs)]
        done = subprocess.run(command, capture_output=True, text=True, env={**os.environ, **(env or {})})
        if done.returncode != 0:
            raise RuntimeError(f"{function}({kwargs}) failed:\n{done.stderr[-4000:]}")
        return json.loads(done.stdout.strip().splitlines()[-1])


def run_child(function: str, arguments: str) -> None:
    """The child's side of Context.child: print the result as the last line."""
    import importlib

    module_name, name = function.split(":")
    module = importlib.import_module(module_name)
    print(json.dumps(getattr(module, name)(**json.loads(arguments))))
