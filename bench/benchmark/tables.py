# SPDX-License-Identifier: MIT
"""The results as Markdown tables and sentences, for the terminal and the README."""

import statistics

from . import noise, stats
from .configs import SETTING_NOTE, team_sizes
from .records import PHASES


def ms(seconds):
    return f"{seconds * 1e3:.2f}"


def us(seconds):
    return f"{seconds * 1e6:.0f}"


def percent(fraction):
    return f"{fraction:.0%}"


def change(ratio):
    """A ratio as a signed percentage: 1.08 -> "+8%"."""
    return f"{ratio - 1:+.0%}"


def clusters_cell(clusters):
    """Each cluster's share of the runs and its median in ms, fastest first."""
    return ", ".join(f"{percent(c.share)} @ {ms(c.median)}" for c in clusters)


def whole_process_table(results):
    with_hyperfine = bool(results.hyperfine)
    header = ("| runtime | threads | setting | median ms | mean ms [95% CI] "
              "| mean / serial [95% CI] | clusters: share @ median ms | runs > 2× serial median "
              "| CPU ms | voluntary cs | involuntary cs |")
    rule = "| --- | ---: | --- | ---: | --- | --- | --- | ---: | ---: | ---: | ---: |"
    if with_hyperfine:
        header += " hyperfine mean ms |"
        rule += " ---: |"
    lines = [header, rule]
    for config in results.configs:
        s = results.whole[config.name]
        ratio, low, high = results.ratio[config.name]
        usage = results.usage[config.name]
        row = (f"| {config.runtime} | {config.threads} | {config.setting} | {ms(s.median)} | "
               f"{ms(s.mean)} [{ms(s.mean_low)}, {ms(s.mean_high)}] | "
               f"{ratio:.2f} [{low:.2f}, {high:.2f}] | {clusters_cell(s.clusters)} | "
               f"{percent(s.share_slow)} | {ms(usage['cpu'])} | {usage['nvcsw']:.1f} | "
               f"{usage['nivcsw']:.1f} |")
        if with_hyperfine:
            row += f" {ms(results.hyperfine[config.name].mean)} |"
        lines.append(row)
    return lines


def phase_table(results):
    header = " | ".join(f"{label} µs" for _, label in PHASES)
    lines = [f"| runtime | threads | setting | {header} | whole run µs | without the timer µs "
             "| timer's cost [95% CI] |",
             "| --- | ---: | --- |" + " ---: |" * (len(PHASES) + 2) + " --- |"]
    for config in results.parallel():
        phases = results.phases[config.name]
        ratio, low, high = results.overhead[config.name]
        cells = " | ".join(us(phases[key]) for key, _ in PHASES)
        lines.append(f"| {config.runtime} | {config.threads} | {config.setting} | {cells} | "
                     f"{us(phases['total'])} | {us(results.whole[config.name].mean)} | "
                     f"{change(ratio)} [{change(low)}, {change(high)}] |")
    return lines


def _find(results, runtime, threads, setting):
    for config in results.configs:
        if (config.runtime, config.threads, config.setting) == (runtime, str(threads), setting):
            return config
    return None


def binding_test(results, runtime):
    """Whether binding the team removed the two-thread stall: the share of two-thread runs
    that took over twice the median of the same runtime's one-thread runs, with and without
    OMP_PROC_BIND=close."""
    one = _find(results, runtime, 1, "default")
    bound_over = 2 * statistics.median(results.samples_of(one))

    def slow(setting):
        walls = results.samples_of(_find(results, runtime, 2, setting))
        return sum(w > bound_over for w in walls) / len(walls)

    slow_default, slow_bound = slow("default"), slow("bind close")
    if slow_default < 0.1:
        verdict = "there was no stall for binding to remove"
    elif slow_bound <= max(0.05, slow_default / 4):
        verdict = "binding the team removed the stall"
    else:
        verdict = "binding the team did not remove the stall"
    return (f"Binding test, {runtime}: {percent(slow_default)} of the two-thread runs took over "
            f"twice the median one-thread run under the default setting, {percent(slow_bound)} "
            f"with bind close: {verdict}.")


def fastest(results, cpus):
    """For each team size, the configuration with the lowest mean whole-process time, beside
    libgomp's default."""

    def mean(config):
        s = results.whole[config.name]
        return f"{ms(s.mean)} ms [{ms(s.mean_low)}, {ms(s.mean_high)}]"

    lines = []
    for threads in team_sizes(cpus):
        candidates = [c for c in results.parallel() if c.threads == str(threads)]
        best = min(candidates, key=lambda c: results.whole[c.name].mean)
        default = _find(results, "libgomp", threads, "default")
        beside = ("libgomp's default itself" if best is default
                  else f"libgomp default: {mean(default)}")
        lines.append(f"- Fastest at T = {threads}: {best.runtime} {best.setting}, mean "
                     f"{mean(best)}; {beside}.")
    return lines


def findings(results, cpus, runtimes):
    """The sentences the README's explanation and advice rest on."""
    timer = _find(results, "libgomp", 1, "default")
    ratio, low, high = results.overhead[timer.name]
    lines = [f"Timer's cost at T = 1 on libgomp (default setting): a run with region_timer took "
             f"{change(ratio)} [{change(low)}, {change(high)}] against a run without it, "
             f"{us(results.phases[timer.name]['total'])} µs against "
             f"{us(results.whole[timer.name].mean)} µs.", ""]
    lines += [binding_test(results, runtime) for runtime in runtimes]
    lines += ["", *fastest(results, cpus)]
    return lines


def report(results, meta, cpus, runtimes, warnings):
    """The whole text: settings, noise warnings, both tables and the findings."""
    lines = [f"Machine: {meta['machine']}; {meta['compiler']}; runtimes: {', '.join(runtimes)}.",
             f"{meta['rounds']} rounds × {meta['runs per round']} runs of each configuration, "
             f"with and without region_timer, interleaved (posix_spawn + wait4), seed "
             f"{meta['seed']}; {meta['hyperfine']}.",
             f"Settings: {SETTING_NOTE}.",
             f"Method: intervals are {stats.CONFIDENCE:.0%} bootstrap intervals over "
             f"{stats.BOOTSTRAP_RESAMPLES} resamples of whole rounds; runs are split into "
             f"clusters (at most {stats.MAX_CLUSTERS}) where one cut of their log times explains "
             f"at least {stats.CLUSTER_MIN_EXPLAINED:.0%} of their variance and each side holds at "
             f"least {stats.CLUSTER_MIN_SHARE:.0%} of the runs; the machine counts as noisy when "
             f"over {noise.SERIAL_SLOW_SHARE:.0%} of the serial build's runs take twice its "
             f"median or its rounds' means are more than {noise.SERIAL_ROUND_SPREAD:.0%} apart, "
             f"or hyperfine warns.", ""]
    if warnings:
        lines += [f"**Noise warning:** {w}." for w in warnings] + [""]
    lines += ["Whole process, runs without the timer (CPU is user + system time; voluntary and "
              "involuntary context switches; all means per run):", "",
              *whole_process_table(results), "",
              "Phases of a run, means over the runs with region_timer (means add up to the "
              "whole run; medians would not), beside the mean of the runs without it:", "",
              *phase_table(results), "", *findings(results, cpus, runtimes)]
    return lines
