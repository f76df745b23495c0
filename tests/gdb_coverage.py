# SPDX-License-Identifier: MIT
"""Measures the Python that gdb runs (count_combines.py), for the coverage workflow: gdb
quits without Python's exit handlers, so the data is saved when the script asks to quit."""

import coverage
import gdb

measured = coverage.Coverage(data_file=coverage_file, data_suffix=True, branch=True)  # noqa: F821
measured.start()
gdb_execute = gdb.execute


def execute(command, *args, **kwargs):
    if command.startswith("quit"):
        measured.stop()
        measured.save()
    return gdb_execute(command, *args, **kwargs)


gdb.execute = execute
