# SPDX-License-Identifier: MIT
"""The one kind of failure the benchmark reports: a sentence for the user, no traceback."""


class BenchError(Exception):
    """A failure that ends the run; its text is printed as run_bench's one line on stderr."""
