# SPDX-License-Identifier: MIT
"""The README's generated block: everything between the two markers is the script's."""

from .errors import BenchError

BEGIN = "<!-- run_bench.py: begin -->"
END = "<!-- run_bench.py: end -->"


def check_markers(text):
    """Raises BenchError unless text holds each marker once, on a line of its own, in order."""
    lines = text.splitlines()
    for marker in (BEGIN, END):
        count = sum(line.strip() == marker for line in lines)
        if count != 1:
            raise BenchError(f"README.md must hold the line {marker} once, not {count} times")
    if lines.index(next(l for l in lines if l.strip() == BEGIN)) > lines.index(
            next(l for l in lines if l.strip() == END)):
        raise BenchError(f"README.md has {END} before {BEGIN}")


def rewrite(text, block):
    """text with the lines between the markers replaced by block."""
    check_markers(text)
    lines = text.splitlines(keepends=True)
    begin = next(i for i, l in enumerate(lines) if l.strip() == BEGIN)
    end = next(i for i, l in enumerate(lines) if l.strip() == END)
    return "".join(lines[:begin + 1]) + block.rstrip("\n") + "\n" + "".join(lines[end:])
