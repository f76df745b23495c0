# SPDX-License-Identifier: MIT
"""Counts, per thread, the atomic updates of shared memory that a program's own code makes.

Run inside gdb, then call run():

    gdb -nx -batch -x count_combines.py -ex "python run(team=4)" --args PROGRAM

The program gets gdb's own environment, which the caller sets (the tests start
gdb through expect_run, which gives it only the runtime settings the case
names); only a library to preload is given to run(), since gdb would load it
into itself too.

On x86-64 every lock-free update of shared memory is an instruction with the
lock prefix. The script breaks on each such instruction in the executable's
own code (not the runtime's or the C library's), steps over it on the thread
that reached it, and sorts the outcome: a compare-and-swap that found the
value it expected (the zero flag set) is a successful update, one that found
another thread's value is a failed attempt that will be retried, and any other
locked instruction (an add, an exchange) always updates. It knows nothing of
how the program arranges its code: not the name of the function, not what is
updated, not whether the compiler or the programmer wrote the update.

It passes when exactly `team` threads made a successful update, each exactly
one, and the program exited with status 0. Failed attempts are counted and
reported, not held against the program: the debugger's stops make them common.
"""

import re
from collections import Counter

import gdb

ZERO_FLAG = 1 << 6


def program_text():
    """(start, end) of each .text range of the executable itself, once it is mapped."""
    files = gdb.execute("info files", to_string=True)
    # Lines for shared libraries end in "in /path"; the executable's have no "in".
    ranges = [(int(low, 16), int(high, 16))
              for low, high in re.findall(r"^\s*(0x[0-9a-f]+) - (0x[0-9a-f]+) is \.text$",
                                          files, re.M)]
    if not ranges:
        raise gdb.GdbError("no .text section of the executable was found")
    return ranges


def locked_instructions(ranges):
    """{address: mnemonic} of every lock-prefixed instruction in the ranges."""
    arch = gdb.selected_frame().architecture()
    found = {}
    for start, end in ranges:
        for insn in arch.disassemble(start, end - 1):
            words = insn["asm"].split()
            if words and words[0] == "lock":
                found[insn["addr"]] = words[1] if len(words) > 1 else "?"
    return found


def count(locked):
    """Runs the program until it asks to exit; the exit status and, per thread id, the
    successful updates and failed attempts."""
    updates = Counter()
    retries = Counter()
    stops = []
    gdb.events.stop.connect(stops.append)
    ours = {gdb.Breakpoint(f"*{address:#x}", internal=True) for address in locked}
    # The program is stopped, and killed, when it calls exit_group: gdb cannot
    # always follow dozens of threads that vanish at once.
    gdb.execute("catch syscall exit_group", to_string=True)
    exiting = gdb.breakpoints()[-1]
    while True:
        stops.clear()
        gdb.execute("continue", to_string=True)
        if gdb.selected_inferior().pid == 0:
            return None, updates, retries  # ended without exit_group: killed by a signal
        hit = stops[-1].breakpoints if stops and isinstance(stops[-1], gdb.BreakpointEvent) else []
        if exiting in hit:
            status = int(gdb.parse_and_eval("$rdi"))
            gdb.execute("kill", to_string=True)
            return status, updates, retries
        if not ours.intersection(hit):
            continue  # another stop, such as a signal the runtime uses
        pc = int(gdb.parse_and_eval("$pc"))
        thread = gdb.selected_thread().ptid[1]
        gdb.execute("stepi", to_string=True)  # only this thread moves: scheduler-locking
        flags = int(gdb.parse_and_eval("$eflags"))
        if locked[pc].startswith("cmpxchg") and not flags & ZERO_FLAG:
            retries[thread] += 1
        else:
            updates[thread] += 1


def run(team, preload=None):
    """Counts the updates of a run, with the library `preload` preloaded into the program if
    one is given, and quits gdb: status 0 if each of `team` threads made exactly one, 1
    otherwise."""
    gdb.execute("set startup-with-shell off")
    gdb.execute("set pagination off")
    gdb.execute("set confirm off")
    gdb.execute("set print thread-events off")
    if preload:
        gdb.execute(f"set environment LD_PRELOAD={preload}")
    gdb.execute("starti", to_string=True)
    gdb.execute("set scheduler-locking step")  # a step moves only the thread that stopped
    locked = locked_instructions(program_text())
    if not locked:
        print("count_combines: the program's code has no lock-prefixed instruction")
        gdb.execute("kill")
        gdb.execute("quit 1")

    exit_code, updates, retries = count(locked)
    print(f"locked instructions in the program: "
          + ", ".join(f"{mnemonic} at {address:#x}" for address, mnemonic in locked.items()))
    for thread in sorted(set(updates) | set(retries)):
        print(f"thread {thread}: {updates[thread]} update(s), {retries[thread]} failed "
              f"compare-and-swap attempt(s)")
    problems = []
    if exit_code != 0:
        problems.append(f"the program exited with status {exit_code}")
    if len(updates) != team:
        problems.append(f"{len(updates)} thread(s) updated shared memory, expected {team}")
    many = sorted(thread for thread, n in updates.items() if n != 1)
    if many:
        problems.append(f"thread(s) {many} updated more than once")
    if problems:
        print("FAILED: " + "; ".join(problems))
        gdb.execute("quit 1")
    print(f"{team} thread(s), one update each; "
          f"{sum(retries.values())} failed attempt(s) retried")
    gdb.execute("quit 0")
