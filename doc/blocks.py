# SPDX-License-Identifier: MIT
"""Draws blocks.svg: the iterations 0 to 999 as a bar, cut into one block per thread under the
static schedule (tests/reduction.py), for a few team sizes, with the first and last threads
of a team of 1024 drawn large.

    /usr/bin/python3 doc/blocks.py                        rewrites doc/blocks.svg
    /usr/bin/python3 doc/blocks.py --compare FILE OUT     draws into OUT; fails unless FILE
                                                          is the same drawing (doc.figure)

The SVG carries no date or version, and its ids are fixed, so that the same drawing is the
same file.
"""

import sys
from pathlib import Path

import matplotlib

matplotlib.use("svg")
import matplotlib.pyplot as plt  # pylint: disable=wrong-import-position

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))
from reduction import ITERATIONS, block  # pylint: disable=wrong-import-position

TEAMS = (1, 2, 3, 4, 7, 1024)
FIGURE = Path(__file__).with_name("blocks.svg")


def colour(thread):
    return plt.get_cmap("tab20")(2 * (thread % 10) + 1)


def bars(ax, team, threads, y, labels):
    """The blocks of `threads` of a team of `team` at height y; labels: "thread, range" or t."""
    for thread in threads:
        b = block(team, thread)
        ax.barh(y, len(b), left=b.start, height=0.7, color=colour(thread), edgecolor="white",
                linewidth=0.8)
        if labels == "thread":  # teams of a few
            ax.text(b.start + len(b) / 2, y, f"thread {thread}\n{b[0]}–{b[-1]}",
                    ha="center", va="center", fontsize=7)
        else:
            ax.text(b.start + 0.5, y, str(thread), ha="center", va="center", fontsize=7)


def draw():
    fig = plt.figure(figsize=(8, 4.4))
    grid = fig.add_gridspec(2, 2, height_ratios=(3.6, 1), hspace=0.55, wspace=0.25)
    ax = fig.add_subplot(grid[0, :])
    for y, team in enumerate(TEAMS[:-1]):
        bars(ax, team, range(team), -y, "thread")
    # A team of 1024 as an image one pixel per iteration: a bar each would make the file
    # large for blocks too narrow to see; the panels below show them.
    y = 1 - len(TEAMS)
    ax.imshow([[colour(t) for t in range(ITERATIONS) for i in block(1024, t)]],
              extent=(0, ITERATIONS, y - 0.35, y + 0.35), aspect="auto",
              interpolation="nearest")
    ax.set_ylim(y - 0.6, 0.6)
    ax.set_yticks([-y for y in range(len(TEAMS))], [f"T = {team}" for team in TEAMS])
    ax.set_xlim(0, ITERATIONS)
    ax.set_xticks([0, 250, 500, 750, 999])
    ax.set_xlabel("iteration i (the value the loop adds)", fontsize=8)
    ax.set_title("Each thread's block of the loop under schedule(static)", fontsize=10)
    empty = [t for t in range(1024) if not block(1024, t)]
    for zoom, threads, note in ((grid[1, 0], range(10), "T = 1024: threads 0–9, thread t adds t"),
                                (grid[1, 1], range(990, 1000), f"threads 990–999; threads "
                                 f"{empty[0]}–{empty[-1]} add nothing")):
        ax = fig.add_subplot(zoom)
        bars(ax, 1024, threads, 0, "number")
        ax.set_xlim(threads[0], threads[-1] + 1)
        ax.set_xticks([])
        ax.set_yticks([])
        ax.set_title(note, fontsize=8)
    for ax in fig.axes:
        ax.tick_params(labelsize=7)
        ax.spines[["top", "right", "left"]].set_visible(False)
    return fig


def svg(path):
    with plt.rc_context({"svg.hashsalt": "blocks", "svg.fonttype": "none"}):
        draw().savefig(path, format="svg", metadata={"Date": None, "Creator": None},
                       bbox_inches="tight")


if __name__ == "__main__":
    if sys.argv[1:2] == ["--compare"] and len(sys.argv) == 4:
        svg(sys.argv[3])
        if Path(sys.argv[2]).read_bytes() != Path(sys.argv[3]).read_bytes():
            sys.exit(f"{sys.argv[2]} is not what doc/blocks.py draws now ({sys.argv[3]}); "
                     "rewrite it with /usr/bin/python3 doc/blocks.py")
    elif len(sys.argv) == 1:
        svg(FIGURE)
    else:
        sys.exit(__doc__.split("\n\n")[1])
