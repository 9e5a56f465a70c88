#!/usr/bin/env bash
# The driver's performance suite: what a user pays per run, warm and cold,
# from two targets to a thousand and with eight drivers sharing one cache.
# Prints one table; each time is the least of the repetitions (five, or one
# with `quick`; three at most for the thousand-library cold run): on a shared
# machine other work only ever adds time.
#
# The engine's own time is measured by a stand-in engine given with -Yo,DIR
# (bench/timed_engine.c, built static): it runs the real engine with the same
# arguments and logs the wall time of each run. The driver's time is the
# run's wall time less the sum of those; the stand-in's own start stays on
# the driver's side, so the driver is if anything charged too much. Wall time
# suffers from other load on the machine, so the driver's processor time
# (its own, its probes' and the stand-in's start, less what the stand-in
# logs for itself and the engine) is shown beside it.
#
# Usage: bench/suite.sh [quick] [install-prefix]
set -euo pipefail
export LC_ALL=C
root=$(cd "$(dirname "$0")/.." && pwd)
quick=false
if [ "${1:-}" = quick ]; then
  quick=true
  shift
fi
prefix=$(cd "${1:-$root/build/stage}" && pwd)
runs=5
$quick && runs=1
ryn=$prefix/bin/ryn
kalnote=$prefix/lib/compilers/kalnote.o
# Files younger than this are hashed on every run (see content_identity.h).
settle=3.5
# shellcheck source=bench/timing.sh
source "$root/bench/timing.sh"
# shellcheck source=bench/fixtures.sh
source "$root/bench/fixtures.sh"

work=$(mktemp -d /tmp/ryn_suite.XXXXXX)
trap 'rm -rf "$work"' EXIT
cd "$work"
export HOME=$work TMPDIR=$work

mkdir engine
cc -static -O2 -DREAL_ENGINE="\"$prefix/lib/compilers/morphel\"" \
  -DENGINE_LOG="\"$work/engine.log\"" -o engine/morphel "$root/bench/timed_engine.c"

use_cache() { export QVEN_RYN_CACHE_DIR=$work/cache.$1; }
# A new directory each time: the file system would still be busy removing
# the old one's files while the next run is timed.
empty_cache() {
  QVEN_RYN_CACHE_DIR=$(mktemp -d "$work/cache.cold.XXXXXX")
  : > "$work/engine.log"
}
engine_runs() { awk '$2 == "I"' "$work/engine.log" | wc -l; }
engine_us() { awk '{ s += $1 } END { printf "%d", s / 1000 }' "$work/engine.log"; }
engine_cpu_us() { awk '{ s += $3 } END { printf "%d", s }' "$work/engine.log"; }
ms() { awk -v s="$1" 'BEGIN { printf "%.1f", s * 1000 }'; }
# A chmod of each file to its own mode moves only its change time.
touch_ctimes() {
  local f
  for f in "${files[@]}"; do chmod "$(stat -c %a "$f")" "$f"; done
}
nothing() { :; }

rows=()
# row LABEL VALUE RATIO GOAL [MET]
row() { rows+=("$(printf '%-56s %11s %7s  %-16s %s' "$1" "$2" "$3" "$4" "${5:-}")"); }
# meets X OP LIMIT: "yes" or "NO" for X <= LIMIT or X == LIMIT.
meets() {
  awk -v x="$1" -v op="$2" -v y="$3" 'BEGIN { ok = op == "<=" ? x <= y + 0 : x == y + 0
                                            print ok ? "yes" : "NO" }'
}

# cold_run PROG TARGETS: one run of PROG on an empty cache through the
# stand-in engine; prints its wall time, the engine's, and the driver's
# processor time, in microseconds.
cold_run() {
  local prog=$1 targets=$2 start end cpu_before cpu_after
  empty_cache
  children_cpu_us cpu_before
  now_us start
  "$ryn" instrument -M -Yo,"$work/engine" "$prog" > out.txt 2> err.txt ||
    { cat err.txt >&2; return 1; }
  now_us end
  children_cpu_us cpu_after
  if [ "$(engine_runs)" -ne "$targets" ]; then
    echo "$prog: $(engine_runs) engine runs for $targets targets" >&2
    return 1
  fi
  echo "$((end - start)) $(engine_us) $((cpu_after - cpu_before - $(engine_cpu_us)))"
}

