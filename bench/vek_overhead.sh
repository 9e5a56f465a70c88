#!/usr/bin/env bash
# The thread checker watches every lock call and every free, and takes the
# stack of every acquisition, so a program that does little but lock pays
# the most. Times such a program (4 threads, nested mutexes, read locks,
# trylocks and a malloc/free per round, -O2 -g) alone and with libvek.so
# first among its needed libraries; the target is at most 15 times slower
# on that worst case, and no slower at all on a program that does not lock.
# Usage: bench/vek_overhead.sh [install-prefix] [rounds] [runs]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
source "$root/bench/timing.sh"
prefix=$(cd "${1:-$root/build/stage}" && pwd)
rounds=${2:-1000000}
runs=${3:-3}
runtime=$prefix/lib/compilers/amd64/libvek.so

work=$(mktemp -d /tmp/vek_bench.XXXXXX)
trap 'rm -rf "$work"' EXIT
cd "$work"

cat > locks.c <<'C'
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#define THREADS 4
static pthread_mutex_t outer = PTHREAD_MUTEX_INITIALIZER, inner[8];
static pthread_rwlock_t table = PTHREAD_RWLOCK_INITIALIZER;
static long counter, rounds;
static void *work(void *arg) {
    long id = (long)arg;
    for (long i = 0; i < rounds; ++i) {
        pthread_mutex_lock(&outer);
        pthread_mutex_lock(&inner[(i + id) % 8]);
        ++counter;
        pthread_mutex_unlock(&inner[(i + id) % 8]);
        pthread_mutex_unlock(&outer);
        pthread_rwlock_rdlock(&table);
        if (pthread_mutex_trylock(&inner[i % 8]) == 0)
            pthread_mutex_unlock(&inner[i % 8]);
        pthread_rwlock_unlock(&table);
        free(malloc(32));
    }
    return NULL;
}
int main(int argc, char **argv) {
    rounds = argc > 1 ? atol(argv[1]) : 100000;
    for (int i = 0; i < 8; ++i)
        pthread_mutex_init(&inner[i], NULL);
    pthread_t t[THREADS];
    for (long i = 0; i < THREADS; ++i)
        pthread_create(&t[i], NULL, work, (void *)i);
    for (int i = 0; i < THREADS; ++i)
        pthread_join(t[i], NULL);
    printf("%ld\n", counter);
    return 0;
}
C
cat > compute.c <<'C'
#include <stdio.h>
#include <stdlib.h>
int main(int argc, char **argv) {
    long n = argc > 1 ? atol(argv[1]) * 200 : 20000000, s = 0;
    for (long i = 0; i < n; ++i)
        s += (i * 7) % 13;
    printf("%ld\n", s);
    return 0;
}
C
for program in locks compute; do
  cc -O2 -g -pthread -o "$program.alone" "$program.c"
  cc -O2 -g -pthread -o "$program.checked" "$program.c" \
     -Wl,--no-as-needed "$runtime" -Wl,-rpath,"$(dirname "$runtime")"
done

status=0
for program in locks compute; do
  [ "$(./$program.alone "$rounds")" = "$(./$program.checked "$rounds" 2>&1)" ] \
    || { echo "$program: the checked run's output differs" >&2; exit 1; }
  alone=$(best_time "$runs" "./$program.alone" "$rounds")
  checked=$(best_time "$runs" "./$program.checked" "$rounds")
  times=$(ratio "$checked" "$alone")
  printf '%-8s alone %.3f s, checked %.3f s, %.1f times\n' "$program" "$alone" "$checked" "$times"
  limit=15
  [ "$program" = compute ] && limit=1.2
  if awk -v t="$times" -v l="$limit" 'BEGIN { exit !(t > l) }'; then
    echo "$program: too slow, the target is at most $limit times" >&2
    status=1
  fi
done
exit $status
