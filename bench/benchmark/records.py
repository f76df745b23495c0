# SPDX-License-Identifier: MIT
"""region_timer's record of a run (its format: region_timer.c), and the phases of the run it
gives."""

from . import BenchError

# Phases of a run in order: (key, label). They add up to the whole run.
PHASES = [("startup", "start-up"), ("team_start", "team start"), ("body", "body"),
          ("region_end", "end of region"), ("after", "after")]


def parse(text, spawned, reaped):
    """Phases in seconds, and the threads timed, of a run spawned and reaped at these ns."""
    lines = text.splitlines()
    if len(lines) != 1:
        raise BenchError(f"expected one region_timer record, found {len(lines)}")
    try:
        fields = [int(f) for f in lines[0].split()]
    except ValueError:
        raise BenchError(f"region_timer record is not numbers: {lines[0][:60]!r}") from None
    if len(fields) < 4:
        raise BenchError("region_timer record is cut short")
    start, done, team, timed = fields[:4]
    if len(fields) != 4 + 2 * timed or timed < 0:
        raise BenchError(f"region_timer record has {len(fields)} fields, "
                          f"not {4 + 2 * max(timed, 0)} for {timed} threads")
    if timed < team:
        raise BenchError(f"region_timer timed {timed} of {team} threads")
    if team < 1 or not spawned <= start <= done <= reaped:
        raise BenchError("region_timer record does not fit inside the run")
    spans = list(zip(fields[4::2], fields[5::2]))
    for thread, (enter, leave) in enumerate(spans):
        if enter < 0 or leave < enter or start + leave > done:
            raise BenchError(f"thread {thread} of {team} has no span inside the region")
    last_enter, last_leave = (max(span[i] for span in spans) for i in (0, 1))
    return {"startup": (start - spawned) / 1e9, "team_start": last_enter / 1e9,
            "body": (last_leave - last_enter) / 1e9,
            "region_end": (done - start - last_leave) / 1e9, "after": (reaped - done) / 1e9,
            "threads": len(spans)}
