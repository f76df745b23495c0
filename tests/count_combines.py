# SPDX-License-Identifier: MIT
"""Follows every atomic update of shared memory that a program's own code makes.

Run inside gdb, then call run():

    gdb -nx -batch -x count_combines.py -ex "python run(team=4)" --args PROGRAM

The program gets gdb's own environment, which the caller sets (the tests start
gdb through expect_run, which gives it only the runtime settings the case
names); only a library to preload is given to run(), since gdb would load it
into itself too.

On x86-64 every lock-free update of shared memory is an instruction with the
lock prefix. The script breaks on each such instruction in the executable's
own code (not the runtime's or the C library's) and steps over it on the
thread that reached it, alone. For `lock cmpxchg %reg,(mem)` it reads the
values from the registers: the total the thread read and expects to find is in
the accumulator (eax, or rax for eight bytes), the value it swaps in is in the
source register, and after the step the zero flag tells whether the swap
succeeded and the accumulator holds what the memory held. Four-byte values are
taken as single precision, eight-byte ones as double. Any other locked
instruction (an add, an exchange) is reported and counted as an update whose
values cannot be followed, which fails the run: the chain cannot be shown. The
script knows nothing of how the program arranges its code: not the name of the
function, not where the total is, not whether the compiler or the programmer
wrote the update.

It prints each update in the order they happened, then the chain of totals and
each thread's count, and passes when the program exited with status 0 and

- exactly `team` threads made a successful update, each exactly one;
- the partials they added are, as a multiset, those of the static schedule of
  1000 iterations on `team` threads (or, with `faked=(T, t)`, thread t's alone
  of a team of T: the interposer's team);
- the successful swaps form one chain from 0, each reading the value the one
  before swapped in, to the sum of those partials (499500 for a real team);
- every failed swap is retried, by the same thread, from the value it found
  and with the same partial.

Failed swaps are not held against the program: the debugger's stops make them
common. A program that makes more than twice `team` successful updates is
killed there and fails: following one update an iteration would take seconds.
"""

import re
import struct
from collections import Counter

import gdb

ITERATIONS = 1000
ZERO_FLAG = 1 << 6
FLOAT_FORMATS = {4: "<f", 8: "<d"}


def static_partials(team, threads):
    """The partial sums of `threads` under the static schedule of ITERATIONS on `team`."""
    q, r = divmod(ITERATIONS, team)
    partials = []
    for t in threads:
        first = t * q + min(t, r)
        count = q + 1 if t < r else q
        partials.append(sum(range(first, first + count)))
    return partials


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
    """{address: instruction text} of every lock-prefixed instruction in the ranges."""
    arch = gdb.selected_frame().architecture()
    found = {}
    for start, end in ranges:
        for insn in arch.disassemble(start, end - 1):
            if insn["asm"].split()[:1] == ["lock"]:
                found[insn["addr"]] = " ".join(insn["asm"].split())
    return found


def register(name, size):
    """The bit pattern of a register's low `size` bytes."""
    return int(gdb.parse_and_eval(f"${name}")) & ((1 << 8 * size) - 1)


def as_float(bits, size):
    return struct.unpack(FLOAT_FORMATS[size], bits.to_bytes(size, "little"))[0]


def step_over(instruction):
    """Steps the selected thread over a locked instruction; a dict of what it did."""
    swap = re.fullmatch(r"lock cmpxchg[lq]? %(\w+),.*", instruction)
    size = gdb.parse_and_eval(f"${swap[1]}").type.sizeof if swap else 0
    if size not in FLOAT_FORMATS:
        gdb.execute("stepi", to_string=True)
        return {"instruction": instruction, "succeeds": True}
    accumulator = "eax" if size == 4 else "rax"
    reads = as_float(register(accumulator, size), size)
    swaps_in = as_float(register(swap[1], size), size)
    gdb.execute("stepi", to_string=True)  # only this thread moves: scheduler-locking
    return {"reads": reads, "partial": swaps_in - reads, "swaps in": swaps_in,
            "finds": as_float(register(accumulator, size), size),
            "succeeds": bool(int(gdb.parse_and_eval("$eflags")) & ZERO_FLAG)}


def trace(locked, most):
    """Runs the program until it asks to exit, or kills it at its update number `most` + 1;
    its exit status (None if it was killed by a signal, "stopped" if by this script) and the
    updates, in order, each with the number gdb gives its thread."""
    updates = []
    successes = 0
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
            return None, updates  # ended without exit_group: killed by a signal
        hit = stops[-1].breakpoints if stops and isinstance(stops[-1], gdb.BreakpointEvent) else []
        if exiting in hit:
            status = int(gdb.parse_and_eval("$rdi"))
            gdb.execute("kill", to_string=True)
            return status, updates
        if ours.intersection(hit):  # not another stop, such as a signal the runtime uses
            thread = gdb.selected_thread().num
            update = step_over(locked[int(gdb.parse_and_eval("$pc"))])
            updates.append({"thread": thread, **update})
            successes += update["succeeds"]
            if successes > most:
                gdb.execute("kill", to_string=True)
                return "stopped", updates


