#!/usr/bin/env bash
# The leak scan at exit walks every live block once: with a million of them
# it should stay well under a second. Builds a program that keeps a million
# blocks reachable through a tree (and leaks a thousand), runs it under the
# heap checker's runtime and reports the time from the end of main to the
# end of the process (exit checks, leak scan and report), next to the same
# program without the runtime.
# Usage: bench/memvex_leak_scan.sh [install-prefix] [blocks] [runs]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
prefix=${1:-$root/build/stage}
blocks=${2:-1000000}
runs=${3:-3}
runtime=$prefix/lib/compilers/amd64/libmemvex.so

work=$(mktemp -d /tmp/ryn_bench.XXXXXX)
trap 'rm -rf "$work"' EXIT
cd "$work"

cat > many.c <<'C'
#include <stdio.h>
#include <stdlib.h>
#include <time.h>
struct node { struct node *left, *right; long value; };
struct node *root; /* seen from outside: the compiler keeps the store */
void *volatile sink;
int main(int argc, char **argv) {
    long count = atol(argv[1]);
    struct node **all = malloc(sizeof *all * (size_t)count);
    for (long i = 0; i < count; ++i) {
        all[i] = calloc(1, sizeof **all);
        if (i > 0) {
            struct node *parent = all[(i - 1) / 2];
            if (i % 2) parent->left = all[i]; else parent->right = all[i];
        }
    }
    root = all[0];
    free(all);
    for (int i = 0; i < 1000; ++i) sink = malloc(48);
    sink = NULL;
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    fprintf(stderr, "main-end %ld.%09ld\n", (long)now.tv_sec, now.tv_nsec);
    return 0;
}
C
cc -O2 -g -o plain many.c
cc -O2 -g -o checked many.c -Wl,--no-as-needed "$runtime" -Wl,-rpath,"$(dirname "$runtime")"

exit_time() {
    local program=$1 best=
    for _ in $(seq 1 "$runs"); do
        "./$program" "$blocks" 2> err.txt || true
        local end
        end=$(date +%s.%N)
        local start
        start=$(awk '/^main-end/ { print $2 }' err.txt)
        local ms
        ms=$(awk -v a="$start" -v b="$end" 'BEGIN { printf "%.0f", (b - a) * 1000 }')
        if [ -z "$best" ] || [ "$ms" -lt "$best" ]; then best=$ms; fi
    done
    echo "$best"
}

plain=$(exit_time plain)
checked=$(exit_time checked)
grep -q "leak: 48000 bytes in 1000 blocks" err.txt || { echo "unexpected report:"; cat err.txt; exit 1; }
echo "exit of a program with $blocks live blocks: ${checked} ms checked, ${plain} ms plain (best of $runs)"
