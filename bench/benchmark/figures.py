# SPDX-License-Identifier: MIT
"""The results as SVG figures, with matplotlib: the mean phases of a run on one time scale,
and how a run's cost grows with the team; built without pyplot's global state and turned into
SVG text, so that nothing is written until the end."""

import importlib.util
import io
import logging

from .records import PHASES

# matplotlib warns on import when it cannot write its cache under $HOME (an ordinary user's,
# say); it makes a temporary one and carries on, so say nothing.
logging.getLogger("matplotlib").setLevel(logging.ERROR)
# Without it the script prints the tables and says how to get the figures. It is imported only
# to draw: it takes half a second, and loads libgomp, which reads the settings in os.environ.
AVAILABLE = importlib.util.find_spec("matplotlib") is not None
MISSING = ("matplotlib is not installed (on Debian: apt-get install python3-matplotlib, and run "
           "the script with /usr/bin/python3)")

# Each figure's file and title; the title is drawn on it and is its text in the documents.
FIGURES = {"phases.svg": "Mean phases of a run",
           "growth.svg": "How a run's cost grows with the team"}
RUNTIME_COLOURS = {"libgomp": "tab:blue", "libomp": "tab:orange"}
PHASE_COLOURS = ("0.7", "tab:red", "tab:blue", "tab:purple", "0.85")
# The rows of the phase figure, per runtime: one thread (on libomp also initialised early and
# with affinity disabled), then two under each setting.
PHASE_ROWS = ((1, "default"), (1, "initialised early"), (1, "affinity disabled"), (2, "default"),
              (2, "passive"), (2, "bind close"))


def phase_figure(results):
    """Stacked bars of the mean phases (runs with the timer), all on one time scale, and a
    mark at the mean of the runs without the timer."""
    rows = [(f"{c.runtime} T={c.threads} {c.setting}", results.phases[c.name],
             results.whole[c.name].mean[0]) for c in
            (results.find(r, t, s) for r in RUNTIME_COLOURS for t, s in PHASE_ROWS) if c]
    from matplotlib.figure import Figure  # pylint: disable=import-outside-toplevel
    fig = Figure(figsize=(9, 0.45 * len(rows) + 1.9))
    fig.suptitle(FIGURES["phases.svg"], fontsize="medium")
    ax = fig.subplots()
    y, left = range(len(rows), 0, -1), [0.0] * len(rows)
    for (key, label), colour in zip(PHASES, PHASE_COLOURS):
        widths = [phases[key] * 1e3 for _, phases, _ in rows]
        ax.barh(y, widths, left=left, color=colour, label=label, height=0.6)
        left = [a + b for a, b in zip(left, widths)]
    ax.barh([len(rows) + 1], [results.whole["serial build"].mean[0] * 1e3], color="white",
            edgecolor="black", height=0.6, hatch="//", label="serial build: whole run (no region)")
    ax.plot([mean * 1e3 for *_, mean in rows], y, "k|", markersize=14, mew=2,
            label="mean without the timer")
    ax.set_yticks([len(rows) + 1, *y], ["serial build", *(name for name, *_ in rows)],
                  fontsize="small")
    ax.set_xlabel("ms since the process was started (one scale for every row)")
    ax.grid(axis="x", color="0.9")
    ax.set_axisbelow(True)
    fig.legend(loc="lower center", ncol=4, fontsize="small", frameon=False)
    fig.tight_layout(rect=(0, 0.1, 1, 1))
    return fig


def growth_figure(results, cpus):
    """Mean whole-process time (95% interval) and mean team start against the team size,
    per runtime and setting, on log scales."""
    from matplotlib import figure, ticker  # pylint: disable=import-outside-toplevel
    fig = figure.Figure(figsize=(11, 4.6))
    fig.suptitle(FIGURES["growth.svg"], fontsize="medium")
    whole, start = fig.subplots(1, 2, sharex=True)
    for runtime, setting in sorted(results.growth):
        configs = sorted((c for c in results.configs if c.sweep and
                          (c.runtime, c.setting) == (runtime, setting)), key=lambda c: c.threads)
        threads = [c.threads for c in configs]
        style = {"color": RUNTIME_COLOURS[runtime], "ls": "-" if setting == "default" else "--",
                 "marker": "o", "markersize": 3, "label": f"{runtime} {setting}"}
        means = [[value * 1e3 for value in results.whole[c.name].mean] for c in configs]
        whole.errorbar(threads, [m for m, _, _ in means], [[max(m - low, 0) for m, low, _ in means],
                       [max(high - m, 0) for m, _, high in means]], capsize=2, **style)
        start.plot(threads, [results.phases[c.name]["team_start"] * 1e3 for c in configs],
                   **style)
    for ax, what in ((whole, "whole-process time, ms (mean, 95% CI)"),
                     (start, "team start, ms (mean, runs with the timer)")):
        ax.set_xscale("log", base=2)
        ax.set_yscale("log")
        # Tick labels as plain numbers (0.5, 2, 1000), never as powers.
        ax.xaxis.set_major_formatter("{x:g}")
        ax.yaxis.set_major_locator(ticker.LogLocator(subs=(1, 2, 5)))
        ax.yaxis.set_major_formatter("{x:g}")
        ax.yaxis.set_minor_formatter(ticker.NullFormatter())
        ax.axvline(cpus, color="0.5", lw=0.8, ls=":")
        ax.set_xlabel(f"threads in the team (dotted: the {cpus} CPUs)")
        ax.set_ylabel(what)
        ax.grid(color="0.9")
    whole.legend(fontsize="small")
    fig.tight_layout()
    return fig


def draw(results, cpus):
    """{file name: SVG text} of every figure, with no date and stable element ids."""
    from matplotlib import rc_context  # pylint: disable=import-outside-toplevel
    texts = {}
    for name, fig in zip(FIGURES, (phase_figure(results), growth_figure(results, cpus))):
        texts[name] = io.StringIO()
        with rc_context({"svg.hashsalt": "run_bench"}):
            fig.savefig(texts[name], format="svg", metadata={"Date": None}, dpi=150)
    return {name: text.getvalue() for name, text in texts.items()}
