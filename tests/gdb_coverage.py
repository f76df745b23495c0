# SPDX-License-Identifier: MIT
"""Measures the Python that gdb runs (count_combines.py), for the coverage workflow: gdb exits
without Python's exit handlers, so the data is saved at gdb's own exit event."""

import coverage
import gdb

measured = coverage.Coverage(data_file=coverage_file, data_suffix=True, branch=True)  # noqa: F821
measured.start()
gdb.events.gdb_exiting.connect(lambda _event: measured.save())