# per_target MICROSECONDS TARGETS: milliseconds per target.
per_target() { awk -v t="$1" -v n="$2" 'BEGIN { printf "%.3f", t / n / 1000 }'; }

# cold_sample PROG TARGETS BATCH: BATCH cold runs of PROG one after the
# other; prints ms per target: whole, with the engine's time taken out, and
# the driver's processor time. Batches let a small program's sample last as
# long as a large one's, so that both meet the same share of other load.
cold_sample() {
  local prog=$1 targets=$2 batch=$3 wall=0 engine=0 used=0 result w e u
  for _ in $(seq 1 "$batch"); do
    result=$(cold_run "$prog" "$targets")
    read -r w e u <<< "$result"
    wall=$((wall + w)) engine=$((engine + e)) used=$((used + u))
  done
  targets=$((targets * batch))
  echo "$(per_target "$wall" "$targets") $(per_target $((wall - engine)) "$targets")" \
    "$(per_target "$used" "$targets")"
}

# warm_sample PROG TARGETS BATCH: ms per target of BATCH runs of PROG on a
# cache that already holds its copies and identity records.
warm_sample() {
  local prog=$1 targets=$2 batch=$3 start end
  now_us start
  for _ in $(seq 1 "$batch"); do
    "$ryn" instrument -M "$prog" > out.txt 2> err.txt || { cat err.txt >&2; return 1; }
  done
  now_us end
  per_target $((end - start)) $((targets * batch))
}

# column N: the least of the Nth fields of the lines on standard input.
column() { awk -v n="$1" '{ print $n }' | least; }

# --- a: warm run over 100 MB against md5sum of the same bytes --------------
make_program big 20 5
files=(big/prog big/lib*.so)
bytes=$(cat "${files[@]}" | wc -c)
use_cache big
"$ryn" instrument -M big/prog > /dev/null 2>&1
sleep "$settle"
"$ryn" instrument -M big/prog > /dev/null 2>&1      # records identities
md5=$(least_time "$runs" nothing md5sum "${files[@]}")
warm=$(least_time "$runs" nothing "$ryn" instrument -M -v big/prog)
warm_engine=$(grep -c "Instrumenting target" err.txt || true)
defeated=$(least_time "$runs" touch_ctimes "$ryn" instrument -M -v big/prog)
defeated_engine=$(grep -c "Instrumenting target" err.txt || true)
row "md5sum of ${#files[@]} files ($((bytes >> 20)) MiB)" "$(ms "$md5") ms" 1.000 ""
r=$(ratio "$warm" "$md5")
row "warm -M, identities recorded ($warm_engine engine runs)" "$(ms "$warm") ms" "$r" \
  "<= 0.1" "$(meets "$r" "<=" 0.1)"
r=$(ratio "$defeated" "$md5")
row "warm -M, change times moved ($defeated_engine engine runs)" "$(ms "$defeated") ms" "$r" \
  "<= 1.3" "$(meets "$r" "<=" 1.3)"

# --- b: warm run of a two-target program ------------------------------------
make_program small 1 0
use_cache small
"$ryn" instrument -M small/prog > /dev/null 2>&1
sleep "$settle"
"$ryn" instrument -M small/prog > /dev/null 2>&1
small=$(least_time $((runs * 4)) nothing "$ryn" instrument -M small/prog)
row "warm -M, two targets" "$(ms "$small") ms" - "<= 10 ms" "$(meets "$(ms "$small")" "<=" 10)"
if command -v strace > /dev/null; then
  strace -f -qq -e trace=execve -o execs.txt "$ryn" instrument -M small/prog > /dev/null 2>&1
  # The driver's own start is not counted.
  execs=$(($(grep -c 'execve(.*= 0$' execs.txt) - 1))
  row "processes started by that run" "$execs" - "<= 2" "$(meets "$execs" "<=" 2)"
else
  row "processes started by that run" "n/a" - "<= 2" "(no strace)"
fi

