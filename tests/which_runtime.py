#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Which OpenMP runtime COMMAND ran on (tests/README.md, The last line), as the loader and the
runtime say when run with LD_DEBUG=libs (the loader names the libgomp.so.1 it initialises),
OMP_DISPLAY_ENV=verbose (GNU libgomp lists its settings) and KMP_VERSION=1 (LLVM's libomp
prints its banner). Prints it, or why it is none, and exits 1 then or if it is not --expect.
"""

import argparse
import json
import os
import re
import signal
import subprocess
import sys


def package(file):
    """The Debian package that installed the file and its version, or "" (none did, or no dpkg)."""
    try:
        owner = subprocess.run(["dpkg-query", "--search", file], capture_output=True, text=True,
                               check=True).stdout.splitlines()[-1]  # after any diversion's line
    except (FileNotFoundError, subprocess.CalledProcessError):
        return ""
    name = owner.split(":")[0]
    version = subprocess.run(["dpkg-query", "--showformat=${Version}", "--show", name],
                             capture_output=True, text=True, check=False).stdout
    return f"Debian's {name} {version}"


def identify(status, text, command):
    """(facts, identity) of the runtime the output shows, or (None, why it shows none)."""
    loader = r"(?m)^ *[0-9]+:\t?"  # the loader's lines (LD_DEBUG) begin with its process id
    loaded = re.findall(loader + r"calling init: (.*/libgomp\.so\.1)$", text)
    tried = re.findall(loader + r"  trying file=(.*)$", text)
    other = [line for line in text.splitlines() if not re.match(loader, line)]
    if status > 0 and other and not re.search(loader + "transferring control: ", text):
        if "cannot open shared object file: No such file" in other[0]:
            return None, ("the loader finds no libgomp.so.1 on LD_LIBRARY_PATH or in the "
                          f"system's directories: {other[0]}")
        more = f" (and {len(other) - 1} more line(s) like it)" if len(other) > 1 else ""
        return None, f"the runtime does not load; the loader says: {other[0]}{more}"
    if not loaded:
        where = f"the last file the loader tried, {tried[-1]}" if tried else "its libraries"
        return None, (f"the program was killed by {signal.Signals(-status).name} while loading "
                      f"{where}: a truncated or damaged file?" if status < 0 else
                      f"{command} loaded no libgomp.so.1: was it built without OpenMP?")
    openmp = re.search(r"^ *_OPENMP ?= ?'([0-9]+)'", text, re.M)
    llvm = re.search(r"^LLVM OMP build compiler: (.*)$", text, re.M)
    if not openmp or not (llvm or re.search(r"^ *GOMP_SPINCOUNT = ", text, re.M)):
        return None, (f"{loaded[-1]} printed neither LLVM's libomp's banner nor GNU libgomp's "
                      "settings, with the OpenMP version: it is some other runtime")
    path, file = loaded[-1], os.path.realpath(loaded[-1])
    facts = {"path": path, "file": file, "runtime": "LLVM's libomp" if llvm else "GNU libgomp",
             "version": f"built by {llvm[1]}" if llvm else package(file), "openmp": openmp[1]}
    found = (f"{facts['runtime']} ({facts['version'] + ', ' if facts['version'] else ''}"
             f"_OPENMP {openmp[1]}) at {path}" + ("" if file == path else f" = {file}"))
    if status != 0:
        return None, f"the program on {found} ended with status {status}"
    return facts, found


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__)
    for option in ("--expect", "--facts", "--case"):
        parser.add_argument(option)
    parser.add_argument("command", nargs="+")
    args = parser.parse_args(argv)
    run = subprocess.run(args.command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                         stdin=subprocess.DEVNULL, check=False)
    facts, said = identify(run.returncode, run.stdout.decode(errors="replace"), args.command[-1])
    failed = not facts or args.expect not in (None, said)
    if facts and failed:
        said = (f"the program ran on {said}, but configuring found {args.expect or 'none'}: "
                "has LD_LIBRARY_PATH changed since? Configure again in this shell")
    print(said)
    if args.facts:
        os.makedirs(os.path.dirname(args.facts), exist_ok=True)
        with open(args.facts, "a", encoding="utf-8") as out:
            record = {"case": args.case, **(facts or {}), "error" if failed else "identity": said}
            out.write(json.dumps(record) + "\n")
    return int(failed)


if __name__ == "__main__":  # pragma: no cover (the cases run it; the self-tests call main)
    sys.exit(main(sys.argv[1:]))
