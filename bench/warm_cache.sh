#!/usr/bin/env bash
# Measures what a user feels most: a run on a warm cache must cost little more
# than the dependency listing, while a cold run pays one engine run per target.
# Usage: bench/warm_cache.sh [install-prefix] [libraries] [runs]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
prefix=${1:-$root/build/stage}
nlibs=${2:-8}
runs=${3:-10}
kalnote=$prefix/lib/compilers/kalnote.o

work=$(mktemp -d /tmp/ryn_bench.XXXXXX)
trap 'rm -rf "$work"' EXIT
cd "$work"

# A program linked against nlibs annotated libraries of ~200 functions each.
link_flags=""
main_calls=""
for i in $(seq 1 "$nlibs"); do
  {
    for f in $(seq 1 200); do echo "int lib${i}_f$f(int x) { return x * $f + $i; }"; done
    echo "int lib${i}_entry(int x) { return lib${i}_f1(x) + lib${i}_f200(x); }"
  } > lib$i.c
  cc -O1 -shared -fPIC -o lib$i.so lib$i.c "$kalnote"
  link_flags="$link_flags -l$i"
  main_calls="$main_calls sum += lib${i}_entry(sum);"
  echo "int lib${i}_entry(int);" >> decls.h
done
printf '#include <stdio.h>\n#include "decls.h"\nint main(void) { int sum = 1;%s printf("%%d\\n", sum); return 0; }\n' \
  "$main_calls" > prog.c
# shellcheck disable=SC2086
cc -O1 -o prog prog.c "$kalnote" -L. $link_flags -Wl,-rpath,"$work"

export QVEN_RYN_CACHE_DIR=$work/cache
now() { date +%s.%N; }
elapsed() { awk -v a="$1" -v b="$2" 'BEGIN { print b - a }'; }

start=$(now)
"$prefix/bin/memvex" -o prog.memvex prog
cold=$(elapsed "$start" "$(now)")
cached=$(find "$QVEN_RYN_CACHE_DIR" -name '*.cksum_tstamp' | wc -l)

start=$(now)
for _ in $(seq 1 "$runs"); do
  "$prefix/bin/memvex" -o prog.memvex prog
done
warm=$(awk -v a="$start" -v b="$(now)" -v n="$runs" 'BEGIN { print (b - a) / n }')

start=$(now)
for _ in $(seq 1 "$runs"); do
  "$prefix/bin/ryn" instrument prog
done
ryn_warm=$(awk -v a="$start" -v b="$(now)" -v n="$runs" 'BEGIN { print (b - a) / n }')

printf 'targets: %d (program + %d libraries)\n' $((nlibs + 1)) "$nlibs"
printf 'memvex cold cache:           %.3f s (%d library copies made)\n' "$cold" "$cached"
printf 'memvex warm cache (mean/%d): %.3f s (the program itself is always re-instrumented)\n' "$runs" "$warm"
printf 'ryn instrument warm (mean):  %.3f s\n' "$ryn_warm"
