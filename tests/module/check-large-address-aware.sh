#!/bin/sh
# usage: check-large-address-aware.sh <objdump> <program>
# The program must carry the PE flag that gives a 32-bit process more than 2 GB of address space.
set -eu
"$1" -p "$2" | grep -Eq '^[[:space:]]*large address aware$' || { echo "$2 is not large-address-aware"; exit 1; }