# eight_drivers PROG: wall microseconds of eight drivers started together on
# an empty cache. A driver that finds a target locked sleeps 1 or 2 s before
# it tries again, so the wall time of eight is whole seconds; the engine runs
# show that each target is still instrumented once.
eight_drivers() {
  local prog=$1 pids=() start end k failed=0
  empty_cache
  now_us start
  for k in 1 2 3 4 5 6 7 8; do
    "$ryn" instrument -M -Yo,"$work/engine" "$prog" > "out.$k" 2> "err.$k" &
    pids+=($!)
  done
  for k in "${pids[@]}"; do wait "$k" || failed=1; done
  now_us end
  if [ "$failed" -ne 0 ]; then
    cat err.* >&2
    return 1
  fi
  echo "$((end - start))"
}
# --- c and e: 33 targets cold, by one driver and by eight together ---------
# Taken in turns, so that a passing burst of other load cannot spoil all the
# samples of one kind.
make_program c33 32 0
# Old enough for the driver to record the files' identities, as it does for
# any file not written just now.
sleep "$settle"
use_cache c33
samples=()
eight=()
eight_engine=()
for _ in $(seq 1 "$runs"); do
  result=$(cold_sample c33/prog 33 1)
  samples+=("$result")
  result=$(eight_drivers c33/prog)
  eight+=("$result")
  eight_engine+=("$(engine_runs)")
done
c33_all=$(printf '%s\n' "${samples[@]}" | column 1)
c33_driver=$(printf '%s\n' "${samples[@]}" | column 2)
c33_cpu=$(printf '%s\n' "${samples[@]}" | column 3)
row "cold -M, 33 targets: engine and driver, per target" "$c33_all ms" - ""
row "cold -M, 33 targets: driver only, per target" "$c33_driver ms" - "<= 3 ms" \
  "$(meets "$c33_driver" "<=" 3)"
row "cold -M, 33 targets: driver's processor time, per target" "$c33_cpu ms" - ""
one_ms=$(awk -v t="$c33_all" 'BEGIN { printf "%.1f", t * 33 }')
eight_ms=$(printf '%s\n' "${eight[@]}" | least | awk '{ printf "%.1f", $1 / 1000 }')
most=$(printf '%s\n' "${eight_engine[@]}" | sort -n | tail -1)
row "cold -M, 33 targets, one driver" "$one_ms ms" 1.000 ""
row "cold -M, 33 targets, eight drivers together" "$eight_ms ms" "$(ratio "$eight_ms" "$one_ms")" ""
row "engine runs of the eight (most over $runs tries)" "$most" - "= 33" "$(meets "$most" "==" 33)"

# --- d: a hundred and a thousand libraries ----------------------------------
make_program many 1000 0 prog1000
make_program many 100 0 prog100
cold_reps=$((runs < 3 ? runs : 3))
# alternate SAMPLER REPS SMALL LARGE: REPS samples of each size, taken in
# turns so that both see the same load, appended to the arrays named SMALL
# and LARGE. A sample of the small program is ten runs, as long as one of the
# large.
alternate() {
  local sampler=$1 reps=$2 result
  local -n small=$3 large=$4
  for _ in $(seq 1 "$reps"); do
    use_cache many100
    result=$("$sampler" many/prog100 101 10)
    small+=("$result")
    use_cache many1000
    result=$("$sampler" many/prog1000 1001 1)
    large+=("$result")
  done
}
cold100=()
cold1000=()
alternate cold_sample "$cold_reps" cold100 cold1000
sleep "$settle"
for n in 100 1000; do
  use_cache "many$n"
  "$ryn" instrument -M "many/prog$n" > /dev/null 2>&1    # records identities
done
warm100=()
warm1000=()
alternate warm_sample "$runs" warm100 warm1000
for field in 1 2 3; do
  small_size=$(printf '%s\n' "${cold100[@]}" | column "$field")
  large_size=$(printf '%s\n' "${cold1000[@]}" | column "$field")
  case $field in
    1) what="cold -M" ;;
    2) what="  driver only" ;;
    3) what="  driver's processor time" ;;
  esac
  row "$what, 101 targets, per target" "$small_size ms" 1.000 ""
  r=$(ratio "$large_size" "$small_size")
  row "$what, 1001 targets, per target" "$large_size ms" "$r" "<= 1.2" "$(meets "$r" "<=" 1.2)"
done
small_size=$(printf '%s\n' "${warm100[@]}" | least)
large_size=$(printf '%s\n' "${warm1000[@]}" | least)
row "warm -M, 101 targets, per target" "$small_size ms" 1.000 ""
r=$(ratio "$large_size" "$small_size")
row "warm -M, 1001 targets, per target" "$large_size ms" "$r" "<= 1.2" "$(meets "$r" "<=" 1.2)"

printf '%-56s %11s %7s  %-16s %s\n' measure value ratio goal met
printf '%s\n' "${rows[@]}"
