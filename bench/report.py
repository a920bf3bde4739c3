"""Markdown tables and plots for the report."""

from __future__ import annotations

import math

DASH = "–"


def fmt(value, spec: str = ",.0f") -> str:
    if value is None or (isinstance(value, float) and (math.isnan(value) or math.isinf(value))):
        return DASH
    return format(value, spec)


def ratio(a, b):
    if a is None or b is None or b == 0 or (isinstance(a, float) and math.isnan(a)):
        return None
    return a / b


def times(value) -> str:
    """A ratio as '1.23×'."""
    return DASH if value is None else f"{value:.2f}×"


def table(header: list, rows: list, left: int = 1) -> str:
    """A Markdown table: the first `left` columns aligned left, the rest right."""
    lines = ["| " + " | ".join(map(str, header)) + " |",
             "|" + "---|" * left + "---:|" * (len(header) - left)]
    lines += ["| " + " | ".join(map(str, row)) + " |" for row in rows]
    return "\n".join(lines)


def size_label(ds: dict) -> str:
    """'MNIST 9,000 × 784' from a data set's description."""
    title = {"mnist": "MNIST", "digits": "digits"}.get(ds["name"], ds["name"].split("-")[0])
    return f"{title} {ds['n']:,} × {ds['dim']}"


def describe(ds) -> dict:
    """What the report keeps of a data set."""
    return {"name": ds.name, "n": ds.n, "dim": ds.dim, "nq": ds.nq, "note": ds.note}


def pyplot():
    """matplotlib's pyplot on a file backend, or None when it is not installed."""
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except Exception:
        return None
    return plt


def panels(plt, count: int, width: float = 5.0, height: float = 4.2, rows: int = 1):
    fig, axes = plt.subplots(rows, count, figsize=(width * count, height * rows), squeeze=False)
    return fig, axes


def save(plt, fig, path) -> None:
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)
