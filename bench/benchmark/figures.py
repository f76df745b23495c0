# SPDX-License-Identifier: MIT
"""The results as SVG figures, with matplotlib: every run's whole-process time, and the
threads of a typical run inside the region. Figures are built as Figure objects (no pyplot,
no global state) and turned into SVG text, so that nothing is written until the run has
succeeded."""

import io
import logging
import math
import random

FIGURE_NAMES = ("whole_process.svg", "timeline.svg")
RUNTIME_COLOURS = {"-": "black", "libgomp": "tab:blue", "libomp": "tab:orange"}


def available():
    # matplotlib logs a warning on import when it cannot write its cache under $HOME (an
    # ordinary user's, say); it makes a temporary one and carries on, so say nothing.
    logging.getLogger("matplotlib").setLevel(logging.ERROR)
    try:
        import matplotlib  # noqa: F401 pylint: disable=import-outside-toplevel,unused-import
    except ImportError:
        return False
    return True


def log_ticks(low, high):
    """Tick values between low and high (> 0) for a log axis: powers of ten, or the 1-2-5
    steps, or 1-2-3-5, or every step, whichever is the sparsest to give at least four; a
    narrower range gets evenly spaced round values."""
    if not 0 < low <= high:
        raise ValueError("need 0 < low <= high")
    first, last = math.floor(math.log10(low)), math.ceil(math.log10(high))
    for steps in ((1,), (1, 2, 5), (1, 2, 3, 5), range(1, 10)):
        ticks = [round(step * 10.0 ** exponent, 12) for exponent in range(first, last + 1)
                 for step in steps]
        ticks = [t for t in ticks if low <= t <= high]
        if len(ticks) >= 4:
            return ticks
    return linear_ticks(low, high)


def linear_ticks(low, high, count=4):
    """About count evenly spaced round values between low and high."""
    if high == low:
        return [low]
    raw = (high - low) / count
    magnitude = 10.0 ** math.floor(math.log10(raw))
    step = min((m * magnitude for m in (1, 2, 5, 10)), key=lambda s: abs(s - raw))
    ticks, t = [], math.ceil(low / step) * step
    while t <= high + step * 1e-9:
        ticks.append(round(t, 12))
        t += step
    return ticks


def tick_label(value):
    """Three significant digits, but never an exponent: 0.25, 4.5, 1200."""
    return f"{value:.3g}" if abs(value) < 1000 else f"{value:.0f}"


def whole_process_figure(results):
    """Every run without the timer as a point, one row per configuration, log time axis."""
    from matplotlib.figure import Figure  # pylint: disable=import-outside-toplevel
    from matplotlib.lines import Line2D  # pylint: disable=import-outside-toplevel
    from matplotlib.ticker import FixedLocator, NullFormatter, NullLocator  # pylint: disable=import-outside-toplevel

    configs = results.configs
    jitter = random.Random(0)
    fig = Figure(figsize=(9, 0.28 * len(configs) + 1.8))
    ax = fig.subplots()
    everything = []
    for row, config in enumerate(reversed(configs)):
        samples = [s * 1e3 for s in results.samples_of(config)]
        everything += samples
        colour = RUNTIME_COLOURS.get(config.runtime, "tab:green")
        ax.scatter(samples, [row + jitter.uniform(-0.3, 0.3) for _ in samples], s=5, alpha=0.35,
                   linewidths=0, color=colour)
        summary = results.whole[config.name]
        ax.plot([summary.median * 1e3] * 2, [row - 0.4, row + 0.4], color="black", lw=1.5)
        ax.plot([summary.mean * 1e3], [row], marker="D", color="white", markeredgecolor="black",
                markersize=4, lw=0)
    ax.axvline(2 * results.serial_median * 1e3, color="tab:red", lw=0.8, ls="--")
    low, high = min(everything), max(everything)
    ax.set_xscale("log")
    ax.set_xlim(low / 1.15, high * 1.15)
    ticks = log_ticks(low / 1.15, high * 1.15)
    ax.xaxis.set_major_locator(FixedLocator(ticks))
    ax.xaxis.set_major_formatter(lambda value, _: tick_label(value))
    ax.xaxis.set_minor_locator(NullLocator())
    ax.xaxis.set_minor_formatter(NullFormatter())
    ax.set_yticks(range(len(configs)))
    ax.set_yticklabels([c.name for c in reversed(configs)], fontsize="small")
    ax.set_ylim(-0.7, len(configs) - 0.3)
    ax.grid(axis="x", color="0.9")
    ax.set_xlabel("whole-process time, ms (log scale)")
    handles = [Line2D([], [], marker="o", lw=0, color=RUNTIME_COLOURS[r], label=label)
               for r, label in (("-", "serial build"), ("libgomp", "libgomp"),
                                ("libomp", "LLVM libomp")) if any(c.runtime == r for c in configs)]
    handles += [Line2D([], [], color="black", lw=1.5, label="median"),
                Line2D([], [], marker="D", lw=0, color="white", markeredgecolor="black",
                       label="mean"),
                Line2D([], [], color="tab:red", lw=0.8, ls="--", label="twice the serial median")]
    fig.legend(handles=handles, loc="lower center", ncol=len(handles), fontsize="small",
               frameon=False)
    fig.tight_layout(rect=(0, 0.04, 1, 1))
    return fig


