# SPDX-License-Identifier: MIT
"""The results as CSV: every run (runs.csv) and the summary of each configuration
(summary.csv), each after a header block of "# key: value" lines that records the machine,
the settings and any noise warning."""

import csv
import io

from .records import PHASES
from .tables import clusters_cell

RUN_FIELDS = ["source", "runtime", "threads", "setting", "timer", "round", "wall_us", "cpu_us",
              "voluntary_cs", "involuntary_cs"] + [f"{key}_us" for key, _ in PHASES]
SUMMARY_FIELDS = ["source", "runtime", "threads", "setting", "runs", "p10_ms", "median_ms",
                  "p90_ms", "mean_ms", "mean_ci_low_ms", "mean_ci_high_ms", "mean_over_serial",
                  "clusters", "share_above_2x_serial_median"]


def header(meta, warnings):
    lines = [f"# {key}: {value}" for key, value in meta.items()]
    lines += [f"# warning: {w}" for w in warnings]
    return "\n".join(lines) + "\n"


def _us(seconds):
    return "" if seconds is None else f"{seconds * 1e6:.1f}"


def runs_csv(meta, warnings, samples):
    out = io.StringIO(newline="")
    out.write(header(meta, warnings))
    writer = csv.DictWriter(out, fieldnames=RUN_FIELDS, lineterminator="\n")
    writer.writeheader()
    for s in samples:
        config, phases = s["config"], s["phases"] or {}
        row = {"source": s["source"], "runtime": config.runtime, "threads": config.threads,
               "setting": config.setting, "timer": "yes" if s["timer"] else "no",
               "round": s["round"], "wall_us": _us(s["wall"]), "cpu_us": _us(s["cpu"]),
               "voluntary_cs": "" if s["nvcsw"] is None else s["nvcsw"],
               "involuntary_cs": "" if s["nivcsw"] is None else s["nivcsw"]}
        row.update({f"{key}_us": _us(phases.get(key)) for key, _ in PHASES})
        writer.writerow(row)
    return out.getvalue()


def summary_csv(meta, warnings, results):
    out = io.StringIO(newline="")
    out.write(header(meta, warnings))
    writer = csv.DictWriter(out, fieldnames=SUMMARY_FIELDS, lineterminator="\n")
    writer.writeheader()
    for source, summaries in (("spawn", results.whole), ("hyperfine", results.hyperfine)):
        for config in results.configs:
            if config.name not in summaries:
                continue
            s = summaries[config.name]
            row = {"source": source, "runtime": config.runtime, "threads": config.threads,
                   "setting": config.setting, "runs": s.runs,
                   "mean_over_serial": f"{results.ratio[config.name][0]:.4f}"
                   if source == "spawn" else "",
                   "clusters": clusters_cell(s.clusters),
                   "share_above_2x_serial_median": f"{s.share_slow:.4f}"}
            for key in ("p10", "median", "p90", "mean"):
                row[f"{key}_ms"] = f"{getattr(s, key) * 1e3:.4f}"
            row["mean_ci_low_ms"] = f"{s.mean_low * 1e3:.4f}"
            row["mean_ci_high_ms"] = f"{s.mean_high * 1e3:.4f}"
            writer.writerow(row)
    return out.getvalue()
