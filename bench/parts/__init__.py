"""The benchmark's parts, one module each, run by bench/run.py.

Each module has TITLE (its heading in the report), PLOTS (the files it may
write), SIZES (per mode, "quick" and "full"), run(ctx) -> results (JSON),
render(results) -> Markdown and plot(results, pyplot, directory) -> a list of
(caption, file name)."""
