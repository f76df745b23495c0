# SPDX-License-Identifier: MIT
"""The parts of run_bench.py, one job to a module: configs (what is run), running (building
and timing), records (region_timer's records), stats (summaries), noise (warnings about the
machine), tables, export_csv, figures, readme and files (where results are written)."""