def number(value):
    return f"{value:.0f}" if float(value).is_integer() else repr(value)


def listed(values, most=8):
    values = sorted(values.elements())
    shown = ", ".join(number(value) for value in values[:most]) or "none"
    return shown + (f" … ({len(values)} in all)" if len(values) > most else "")


def report(updates):
    """Prints the updates in order and the chain of totals; the problems found in them."""
    problems = []
    unfollowed = Counter()
    columns = ("thread", "reads", "partial", "swaps in", "finds")
    print("  ".join(f"{name:>8}" for name in columns) + "  outcome")
    for index, update in enumerate(updates):
        if "reads" not in update:
            print(f"{update['thread']:>8}  {update['instruction']}: not a compare-and-swap; "
                  f"an update whose values cannot be followed")
            unfollowed[update["instruction"]] += 1
            continue
        outcome = "succeeds"
        if not update["succeeds"]:
            retry = next((later for later in updates[index + 1:]
                          if later["thread"] == update["thread"]), {})
            if retry.get("reads") == update["finds"] and retry["partial"] == update["partial"]:
                outcome = "fails, retried"
            else:
                outcome = "fails, not retried from what it found"
                problems.append(f"thread {update['thread']} did not retry its failed swap "
                                f"from {number(update['finds'])} with the same partial")
        print(f"{update['thread']:>8}  "
              + "  ".join(f"{number(update[name]):>8}" for name in columns[1:])
              + f"  {outcome}")

    problems += [f"{n} update(s) by `{instruction}`, whose values cannot be followed"
                 for instruction, n in unfollowed.items()]
    swaps = [update for update in updates if "reads" in update and update["succeeds"]]
    totals = [0.0] + [swap["swaps in"] for swap in swaps]
    print("totals: " + " → ".join(number(total) for total in totals))
    for swap, before in zip(swaps, totals):
        if swap["reads"] != before:
            problems.append(f"thread {swap['thread']} swapped in {number(swap['swaps in'])} "
                            f"reading {number(swap['reads'])} where the total was {number(before)}")
    return problems, totals[-1], Counter(swap["partial"] for swap in swaps)


def run(team, preload=None, faked=None):
    """Follows the updates of a run, with the library `preload` preloaded into the program if
    one is given, and quits gdb: status 0 if they are as the module's description says, 1
    otherwise. `faked=(T, t)`: the program's one thread is told it is thread t of T."""
    gdb.execute("set startup-with-shell off")
    gdb.execute("set pagination off")
    gdb.execute("set confirm off")
    gdb.execute("set print thread-events off")
    gdb.execute("set suppress-cli-notifications on")
    gdb.execute("set disassembly-flavor att")
    if preload:
        gdb.execute(f"set environment LD_PRELOAD={preload}")
    # Stop once the executable is mapped, before any library has run: at the
    # first shared-library event, which, unlike starti, prints nothing.
    gdb.execute("set stop-on-solib-events 1")
    gdb.execute("run", to_string=True)
    gdb.execute("set stop-on-solib-events 0")
    gdb.execute("set scheduler-locking step")  # a step moves only the thread that stopped
    locked = locked_instructions(program_text())
    print("locked instructions in the program: "
          + (", ".join(f"{text} at {address:#x}" for address, text in locked.items()) or "none"))

    # A program that updates far more often than once a thread (once an iteration, say)
    # is stopped early: following a thousand updates under gdb takes seconds.
    most = 2 * team
    exit_code, updates = trace(locked, most)
    problems, total, partials = report(updates)
    counts = Counter(update["thread"] for update in updates if update["succeeds"])
    failures = Counter(update["thread"] for update in updates if not update["succeeds"])
    for thread in sorted(set(counts) | set(failures)):
        print(f"thread {thread}: {counts[thread]} update(s), {failures[thread]} failed "
              f"compare-and-swap attempt(s)")

    team_size, threads = (faked[0], [faked[1]]) if faked else (team, range(team))
    expected = Counter(static_partials(team_size, threads))
    many = sorted((thread, n) for thread, n in counts.items() if n != 1)
    if exit_code == "stopped":  # what it left unfinished is no fault of its own
        problems = [f"stopped at update {most + 1}, more than twice the team's"]
    else:
        if exit_code != 0:
            problems.append(f"the program exited with status {exit_code}")
        if len(counts) != team:
            problems.append(f"{len(counts)} thread(s) updated shared memory, expected {team}")
        if total != sum(expected.elements()):
            problems.append(f"the totals end at {number(total)}, not {sum(expected.elements())}")
        if partials != expected:
            problems.append(f"the partials added are not the static schedule's: "
                            f"{listed(partials - expected)} added, "
                            f"{listed(expected - partials)} missing")
    if many:
        problems.append("thread(s) updated more than once: "
                        + ", ".join(f"{thread} ({n} times)" for thread, n in many))
    if problems:
        print("FAILED: " + "; ".join(problems))
        gdb.execute("quit 1")
    print(f"{team} thread(s), one update each, from 0 to {number(total)}; "
          f"{sum(failures.values())} failed swap(s) retried")
    gdb.execute("quit 0")
