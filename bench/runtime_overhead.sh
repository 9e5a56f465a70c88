#!/usr/bin/env bash
# Coverage probes cost one trap each, the first time a block runs; afterwards
# the code is the original. A compute-bound program (over a second natively)
# is timed side by side: native, instrumented by the engine and run the
# coverage way (a run-information record naming zentor, as the coverage front
# end writes it), and built with gcc --coverage. The instrumented run should
# stay within 5% of native. counting_overhead.sh measures the counting way.
# Usage: bench/runtime_overhead.sh [install-prefix] [runs]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
source "$root/bench/timing.sh"
prefix=$(cd "${1:-$root/build/stage}" && pwd)
runs=${2:-3}
engine=$prefix/lib/compilers/morphel
auditor=$prefix/lib/compilers/amd64/ryndl.so

work=$(mktemp -d /tmp/ryn_bench.XXXXXX)
trap 'rm -rf "$work"' EXIT
cd "$work"

cp "$root/bench/compute.c" .
cc -O2 -g -fno-inline -o native compute.c
cc -O2 -g -fno-inline --coverage -o gcov compute.c
echo "1 zentor" > zentor.ryninfo
"$engine" -ryn -xkalfix=instrument:./data -add_depaudit="$auditor" -ryninfo=zentor.ryninfo -o probed native

n=$(best_time "$runs" ./native); expected=$(cat out.txt)
p=$(best_time "$runs" ./probed); [ "$(cat out.txt)" = "$expected" ] || { echo "probed output differs" >&2; exit 1; }
g=$(best_time "$runs" ./gcov);   [ "$(cat out.txt)" = "$expected" ] || { echo "gcov output differs" >&2; exit 1; }
ls data/*.instrdata > /dev/null || { echo "the probed run left no data" >&2; exit 1; }
printf 'best of %d: native %.3f s, probed %.3f s (%.3fx), gcc --coverage %.3f s (%.3fx)\n' \
  "$runs" "$n" "$p" "$(ratio "$p" "$n")" "$g" "$(ratio "$g" "$n")"
