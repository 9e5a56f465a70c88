#!/usr/bin/env bash
# The heap checker's runtime on the allocation path alone: two million
# random-size malloc/memset/free pairs over 1024 live slots, preloaded straight
# into the program (no copy). Prints the best wall times of native, memvex and
# valgrind's memcheck (when installed) and memvex's share of valgrind's time,
# which should stay at or below 0.2.
# Usage: bench/memvex_alloc_speed.sh [install-prefix] [runs]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
prefix=$(cd "${1:-$root/build/stage}" && pwd)
runs=${2:-5}
runtime=$prefix/lib/compilers/amd64/libmemvex.so

work=$(mktemp -d /tmp/memvex_alloc.XXXXXX)
trap 'rm -rf "$work"' EXIT
cd "$work"

cat > alloc.c <<'SRC'
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
int main(void) {
    void *slots[1024] = {0};
    unsigned s = 1;
    size_t total = 0;
    for (int i = 0; i < 2000000; i++) {
        s = s * 1103515245 + 12345;
        int k = (s >> 8) & 1023;
        free(slots[k]);
        size_t n = 16 + ((s >> 16) & 255);
        slots[k] = malloc(n);
        memset(slots[k], 1, n);
        total += n;
    }
    for (int k = 0; k < 1024; k++)
        free(slots[k]);
    printf("%zu\n", total);
    return 0;
}
SRC
cc -O2 -g -o alloc alloc.c

best() {
  local best="" t start end
  for _ in $(seq 1 "$runs"); do
    start=$(date +%s.%N)
    "$@" > out.txt 2> err.txt
    end=$(date +%s.%N)
    t=$(echo "$end - $start" | bc -l)
    if [ -z "$best" ] || [ "$(echo "$t < $best" | bc -l)" = 1 ]; then best=$t; fi
  done
  echo "$best"
}
n=$(best ./alloc); expected=$(cat out.txt)
m=$(best env LD_PRELOAD="$runtime" ./alloc)
if [ "$(cat out.txt)" != "$expected" ] || [ -s err.txt ]; then
  echo "memvex changed the program's output or reported errors:" >&2
  cat err.txt >&2
  exit 1
fi
printf 'native   %.2f s\nmemvex   %.2f s (%.1fx native)\n' "$n" "$m" "$(echo "$m / $n" | bc -l)"
if command -v valgrind > /dev/null; then
  v=$(best valgrind --tool=memcheck -q ./alloc)
  printf 'valgrind %.2f s\nmemvex / valgrind = %.2f (target <= 0.20)\n' "$v" "$(echo "$m / $v" | bc -l)"
fi
