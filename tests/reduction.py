# SPDX-License-Identifier: MIT
"""The static schedule's block of each thread and the rules of a chain of compare-and-swaps,
written once for every check and picture that needs them. `reduction.py T:t ...` prints
"T:t:partial" for each pair, one a line: the partition cases' expected sums.
"""

import sys

ITERATIONS = 1000
TOTAL = ITERATIONS * (ITERATIONS - 1) // 2


def block(team, thread):
    """Thread `thread`'s iterations under the static schedule on a team of `team`, as
    doc/how-it-works.md (Which thread adds which numbers) gives them."""
    q, r = divmod(ITERATIONS, team)
    first = thread * q + min(thread, r)
    return range(first, first + q + (thread < r))


def partial(team, thread):
    return sum(block(team, thread))


def play(swaps):
    """Plays compare-and-swaps, in the order they happened, against a total that starts at 0.
    Each swap is a dict with "thread", "reads", "partial", "swaps in", "finds" and "succeeds".
    A swap swaps in what it read plus its partial, reads a value the total has held, finds
    what the total holds at that moment, and succeeds exactly when that is what it read; a
    failed swap is retried by the same thread, from what it found, with the same partial.
    Returns the totals the successful swaps wrote (from 0) and the rules broken, in words."""
    totals, problems = [0], []
    for index, swap in enumerate(swaps):
        who = f"thread {swap['thread']}"
        if swap["swaps in"] != swap["reads"] + swap["partial"]:
            problems.append(f"{who} swaps in {swap['swaps in']}, not {swap['reads']} + "
                            f"{swap['partial']}")
        if swap["reads"] not in totals:
            problems.append(f"{who} reads {swap['reads']}, which the total never held")
        if swap["finds"] != totals[-1]:
            problems.append(f"{who} finds {swap['finds']} where the total holds {totals[-1]}")
        if swap["succeeds"] != (swap["finds"] == swap["reads"]):
            problems.append(f"{who}'s swap {'succeeds' if swap['succeeds'] else 'fails'}, "
                            f"though it finds {swap['finds']} and read {swap['reads']}")
        if swap["succeeds"]:
            totals.append(swap["swaps in"])
            continue
        retry = next((s for s in swaps[index + 1:] if s["thread"] == swap["thread"]), {})
        if (retry.get("reads"), retry.get("partial")) != (swap["finds"], swap["partial"]):
            problems.append(f"{who} does not retry its failed swap from {swap['finds']} "
                            f"with the same partial")
    return totals, problems


if __name__ == "__main__":
    for pair in sys.argv[1:]:
        team, thread = map(int, pair.split(":"))
        print(f"{team}:{thread}:{partial(team, thread)}")
