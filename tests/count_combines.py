# SPDX-License-Identifier: MIT
"""Follows every atomic update of shared memory that a program's own code makes; what it checks,
and why: tests/README.md, "Counting the combines".

    gdb -nx -batch -x count_combines.py -ex "python run(team=4)" --args PROGRAM

The program gets gdb's environment; a library to preload is given to run() instead, as gdb
would load it into itself too. For a four-byte `lock cmpxchg %reg,(mem)` it reads, as single
precision, what the thread read and expects (eax) and swaps in (the source register); after
the step the zero flag says whether it succeeded and eax holds what memory held. Any other
locked instruction is an update whose values cannot be followed.
"""

import os
import re
import signal
import struct
import sys
from collections import Counter

import gdb

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import reduction  # noqa: E402  (found beside this script, once its directory is on the path)

class Number(float):
    """A value read from the program, written as a whole number when it is one."""

    def __str__(self):
        return f"{self:.9g}"  # nine digits tell any two single-precision values apart


def locked_instructions():
    """{address: text} of each lock-prefixed instruction in the executable's own .text."""
    arch = gdb.selected_frame().architecture()
    # Lines for shared libraries end in "in /path"; the executable's have no "in".
    ranges = re.findall(r"^\s*(0x[0-9a-f]+) - (0x[0-9a-f]+) is \.text$",
                        gdb.execute("info files", to_string=True), re.M)
    return {insn["addr"]: " ".join(insn["asm"].split()) for low, high in ranges
            for insn in arch.disassemble(int(low, 16), int(high, 16) - 1)
            if insn["asm"].split()[:1] == ["lock"]}


def single(register):
    """A four-byte register's bits as a single-precision value."""
    bits = int(gdb.parse_and_eval(f"${register}")) & 0xFFFFFFFF
    return Number(struct.unpack("<f", bits.to_bytes(4, "little"))[0])


def step_over(instruction):
    """Steps the selected thread over a locked instruction; a dict of what it did."""
    swap = re.fullmatch(r"lock cmpxchgl? %(e[a-z]{2}|r[0-9]+d),.*", instruction)
    if not swap:
        gdb.execute("stepi", to_string=True)
        return {"instruction": instruction, "succeeds": True}
    reads, swaps_in = single("eax"), single(swap[1])
    gdb.execute("stepi", to_string=True)
    return {"reads": reads, "partial": Number(swaps_in - reads), "swaps in": swaps_in,
            "finds": single("eax"),
            "succeeds": bool(int(gdb.parse_and_eval("$eflags")) & 1 << 6)}  # the zero flag


def trace(locked, most):
    """Runs the program until it exits, or kills it at successful update `most` + 1; how it
    ended (None: killed so) and the updates in order, with each thread's OpenMP and gdb number."""
    updates, names, stops, successes = [], {}, [], 0
    gdb.events.stop.connect(stops.append)
    for address in locked:
        gdb.Breakpoint(f"*{address:#x}", internal=True)
    # Killed at exit_group (exit() and _exit()): gdb cannot always follow dozens of
    # threads that vanish at once.
    gdb.execute("catch syscall exit_group", to_string=True)
    exiting = gdb.breakpoints()[-1]
    while True:
        stops.clear()
        gdb.execute("continue", to_string=True)
        if gdb.selected_inferior().pid == 0:  # it ended without exit_group: by SIGKILL
            killer = signal.Signals(int(gdb.parse_and_eval("$_exitsignal")))
            return f"was killed by {killer.name}", updates
        # Ended at a signal too: a team a signal kills vanishes while gdb reads its
        # registers, and no signal is one the program should survive.
        if isinstance(stops[-1], gdb.SignalEvent):
            ending = f"received {stops[-1].stop_signal}"
        elif exiting in stops[-1].breakpoints:
            ending = f"exited with status {int(gdb.parse_and_eval('$rdi'))}"
        else:  # at one of the locked instructions
            thread = gdb.selected_thread().num
            if thread not in names:  # its OpenMP number, asked while no other thread moves
                gdb.execute("set scheduler-locking on")
                names[thread] = int(gdb.parse_and_eval("((int (*)(void)) omp_get_thread_num)()"))
                gdb.execute("set scheduler-locking step")
            update = step_over(locked[int(gdb.parse_and_eval("$pc"))])
            updates.append({"thread": names[thread], "gdb": thread, **update})
            successes += update["succeeds"]
            if successes <= most:
                continue
            ending = None
        gdb.execute("kill", to_string=True)
        return ending, updates


