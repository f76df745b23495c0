# SPDX-License-Identifier: MIT
"""Draws a run that tests/count_combines.py traced: a lane per OpenMP thread, with its block,
and each compare-and-swap in order, failed ones apart from successful ones.

    gdb ... count_combines.py ... | python3 doc/draw_trace.py RUN.svg   (or any matplotlib format)

passes the trace through and draws it. --check DOC exits 1 unless each picture a command in
DOC names is, byte for byte, the drawing of the trace shown after it.
"""

import io
import pathlib
import re
import sys

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402  (after the backend is chosen)

CHECKOUT = pathlib.Path(__file__).resolve().parent.parent
sys.path.insert(0, str(CHECKOUT / "tests"))
import reduction  # noqa: E402

ROW = re.compile(r"^ +(\d+) +(\d+) +(\S+) +(\S+) +(\S+) +(\S+)  (succeeds|fails)$")
COMMAND = re.compile(r"^\$ .*count_combines.* \| \S*python3 doc/draw_trace\.py (\S+)$")

plt.rcParams.update({"svg.hashsalt": "draw_trace", "svg.fonttype": "none", "font.size": 9})


def draw(lines, picture, file_format):
    """Draws the swaps among `lines` (a trace) into the file object `picture`."""
    swaps = [match.groups() for match in map(ROW.match, lines) if match]
    lanes = sorted({(int(thread), gdb) for thread, gdb, *_ in swaps})
    team = len(lanes)
    figure, axes = plt.subplots(figsize=(max(6.5, 1.6 + 1.25 * len(swaps)), 1.2 + 0.75 * team))
    for order, (thread, _, reads, partial, swaps_in, finds, outcome) in enumerate(swaps, 1):
        ok = outcome == "succeeds"
        axes.plot(order, int(thread), "o" if ok else "x", color="tab:blue" if ok else "tab:red",
                  markersize=9, mew=1 if ok else 2)
        label = f"{reads} + {partial}\n= {swaps_in}" if ok else f"from {reads}:\nfinds {finds}"
        axes.annotate(label, (order, int(thread)), xytext=(0, 9), textcoords="offset points",
                      ha="center", color="black" if ok else "tab:red")
    blocks = [reduction.block(team, thread) for thread, _ in lanes]
    axes.set_yticks([thread for thread, _ in lanes],
                    [f"thread {thread} (gdb {gdb})\nblock {block[0]}–{block[-1]}"
                     for (thread, gdb), block in zip(lanes, blocks)])
    axes.set_xticks(range(1, len(swaps) + 1))
    axes.set_xlim(0.4, len(swaps) + 0.6)
    axes.set_ylim(team - 0.4, -0.6)  # thread 0 on top, room above each lane's labels
    axes.set_xlabel("compare-and-swaps in the order they happened\n"
                    "● succeeds: read + partial = the total after it;  ✕ fails: finds another")
    axes.grid(axis="y", color="0.9")
    figure.tight_layout()
    figure.savefig(picture, format=file_format, metadata={"Date": None})  # the same bytes each time
    plt.close(figure)


def check(document):
    """Problems with the pictures the document's commands draw; none found is one."""
    problems, commands = [], 0
    lines = pathlib.Path(document).read_text(encoding="utf-8").splitlines()
    for index, line in enumerate(lines):
        command = COMMAND.match(line)
        if not command:
            continue
        commands += 1
        end = next((later for later in range(index + 1, len(lines))
                    if lines[later].startswith(("$ ", "```"))), len(lines))
        drawn = io.BytesIO()
        draw(lines[index + 1:end], drawn, "svg")
        picture = CHECKOUT / command[1]
        if not picture.is_file() or picture.read_bytes() != drawn.getvalue():
            problems.append(f"{document}:{index + 1}: {command[1]} is not the drawing of the "
                            f"trace below the command; run the command again and put what it "
                            f"prints below it")
    return problems + [f"{document}: no command draws a trace"] * (commands == 0)


if __name__ == "__main__":
    if sys.argv[1:2] == ["--check"]:
        found = check(sys.argv[2])
        print("\n".join(found) or f"{sys.argv[2]}: every trace picture is the trace's drawing")
        sys.exit(1 if found else 0)
    if len(sys.argv) != 2:
        sys.exit(f"usage: gdb ... count_combines.py ... | {sys.argv[0]} RUN.svg, or --check DOC")
    trace = sys.stdin.read()
    sys.stdout.write(trace)
    if not any(ROW.match(line) for line in trace.splitlines()):
        sys.exit(f"{sys.argv[0]}: no swap on standard input to draw (is count_combines.py "
                 f"before the pipe?)")
    with open(sys.argv[1], "wb") as out:
        draw(trace.splitlines(), out, pathlib.Path(sys.argv[1]).suffix[1:])
