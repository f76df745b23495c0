# SPDX-License-Identifier: MIT
"""The parts of run_bench.py: configs, running, records, stats, report, figures, output."""


class BenchError(Exception):
    """A failure that ends the run; its text is printed as run_bench's one line on stderr."""
