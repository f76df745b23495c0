# SPDX-License-Identifier: MIT
"""The results as Markdown: tables and the sentences made from them, for the terminal, the
benchmark's own README (the whole block) and the top-level README (a headline)."""

from . import stats
from .configs import INIT_NOTE, LARGEST_TEAM, SETTING_NOTE, runs_per_round, sweep_sizes
from .figures import FIGURES
from .records import PHASES

# A difference between two means counts as a finding, and earns its explanation, only when
# the larger is at least this many times the smaller; a busy machine moves means by less.
CLEAR = 1.25


def ms(seconds):
    return f"{seconds * 1e3:.2f}"


def us(seconds):
    return f"{seconds * 1e6:.0f}"


def duration(seconds):
    """In µs below a millisecond, in ms from there on."""
    return f"{us(seconds)} µs" if abs(seconds) < 1e-3 else f"{ms(seconds)} ms"


def interval(values, unit=ms):
    value, low, high = values
    return f"{unit(value)} [{unit(low)}, {unit(high)}]"


def clearly_above(larger, smaller):
    return larger >= CLEAR * smaller


def whole_process_table(results, configs):
    lines = ["| runtime | threads | setting | median ms | mean ms [95% CI] "
             "| mean / serial [95% CI] | runs > 2× serial median | CPU ms | voluntary cs "
             "| involuntary cs |", "| --- | ---: | --- | ---: | --- | --- |" + " ---: |" * 4]
    for config in configs:
        s, usage = results.whole[config.name], results.usage[config.name]
        lines.append(f"| {config.runtime} | {config.threads or '-'} | {config.setting} | "
                     f"{ms(s.median)} | {interval(s.mean)} | "
                     f"{interval(results.ratio[config.name], lambda r: f'{r:.2f}')} | "
                     f"{s.share_slow:.0%} | {ms(usage['cpu'])} | {usage['nvcsw']:.1f} | "
                     f"{usage['nivcsw']:.1f} |")
    return lines


def phase_table(results, configs):
    lines = ["| runtime | threads | setting | " + " | ".join(f"{label} µs" for _, label in PHASES)
             + " | whole run µs | without the timer µs | timer's cost [95% CI] |",
             "| --- | ---: | --- |" + " ---: |" * (len(PHASES) + 2) + " --- |"]
    for config in (c for c in configs if not c.serial):
        phases = results.phases[config.name]
        cells = " | ".join(us(phases[key]) for key, _ in PHASES)
        lines.append(f"| {config.runtime} | {config.threads} | {config.setting} | {cells} | "
                     f"{us(phases['total'])} | {us(results.whole[config.name].mean[0])} | "
                     f"{interval(results.overhead[config.name], lambda r: f'{r - 1:+.0%}')} |")
    return lines


def two_threads(results, runtime, tick):
    """Why two threads are slower than one on runtime, in the run's own numbers, explained only
    where they show it (bench/README.md, "How to read the block")."""
    two = {s: results.find(runtime, 2, s).name for s in ("default", "passive", "bind close")}
    start = {s: results.phases[n]["team_start"] for s, n in two.items()}
    added = {s: start[s] - results.phases[results.find(runtime, 1, s).name]["team_start"]
             for s in two}
    body = results.phases[results.find(runtime, 1, "default").name]["body"]
    text = (f"On {runtime}, one thread ran the loop's body in {duration(body)} (region_timer's "
            f"clock read as the thread enters the body and as it leaves it; the mean of the runs "
            f"with the timer), so a second thread could save at most about {duration(body / 2)}. "
            f"Against a team of one with the same setting, a team of two took "
            f"{duration(added['passive'])} longer to start with passive waiting, "
            f"{duration(added['bind close'])} with bind close and {duration(added['default'])} "
            f"under the default setting")
    if not clearly_above(start["default"], start["passive"]):
        return text + ": not clearly more than with passive waiting, so this run shows no stall."
    if tick:
        text += (f" (this kernel's scheduler tick: {duration(1 / tick[0])}, CONFIG_HZ={tick[0]} "
                 f"in {tick[1]})")
    default, passive = ({**results.usage[two[s]], "wall": results.whole[two[s]].mean[0]}
                        for s in ("default", "passive"))
    text += (f". Per run without the timer, a team of two under the default setting used "
             f"{ms(default['cpu'])} ms of CPU in {ms(default['wall'])} ms of wall time and made "
             f"{default['nvcsw']:.1f} voluntary context switches, against {ms(passive['cpu'])} "
             f"ms in {ms(passive['wall'])} ms and {passive['nvcsw']:.1f} with passive waiting "
             f"(the *CPU ms* and *voluntary cs* columns of the whole-process table in "
             f"bench/README.md)")
    if not clearly_above(passive["nvcsw"], default["nvcsw"]):
        return text + "."
    return text + (": a thread that spins while it waits keeps its CPU busy and gives it up "
                   "only when the scheduler takes it; a thread that sleeps gives it up at once.")


