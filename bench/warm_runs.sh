#!/usr/bin/env bash
# Warm runs: a run on a warm cache should cost far less than reading the
# targets, and a small program's warm run should start few processes.
# Prints one table. Usage: bench/warm_runs.sh [install-prefix] [runs]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
prefix=${1:-$root/build/stage}
runs=${2:-5}
ryn=$prefix/bin/ryn
kalnote=$prefix/lib/compilers/kalnote.o
nlibs=20
lib_mib=5
# Files younger than this are hashed on every run (see content_identity.h).
settle=3.5
# shellcheck source=bench/timing.sh
source "$root/bench/timing.sh"

work=$(mktemp -d /tmp/ryn_warm.XXXXXX)
trap 'rm -rf "$work"' EXIT
cd "$work"
export QVEN_RYN_CACHE_DIR=$work/cache HOME=$work TMPDIR=$work

# make_program DIR LIBS MIB: DIR/prog linked against LIBS annotated libraries
# of about MIB MiB each (0: a few KiB).
make_program() {
  local dir=$1 n=$2 mib=$3 flags="" calls=""
  mkdir -p "$dir"
  : > "$dir/decls.h"
  for i in $(seq 1 "$n"); do
    {
      echo "int lib${i}_entry(int x) { return x + $i; }"
      if [ "$mib" -gt 0 ]; then
        echo "__attribute__((used)) const char lib${i}_blob[$mib << 20] = { $i };"
      fi
    } > "$dir/lib$i.c"
    cc -O1 -shared -fPIC -o "$dir/lib$i.so" "$dir/lib$i.c" "$kalnote"
    flags="$flags -l$i"
    calls="$calls sum += lib${i}_entry(sum);"
    echo "int lib${i}_entry(int);" >> "$dir/decls.h"
  done
  printf '#include <stdio.h>\n#include "decls.h"\nint main(void) { int sum = 1;%s printf("%%d\\n", sum); return 0; }\n' \
    "$calls" > "$dir/prog.c"
  # shellcheck disable=SC2086
  cc -O1 -o "$dir/prog" "$dir/prog.c" "$kalnote" -L"$dir" $flags -Wl,-rpath,"$dir"
}

# timed_mean RUNS PREPARE COMMAND...: mean wall seconds of COMMAND over RUNS
# runs, PREPARE (a shell word, untimed) run before each.
timed_mean() {
  local n=$1 prepare=$2 total=0 start end
  shift 2
  for _ in $(seq 1 "$n"); do
    $prepare
    start=$(date +%s.%N)
    "$@" > out.txt 2> err.txt
    end=$(date +%s.%N)
    total=$(awk -v t="$total" -v a="$start" -v b="$end" 'BEGIN { printf "%.6f", t + b - a }')
  done
  awk -v t="$total" -v n="$n" 'BEGIN { printf "%.6f", t / n }'
}

nothing() { :; }
# A chmod of each file to its own mode moves only its change time.
touch_ctimes() {
  for f in big/prog big/lib*.so; do chmod "$(stat -c %a "$f")" "$f"; done
}
engine_runs() { grep -c "Instrumenting target" err.txt || true; }

make_program big "$nlibs" "$lib_mib"
files=(big/prog big/lib*.so)
bytes=$(cat "${files[@]}" | wc -c)
"$ryn" instrument -M big/prog > /dev/null 2>&1      # cold
sleep "$settle"
"$ryn" instrument -M big/prog > /dev/null 2>&1      # records identities

md5=$(timed_mean "$runs" nothing md5sum "${files[@]}")
warm=$(timed_mean "$runs" nothing "$ryn" instrument -M -v big/prog)
warm_engine=$(engine_runs)
defeated=$(timed_mean "$runs" touch_ctimes "$ryn" instrument -M -v big/prog)
defeated_engine=$(engine_runs)

make_program small 1 0
"$ryn" instrument -M small/prog > /dev/null 2>&1
sleep "$settle"
"$ryn" instrument -M small/prog > /dev/null 2>&1
small=$(timed_mean $((runs * 4)) nothing "$ryn" instrument -M small/prog)
execs="n/a"
if command -v strace > /dev/null; then
  strace -f -qq -e trace=execve -o execs.txt "$ryn" instrument -M small/prog > /dev/null 2>&1
  # The driver's own start is not counted.
  execs=$(($(grep -c 'execve(.*= 0$' execs.txt) - 1))
fi

ms() { awk -v s="$1" 'BEGIN { printf "%.1f", s * 1000 }'; }
printf '%-62s %10s %8s\n' "measure" "value" "ratio"
printf '%-62s %8s ms %8s\n' "md5sum of $((${#files[@]})) files ($((bytes >> 20)) MiB)" "$(ms "$md5")" "1.000"
printf '%-62s %8s ms %8s\n' "warm instrument -M, identities recorded ($warm_engine engine runs)" \
  "$(ms "$warm")" "$(ratio "$warm" "$md5")"
printf '%-62s %8s ms %8s\n' "warm instrument -M, change times moved ($defeated_engine engine runs)" \
  "$(ms "$defeated")" "$(ratio "$defeated" "$md5")"
printf '%-62s %8s ms %8s\n' "warm instrument -M, two targets" "$(ms "$small")" "-"
printf '%-62s %11s %8s\n' "processes started by that run" "$execs" "-"