def report(updates):
    """Prints the updates and the chain of totals; the last total and the rules broken."""
    columns = ("thread", "gdb", "reads", "partial", "swaps in", "finds")
    print("  ".join(f"{name:>8}" for name in columns) + "  outcome")
    for update in updates:
        named = f"{update['thread']:>8}  {update['gdb']:>8}"
        if "reads" in update:
            print(named + "".join(f"  {str(update[name]):>8}" for name in columns[2:])
                  + f"  {'succeeds' if update['succeeds'] else 'fails'}")
        else:
            print(f"{named}  {update['instruction']}: not a compare-and-swap; "
                  f"an update whose values cannot be followed")
    unfollowed = Counter(update["instruction"] for update in updates if "reads" not in update)
    totals, problems = reduction.play([update for update in updates if "reads" in update])
    print("totals: " + " → ".join(str(total) for total in totals))
    return totals[-1], problems + [f"{n} update(s) by `{instruction}`, whose values cannot "
                                   f"be followed" for instruction, n in unfollowed.items()]


def run(team, preload=None, faked=None):
    """Follows a run (with `preload` preloaded) and quits gdb: 0 if it passes, 1 if not.
    faked=(T, t): the program's one thread is thread t of the interposer's team of T."""
    for setting in ("startup-with-shell off", "print thread-events off",  # -batch: no paging or y/n
                    "suppress-cli-notifications on", "disassembly-flavor att"):
        gdb.execute(f"set {setting}")
    if preload:
        gdb.execute(f"set environment LD_PRELOAD={preload}")
    # Stop once the executable is mapped, before any library has run: at the first
    # shared-library event, which, unlike starti, prints nothing.
    gdb.execute("set stop-on-solib-events 1")
    gdb.execute("run", to_string=True)
    gdb.execute("set stop-on-solib-events 0")
    gdb.execute("set scheduler-locking step")  # a step moves only the thread that stopped
    locked = locked_instructions()
    print("locked instructions in the program: "
          + ", ".join(f"{text} at {address:#x}" for address, text in locked.items()))
    ending, updates = trace(locked, 2 * team)
    total, problems = report(updates)
    counts = Counter((u["thread"], u["gdb"]) for u in updates if u["succeeds"])
    failures = Counter((u["thread"], u["gdb"]) for u in updates if not u["succeeds"])
    for thread, number in sorted(set(counts) | set(failures)):
        print(f"thread {thread} (gdb {number}): {counts[thread, number]} update(s), "
              f"{failures[thread, number]} failed compare-and-swap attempt(s)")
    team_size, threads = (faked[0], [faked[1]]) if faked else (team, range(team))
    blocks = {thread: reduction.partial(team_size, thread) for thread in threads}
    numbers = sorted(thread for thread, _ in counts)
    if ending is None:  # what it left unfinished is no fault of its own
        problems = [f"stopped at update {sum(counts.values())}, more than twice the team's"]
    else:
        if ending != "exited with status 0":
            problems.append(f"the program {ending}")
        if numbers != list(blocks):
            problems.append(f"{len(numbers)} thread(s) updated shared memory "
                            f"({', '.join(map(str, numbers))}), expected {len(blocks)} "
                            f"({', '.join(map(str, blocks))})")
        problems += [f"thread {u['thread']} (gdb {u['gdb']}) added {u['partial']}, not its "
                     f"block's {blocks[u['thread']]}" for u in updates if u["succeeds"] and "reads"
                     in u and u["thread"] in blocks and u["partial"] != blocks[u["thread"]]]
    many = [f"{thread} ({n} times)" for (thread, _), n in sorted(counts.items()) if n != 1]
    problems += ["thread(s) updated more than once: " + ", ".join(many)] * bool(many)
    if problems:
        print("FAILED: " + "; ".join(problems))
        gdb.execute("quit 1")
    print(f"{team} thread(s), one update each, from 0 to {total}; "
          f"{sum(failures.values())} failed swap(s) retried")
    gdb.execute("quit 0")
