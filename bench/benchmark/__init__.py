# SPDX-License-Identifier: MIT
"""The parts of run_bench.py: configs (what is run), running (building and timing), records
(region_timer's records), stats (from runs to summaries), report (tables and sentences),
figures, and output (where the results are written)."""


class BenchError(Exception):
    """A failure that ends the run; its text is printed as run_bench's one line on stderr."""
