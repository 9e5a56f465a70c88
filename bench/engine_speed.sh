#!/usr/bin/env bash
# The engine decodes every function of a target on each cold run, so its own
# time adds to every cold driver run: a 2 MB program must take well under a
# second. Builds a program of about that size (many small functions with
# branches, -O2 -g) and times coverage instrumentation of it.
# Usage: bench/engine_speed.sh [install-prefix] [runs]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
source "$root/bench/timing.sh"
prefix=$(cd "${1:-$root/build/stage}" && pwd)
runs=${2:-5}
engine=$prefix/lib/compilers/morphel

work=$(mktemp -d /tmp/ryn_bench.XXXXXX)
trap 'rm -rf "$work"' EXIT
cd "$work"

{
  echo '#include <stdio.h>'
  for f in $(seq 1 6000); do
    echo "int f$f(int x) { int s = 0; for (int i = 0; i < x; ++i) { switch ((i + $f) % 5) {"
    echo "  case 0: s += i; break; case 1: s -= $f; break; case 2: s ^= x; break;"
    echo "  case 3: s *= 3; break; default: s += 7; } } return s; }"
  done
  printf 'int main(void) { int s = 0;'
  for f in $(seq 1 6000 | awk 'NR % 500 == 1'); do printf ' s += f%d(3);' "$f"; done
  echo ' printf("%d\\n", s); return 0; }'
} > big.c
cc -O2 -g -o big big.c
size=$(stat -c %s big)

best=$(best_time "$runs" "$engine" -ryn -xkalfix=instrument:./ -o big.instr big)
[ "$(./big)" = "$(./big.instr)" ] || { echo "the copy's output differs" >&2; exit 1; }
printf 'program: %d bytes, best of %d engine runs: %.3f s\n' "$size" "$runs" "$best"
if awk -v t="$best" 'BEGIN { exit !(t >= 1) }'; then
  echo "too slow: the target is well under a second" >&2
  exit 1
fi
