# SPDX-License-Identifier: MIT
"""Warnings that the machine was too noisy for the numbers to be trusted as they stand.

Two sources: hyperfine's own warnings (statistical outliers, a slow first run), and the serial
build's runs, which should be the steadiest of all: its runs spread too wide, or its rounds
disagree, when something else on the machine takes CPU time.
"""

import re
import statistics

# The serial build is noisy when more than this share of its runs take over twice its median...
SERIAL_SLOW_SHARE = 0.05
# ... or when its slowest round's mean is more than this much above its fastest round's.
SERIAL_ROUND_SPREAD = 0.25

_BENCHMARK = re.compile(r"^Benchmark \d+: (.*)$")
_WARNING = re.compile(r"^\s*Warning: (.*)$")


def hyperfine_warnings(stdout):
    """hyperfine's warnings from its --style=basic output, each named after its command,
    with the advice that follows the first sentence dropped."""
    warnings, command = [], None
    for line in stdout.splitlines():
        if found := _BENCHMARK.match(line):
            command = found.group(1).strip()
        elif found := _WARNING.match(line):
            first = found.group(1).split(". ")[0].rstrip(".")
            warnings.append(f"hyperfine, {command or 'a command'}: {first}")
    return warnings


def serial_warnings(rounds):
    """Warnings from the serial build's runs, given round by round (seconds)."""
    values = [v for r in rounds for v in r]
    median = statistics.median(values)
    warnings = []
    slow = sum(v > 2 * median for v in values) / len(values)
    if slow > SERIAL_SLOW_SHARE:
        warnings.append(f"{slow:.0%} of the serial build's runs took over twice its median "
                        f"(more than {SERIAL_SLOW_SHARE:.0%}): the machine was busy")
    means = [statistics.fmean(r) for r in rounds if r]
    spread = max(means) / min(means) - 1
    if spread > SERIAL_ROUND_SPREAD:
        warnings.append(f"the serial build's slowest round was {spread:.0%} slower than its "
                        f"fastest (more than {SERIAL_ROUND_SPREAD:.0%}): the machine's load "
                        f"changed during the run")
    return warnings
