#!/usr/bin/env bash
# What a counting run pays at its end: the writer reads every counter once,
# merges with the data file already there and renames the result into place.
# A program of many small functions (tens of thousands of blocks, each run
# once) is timed natively, counted with its data directory blocked (a plain
# file in its place, so nothing is written), counted on fresh data, and
# counted again so that each run merges. Merging less blocked is the write.
# Usage: bench/data_write.sh [install-prefix] [runs] [functions]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
source "$root/bench/timing.sh"
prefix=$(cd "${1:-$root/build/stage}" && pwd)
runs=${2:-3}
functions=${3:-20000}
engine=$prefix/lib/compilers/morphel
auditor=$prefix/lib/compilers/amd64/ryndl.so

work=$(mktemp -d /tmp/ryn_bench.XXXXXX)
trap 'rm -rf "$work"' EXIT
cd "$work"

{
  echo '#include <stdio.h>'
  for i in $(seq 1 "$functions"); do
    echo "int f$i(int x) { if (x & 1) return x * 3; return x + $i; }"
  done
  echo 'int (*const table[])(int) = {'
  for i in $(seq 1 "$functions"); do echo "  f$i,"; done
  echo '};'
  echo 'int main(void) {'
  echo '  int s = 0;'
  echo '  for (unsigned i = 0; i < sizeof table / sizeof table[0]; ++i) s += table[i]((int)i);'
  echo '  printf("%d\n", s);'
  echo '  return 0;'
  echo '}'
} > many.c
cc -O0 -g -o native many.c
"$engine" -ryn -xkalfix=instrument:./data -add_depaudit="$auditor" -o counted native

n=$(best_time "$runs" ./native); expected=$(cat out.txt)
touch data
blocked=$(best_time "$runs" ./counted); [ "$(cat out.txt)" = "$expected" ] || { echo "counted output differs" >&2; exit 1; }
rm -f data
fresh=$(best_time 1 ./counted)
merged=$(best_time "$runs" ./counted)
grep -q '^counts exact$' data/*.instrdata || { echo "the counted run left no exact data" >&2; exit 1; }
blocks=$(awk '/^blocks /{print $2}' data/*.instrdata)
printf '%d blocks, %s bytes of data, best of %d: native %.3f s, counted without writing %.3f s, on fresh data %.3f s, merging %.3f s (the write: %.3f s)\n' \
  "$blocks" "$(stat -c %s data/*.instrdata)" "$runs" "$n" "$blocked" "$fresh" "$merged" \
  "$(awk -v a="$merged" -v b="$blocked" 'BEGIN { printf "%.3f", a - b }')"
