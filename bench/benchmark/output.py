# SPDX-License-Identifier: MIT
"""Where the results go (the CSV of every run, the documents' blocks, the figures): checked
before anything is measured, written whole or not at all (a temporary file, then a rename)."""

import csv
import io
import os
import tempfile
from pathlib import Path

from . import BenchError
from .records import PHASES

# The generated part of each document lies between two marker lines: (begin, end).
BLOCK = ("<!-- run_bench.py: begin -->", "<!-- run_bench.py: end -->")
HEADLINE = ("<!-- run_bench.py headline: begin -->", "<!-- run_bench.py headline: end -->")


def check_writable(directory):
    """Creates directory if need be and proves that a file can be made in it."""
    try:
        Path(directory).mkdir(parents=True, exist_ok=True)
        with tempfile.NamedTemporaryFile(dir=directory, prefix=".run_bench-check-"):
            pass
    except OSError as error:
        raise BenchError(f"cannot write to {directory}: {error.strerror or error}") from None


def atomic_write(path, text):
    """Replaces path with text in one rename; on failure the old file is left as it was."""
    path, temporary = Path(path), None
    try:
        with tempfile.NamedTemporaryFile("w", encoding="utf-8", dir=path.parent,
                                         prefix=f".{path.name}.", delete=False) as out:
            temporary = out.name
            out.write(text)
        os.chmod(temporary, path.stat().st_mode & 0o7777 if path.exists() else 0o644)
        os.replace(temporary, path)
    except OSError as error:
        if temporary:  # made, but not renamed
            os.unlink(temporary)
        raise BenchError(f"cannot write {path}: {error.strerror or error}") from None


def commit(outputs, stale=()):
    """Writes every {path: text} of outputs, then removes the stale paths it did not write."""
    for path, text in outputs.items():
        atomic_write(path, text)
    for path in set(map(Path, stale)) - set(map(Path, outputs)):
        path.unlink(missing_ok=True)


def read_document(path, markers):
    """The text of path, which must hold each marker once, on a line of its own, in order."""
    try:
        text = Path(path).read_text(encoding="utf-8")
    except OSError as error:
        raise BenchError(f"cannot read {path}: {error.strerror}") from None
    lines = [line.strip() for line in text.splitlines()]
    for marker in markers:
        if lines.count(marker) != 1:
            raise BenchError(f"{path} must hold the line {marker} once, not "
                             f"{lines.count(marker)} times")
    if lines.index(markers[0]) > lines.index(markers[1]):
        raise BenchError(f"{path} has {markers[1]} before {markers[0]}")
    return text


def rewrite(text, markers, block):
    """text (from read_document) with the lines between the markers replaced by block."""
    lines = text.splitlines(keepends=True)
    begin, end = ([line.strip() for line in lines].index(m) for m in markers)
    return "".join(lines[:begin + 1]) + block.rstrip("\n") + "\n" + "".join(lines[end:])


def runs_csv(meta, warnings, samples):
    """Every run (its configuration, round, times, context switches and phases) after "# key:
    value" lines for the machine, the settings and the warnings."""
    out = io.StringIO(newline="")
    out.writelines([f"# {key}: {value}\n" for key, value in meta.items()] +
                   [f"# warning: {w}\n" for w in warnings])
    writer = csv.writer(out, lineterminator="\n")
    writer.writerow(["runtime", "threads", "setting", "timer", "round", "wall_us", "cpu_us",
                     "voluntary_cs", "involuntary_cs", *(f"{key}_us" for key, _ in PHASES)])
    for s in samples:
        us = ["" if v is None else f"{v * 1e6:.1f}" for v in (
            s["wall"], s["cpu"], *((s["phases"] or {}).get(key) for key, _ in PHASES))]
        writer.writerow([s["config"].runtime, s["config"].threads or "-", s["config"].setting,
                         "yes" if s["timer"] else "no", s["round"], *us[:2], s["nvcsw"],
                         s["nivcsw"], *us[2:]])
    return out.getvalue()
