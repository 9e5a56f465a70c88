#!/usr/bin/env bash
# What exact counts cost. The compute-bound program bench/compute.c,
# at -O0 and at -O2, timed side by side: native; instrumented and run the
# counting way (every execution of every block and branch counted); the same
# copy run the coverage way (a run-information record naming zentor: one
# trap per block, the first time only); and built with gcc --coverage. Every
# run must print what the native one prints. The last column is the share
# of the copy's patch sites that trap instead of jumping to a trampoline,
# from its "counting <jumps> <traps> <uncounted>" setting: traps cost a
# signal each, so a high share explains a slow counting run; a run over the
# time limit is shown as such instead of holding up the rest.
# Usage: bench/counting_overhead.sh [install-prefix] [runs] [million-steps] [limit-seconds]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
source "$root/bench/timing.sh"
prefix=$(cd "${1:-$root/build/stage}" && pwd)
runs=${2:-3}
steps=${3:-100}
limit=${4:-120}
engine=$prefix/lib/compilers/morphel
auditor=$prefix/lib/compilers/amd64/ryndl.so

work=$(mktemp -d /tmp/ryn_bench.XXXXXX)
trap 'rm -rf "$work"' EXIT
cd "$work"

cp "$root/bench/compute.c" .
echo "1 zentor" > zentor.ryninfo

# The settings line of a copy's probe table, or nothing.
counting_setting() {
  objcopy -O binary --only-section=.ryn_probes "$1" probes.bin 2>/dev/null || return 0
  tr '\0' '\n' < probes.bin | grep -a -m1 '^counting ' || true
}

# Times COMMAND... and checks that it printed what the native program did;
# "over" when it ran past the limit.
timed() {
  local t
  t=$(best_time "$runs" timeout "$limit" "$@")
  if awk -v t="$t" -v l="$limit" 'BEGIN { exit !(t >= l) }'; then echo over; return; fi
  [ "$(cat out.txt)" = "$expected" ] || { echo "$* printed something else" >&2; exit 1; }
  echo "$t"
}

# One cell of the table: seconds and the ratio to native N.
cell() {
  if [ "$1" = over ]; then printf '%20s' ">${limit}s (over)"; return; fi
  printf '%11.3fs (%5.2fx)' "$1" "$(ratio "$1" "$2")"
}

printf '%-4s %9s %20s %20s %20s %11s\n' opt native "counting (x)" "coverage way (x)" "gcc --coverage (x)" "trap sites"
for opt in -O0 -O2; do
  cc $opt -g -fno-inline -o native compute.c
  cc $opt -g -fno-inline --coverage -o gcov compute.c
  "$engine" -ryn -xkalfix=instrument:./data -add_depaudit="$auditor" -o counting native
  "$engine" -ryn -xkalfix=instrument:./data -add_depaudit="$auditor" -ryninfo=zentor.ryninfo \
    -o coverage native

  n=$(best_time "$runs" ./native "$steps"); expected=$(cat out.txt)
  rm -rf data; c=$(timed ./counting "$steps")
  if [ "$c" != over ]; then
    ls data/*.instrdata > /dev/null || { echo "the counting run left no data" >&2; exit 1; }
    grep -q '^counts exact$' data/*.instrdata || echo "note: the counting run recorded runs, not executions" >&2
  fi
  rm -rf data; z=$(timed ./coverage "$steps")
  g=$(timed ./gcov "$steps")

  read -r _ jumps traps _ <<< "$(counting_setting counting)" || true
  if [ -n "${jumps:-}" ] && [ $((jumps + traps)) -gt 0 ]; then
    share=$(awk -v t="$traps" -v j="$jumps" 'BEGIN { printf "%.1f%%", 100 * t / (t + j) }')
  else
    share="n/a"
  fi
  printf '%-4s %8.3fs %s %s %s %11s\n' "$opt" "$n" "$(cell "$c" "$n")" "$(cell "$z" "$n")" \
    "$(cell "$g" "$n")" "$share"
  unset jumps traps
done
echo "best of $runs runs of $steps million steps each"
