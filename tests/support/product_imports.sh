#!/bin/sh
# Writes the names of the functions that the given static libraries leave undefined, one a
# line, without the import prefix and the i386 decoration ("__imp__CreateFileW@28" and
# "_CreateFileW@28" become "CreateFileW"). The fault injection patches those of them that
# the test executable imports from a system library.
# Usage: product_imports.sh NM OUTPUT LIBRARY...
set -eu
nm=$1 out=$2
shift 2
"$nm" -u "$@" | awk 'NF == 2 { print $2 }' | sed -e 's/^__imp_//' -e 's/@[0-9]*$//' |
  if [ "$(printf '%s' "$nm" | grep -c i686)" = 1 ]; then sed 's/^_//'; else cat; fi | sort -u >"$out.tmp"
mv "$out.tmp" "$out"