def timeline_panels(results, cpus):
    """The configurations the timeline shows: the two-thread stall, what removes it, and the
    largest team; per runtime."""
    wanted = [("2", "default"), ("2", "passive"), ("2", "bind close"), (str(4 * cpus), "default")]
    runtimes = [r for r in ("libgomp", "libomp") if any(c.runtime == r for c in results.configs)]
    by_key = {(c.runtime, c.threads, c.setting): c for c in results.configs}
    return [[by_key.get((runtime, threads, setting)) for runtime in runtimes]
            for threads, setting in wanted]


def timeline_figure(results, cpus):
    """For each panel's configuration, the run whose region took the median time: when each
    thread entered and left the body. Each panel has its own time scale, in its own unit."""
    from matplotlib.collections import LineCollection  # pylint: disable=import-outside-toplevel
    from matplotlib.figure import Figure  # pylint: disable=import-outside-toplevel
    from matplotlib.lines import Line2D  # pylint: disable=import-outside-toplevel
    from matplotlib.ticker import FixedLocator, MaxNLocator  # pylint: disable=import-outside-toplevel

    panels = timeline_panels(results, cpus)
    rows, columns = len(panels), len(panels[0])
    fig = Figure(figsize=(6 * columns, 2.3 * rows + 0.8))
    axes = fig.subplots(rows, columns, squeeze=False)
    for row, line in enumerate(panels):
        for column, config in enumerate(line):
            ax = axes[row][column]
            if config is None:
                ax.set_visible(False)
                continue
            run = results.typical[config.name]
            region = run["region"]
            unit, scale = ("ms", 1e3) if region >= 2e-3 else ("µs", 1e6)
            spans = run["spans"]
            threads = len(spans)
            width = max(0.6, min(6.0, 110 / threads))
            waiting = [[(0, t), (enter * scale, t)] for t, (enter, _) in enumerate(spans)]
            body = [[(enter * scale, t), (leave * scale, t)] for t, (enter, leave) in
                    enumerate(spans)]
            after = [[(leave * scale, t), (region * scale, t)] for t, (_, leave) in
                     enumerate(spans)]
            ax.add_collection(LineCollection(waiting, colors="0.75", linewidths=width / 3))
            ax.add_collection(LineCollection(body, colors="tab:blue", linewidths=width,
                                             capstyle="butt"))
            ax.add_collection(LineCollection(after, colors="tab:orange",
                                             linewidths=width / 3, linestyles="dotted"))
            # A body of a few nanoseconds is too short to see as a line: mark where it is.
            ax.scatter([leave * scale for _, leave in spans], range(threads), marker="|",
                       s=max(4.0, width * 12), color="tab:blue", linewidths=1)
            ax.axvline(0, color="black", lw=1)
            ax.axvline(region * scale, color="black", lw=1, ls="--")
            ax.set_xlim(-0.03 * region * scale, 1.03 * region * scale)
            ax.xaxis.set_major_locator(FixedLocator(linear_ticks(0, region * scale)))
            ax.xaxis.set_major_formatter(lambda value, _: tick_label(value))
            ax.set_xlabel(f"{unit} since the region started", fontsize="small")
            ax.set_ylim(-0.8, threads - 0.2)
            ax.yaxis.set_major_locator(MaxNLocator(nbins=6, integer=True, min_n_ticks=1))
            ax.set_ylabel("thread", fontsize="small")
            ax.set_title(f"{config.name}: region {tick_label(region * scale)} {unit}",
                         fontsize="medium", loc="left")
    handles = [Line2D([], [], color="0.75", lw=1.5, label="before it enters the body"),
               Line2D([], [], color="tab:blue", lw=5, label="in the body (block sum and combine)"),
               Line2D([], [], color="tab:orange", lw=1.5, ls=":",
                      label="after it leaves the body"),
               Line2D([], [], color="black", lw=1, ls="--", label="the region returns")]
    fig.legend(handles=handles, loc="lower center", ncol=4, fontsize="small", frameon=False)
    fig.suptitle("The run with the median region time, per configuration; each panel has its "
                 "own time scale", fontsize="medium")
    fig.tight_layout(rect=(0, 0.04, 1, 1))
    return fig


def svg(fig):
    """The figure as SVG text, with no date and stable element ids."""
    import matplotlib  # pylint: disable=import-outside-toplevel

    out = io.StringIO()
    with matplotlib.rc_context({"svg.hashsalt": "run_bench"}):
        fig.savefig(out, format="svg", metadata={"Date": None})
    return out.getvalue()


def draw(results, cpus):
    """{file name: SVG text} of both figures."""
    return {"whole_process.svg": svg(whole_process_figure(results)),
            "timeline.svg": svg(timeline_figure(results, cpus))}
