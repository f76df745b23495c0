#!/bin/sh
# SPDX-License-Identifier: MIT
# A program that prints the right line twice, then a wrong one: the run it is
# on is counted in a file in the directory $1 named after the runner, its parent.
runs="$1/runs.$PPID"
n=$(($(cat "$runs" 2>/dev/null || echo 0) + 1))
echo "$n" >"$runs"
if [ "$n" -lt 3 ]; then echo "sum = 499500.000000"; else rm "$runs"; echo "sum = 0.000000"; fi
