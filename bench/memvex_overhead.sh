#!/usr/bin/env bash
# What the heap checker costs an allocation-heavy program (over a second
# natively): many threads' worth of small and medium blocks made, touched and
# freed, some kept in a ring so frees do not follow mallocs directly. Timed
# natively, as a copy made by memvex -o, and under valgrind's memcheck when
# valgrind is installed; prints the wall times and the ratios to native.
# Usage: bench/memvex_overhead.sh [install-prefix] [runs]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
source "$root/bench/timing.sh"
prefix=$(cd "${1:-$root/build/stage}" && pwd)
runs=${2:-3}

work=$(mktemp -d /tmp/memvex_bench.XXXXXX)
trap 'rm -rf "$work"' EXIT
cd "$work"

cat > churn.c <<'SRC'
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
enum { RING = 4096, ROUNDS = 32000000 };
int main(void) {
    static void *ring[RING];
    unsigned long seed = 12345, sum = 0;
    for (int i = 0; i < ROUNDS; ++i) {
        seed = seed * 6364136223846793005ul + 1442695040888963407ul;
        size_t size = (seed >> 33) % 512 + 1;
        if ((seed >> 20) % 64 == 0)
            size *= 64;
        unsigned slot = (unsigned)(seed >> 40) % RING;
        free(ring[slot]);
        char *p = malloc(size);
        memset(p, (int)i, size < 64 ? size : 64);
        sum += (unsigned char)p[size / 2 < 64 ? size / 2 : 0];
        if ((seed >> 50) % 8 == 0)
            p = realloc(p, size * 2);
        ring[slot] = p;
    }
    for (int i = 0; i < RING; ++i)
        free(ring[i]);
    printf("%lu\n", sum);
    return 0;
}
SRC
cc -O2 -g -o native churn.c "$prefix/lib/compilers/kalnote.o"
mkdir -p home cache
HOME=$work/home QVEN_RYN_CACHE_DIR=$work/cache "$prefix/bin/memvex" -o checked native

n=$(best_time "$runs" ./native); expected=$(cat out.txt)
m=$(best_time "$runs" ./checked)
[ "$(cat out.txt)" = "$expected" ] || { echo "checked output differs" >&2; exit 1; }
[ ! -s err.txt ] || { echo "the checked run reported something:" >&2; cat err.txt >&2; exit 1; }
line=$(printf 'best of %d: native %.3f s, memvex %.3f s (%.2fx)' \
  "$runs" "$n" "$m" "$(ratio "$m" "$n")")
if command -v valgrind > /dev/null; then
  v=$(best_time "$runs" valgrind --tool=memcheck --error-exitcode=0 -q ./native)
  [ "$(cat out.txt)" = "$expected" ] || { echo "valgrind output differs" >&2; exit 1; }
  line+=$(printf ', valgrind memcheck %.3f s (%.2fx)' "$v" "$(ratio "$v" "$n")")
else
  line+=", valgrind not installed"
fi
echo "$line"
