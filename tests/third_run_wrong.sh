#!/bin/sh
# SPDX-License-Identifier: MIT
# A program that prints the right line twice, then a wrong one: the run it is
# on is counted in the file $1, which the caller removes first.
n=$(($(cat "$1" 2>/dev/null || echo 0) + 1))
echo "$n" >"$1"
if [ "$n" -lt 3 ]; then echo "sum = 499500.000000"; else echo "sum = 0.000000"; fi
