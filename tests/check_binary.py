# SPDX-License-Identifier: MIT
"""Checks what the built program asks of the OpenMP runtime and the loader: tests/README.md,
What each group proves (runtime.imports); the hardening marks: packaging/README.md, Hardening.

Each check that can be off is named on or off: one left out or misspelt is a usage error
(status 2), so none is skipped by accident. Each problem found is printed, and the status is 1.
"""

import argparse
import re
import subprocess
import sys

# The partition is arithmetic on the team size and thread number, and the combine lock-free.
REQUIRED = ("GOMP_parallel", "omp_get_num_threads", "omp_get_thread_num")
FORBIDDEN = re.compile(r"(GOMP_(critical|atomic|(parallel_)?loop|barrier)|omp_\w*lock)\w*")
DF_BIND_NOW, DF_1_NOW, DF_1_PIE = 0x8, 0x1, 0x08000000


def run(*command):  # a tool that fails (not an ELF file, say) ends the check with a traceback
    return subprocess.run(command, check=True, stdout=subprocess.PIPE, text=True).stdout


def problems(args):
    program = args.program
    symbols = run(args.nm, "-D", "--undefined-only", program)
    imports = set(re.findall(r"^ +[Uw] (\w+)", symbols, re.M))
    found = [f"{program} does not import {symbol}" for symbol in REQUIRED if symbol not in imports]
    forbidden = ", ".join(sorted(filter(FORBIDDEN.fullmatch, imports)))
    if forbidden:
        found.append(f"{program} imports runtime synchronisation or scheduling: {forbidden}")

    # A double, long double or integer total prints the same line: only the code tells. The
    # total is widened to print it (cvtss2sd), so that conversion is allowed.
    code = run(args.objdump, "-d", "--no-show-raw-insn", program)
    additions = set(re.findall(r"\t(addss|addsd|cvtsi2sd)[lq]? ", code))
    if "addss" not in additions:
        found.append(f"{program} does not add in single precision (no addss)")
    double = ", ".join(sorted(additions - {"addss"}))
    if double:
        found.append(f"{program} adds in double precision: {double}")

    headers = run(args.objdump, "-p", program)
    needed = ", ".join(sorted(re.findall(r"^  NEEDED +(\S+)", headers, re.M)))
    if args.needed and needed != "libc.so.6, libgomp.so.1":
        found.append(f"{program} needs {needed}; expected exactly libc.so.6 and libgomp.so.1")

    if args.hardening:  # the dynamic section's FLAGS and FLAGS_1 entries, 0 when absent
        entries = re.findall(r"^  (FLAGS\w*) +(0x\w+)$", headers, re.M)
        flags = {"FLAGS": 0, "FLAGS_1": 0} | {name: int(value, 16) for name, value in entries}
        if not flags["FLAGS_1"] & DF_1_PIE:
            found.append(f"{program} is not a position-independent executable")
        # GNU ld's -z now sets both and -z lazy neither; either is taken, as the loader does.
        if not (flags["FLAGS"] & DF_BIND_NOW or flags["FLAGS_1"] & DF_1_NOW):
            found.append(f"{program} does not bind its symbols at start (BIND_NOW)")
        if not re.search(r"^ +RELRO off", headers, re.M):
            found.append(f"{program} has no GNU_RELRO segment")
        if "__stack_chk_fail" not in imports:
            found.append(f"{program} has no stack protector (it does not import __stack_chk_fail)")
    if args.fortify and "__printf_chk" not in imports:
        found.append(f"{program} does not print through the fortified __printf_chk")
    return found


parser = argparse.ArgumentParser(description=__doc__, allow_abbrev=False)
parser.add_argument("program")
parser.add_argument("--nm", required=True)
parser.add_argument("--objdump", required=True)
for check in ("needed", "hardening", "fortify"):
    parser.add_argument(f"--{check}", action=argparse.BooleanOptionalAction, required=True)
sys.exit("\n".join(problems(parser.parse_args())) or None)  # each problem, then status 1