def initialisation(results):
    """Why libomp takes so long to start a team of one, from the runs of that team initialised
    before main and with affinity disabled; None where libomp was not run."""
    found = {s: results.find("libomp", 1, s)
             for s in ("default", "initialised early", "affinity disabled")}
    if not all(found.values()):
        return None
    phases = {s: results.phases[c.name] for s, c in found.items()}
    start = {s: p["team_start"] for s, p in phases.items()}
    whole = {s: results.whole[c.name].mean[0] for s, c in found.items()}
    switches = {s: results.usage[c.name]["nvcsw"] for s, c in found.items()}
    libgomp = results.phases[results.find("libgomp", 1, "default").name]["team_start"]
    early = phases["initialised early"]["startup"] - phases["default"]["startup"]
    text = (f"On libomp a team of one took {duration(start['default'])} to start, against "
            f"{duration(libgomp)} on libgomp. Initialised before main (by early_init.c), it "
            f"took {duration(start['initialised early'])}, while start-up took "
            f"{duration(early)} longer than without it and the whole run "
            f"{ms(whole['initialised early'])} ms against {ms(whole['default'])} ms")
    pair = (whole["default"], whole["initialised early"])
    moved = (clearly_above(start["default"], start["initialised early"]) and
             not clearly_above(max(pair), min(pair)))
    text += (": the time goes to libomp initialising itself, which it does in the first "
             "parallel region unless something asks for it sooner." if moved else ".")
    text += (f" With KMP_AFFINITY=disabled a team of one took "
             f"{duration(start['affinity disabled'])} to start, and the runs made "
             f"{switches['affinity disabled']:.1f} voluntary context switches against "
             f"{switches['default']:.1f} with it on")
    if (clearly_above(start["default"], start["affinity disabled"]) and
            clearly_above(switches["default"], switches["affinity disabled"])):
        return text + (f": {duration(start['default'] - start['affinity disabled'])} of the "
                       f"team start is affinity, for which the runtime moves its thread from "
                       f"CPU to CPU to learn the machine's layout, giving up the CPU at each "
                       f"move.")
    return text + "."


def report(results, meta, cpus, runtimes, warnings, tick):
    """The whole block: how it was run, warnings, the sentences and both tables."""
    fewer = ", ".join(f"{runs_per_round(t, meta['runs per round'], cpus)} at {t}"
                      for t in sweep_sizes(cpus) if t > 4 * cpus)
    fits = "; ".join(f"{runtime} {setting} {interval(results.growth[runtime, setting], us)}"
                     for runtime, setting in sorted(results.growth))
    init = initialisation(results)
    return [f"Machine: {meta['machine']}; {meta['compiler']}; runtimes: {', '.join(runtimes)}.",
            f"{meta['rounds']} rounds × {meta['runs per round']} runs of each configuration, "
            f"with and without region_timer, interleaved (posix_spawn + wait4), seed "
            f"{meta['seed']}. The sweep runs T = {', '.join(map(str, sweep_sizes(cpus)))} under "
            f"the default and passive settings, with fewer runs per round above T = "
            f"{4 * cpus} ({fewer}). The run took {meta['minutes']:g} min, build included.",
            f"Of the machine's CPU time during the runs (/proc/stat), the host took "
            f"{meta['steal']:.1%} (steal) and other processes {meta['other processes']:.1%}; "
            f"--readme refuses either above {stats.FOREIGN_LIMIT:.0%}.",
            f"Settings: {SETTING_NOTE}{f'; {INIT_NOTE}' * ('libomp' in runtimes)}.",
            f"Method: intervals are {stats.CONFIDENCE:.0%} bootstrap intervals over "
            f"{stats.BOOTSTRAP_RESAMPLES} resamples of whole rounds; the machine counts as "
            f"noisy when over {stats.SERIAL_SLOW_SHARE:.0%} of the serial build's runs take "
            f"twice its median or its rounds' means are more than "
            f"{stats.SERIAL_ROUND_SPREAD:.0%} apart; an explanation is given only where the "
            f"means it rests on differ clearly, the larger at least {CLEAR:g} times the "
            f"smaller.", "", *(f"**Warning:** {w}.\n" for w in warnings),
            *(two_threads(results, r, tick) + "\n" for r in runtimes),
            *([init + "\n"] if init else []),
            f"Each thread beyond the {cpus} CPUs added, in µs [95% CI]: {fits} (the slope of "
            f"the mean whole-process time against T = {cpus} … {LARGEST_TEAM}, least squares).",
            "", "Whole process, runs without the timer (CPU is user + system time; voluntary "
            "and involuntary context switches; all means per run):", "",
            *whole_process_table(results, results.tabled(cpus)), "",
            "Phases of a run, means over the runs with region_timer (means add up to the "
            "whole run; medians would not), beside the mean of the runs without it:", "",
            *phase_table(results, results.tabled(cpus))]


def documents(lines, command, results, tick):
    """The texts between the markers of bench/README.md (report's lines) and of README.md (the
    two-thread answer on libgomp and, where libomp ran, its slow start of a team of one)."""
    made, init = f"Made by `{command}`", initialisation(results)
    return ("\n".join([f"{made}:", "", *lines, "", *(f"![{title}](figures/{name})"
                                                      for name, title in FIGURES.items())]),
            "\n".join([f"{made} (the method, all the numbers and the figures: "
                       f"[bench/README.md](bench/README.md)):", "",
                       two_threads(results, "libgomp", tick), *["", init] * bool(init), "",
                       f"![{FIGURES['phases.svg']}](bench/figures/phases.svg)"]))
