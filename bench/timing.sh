# shellcheck shell=bash
# Timing helpers sourced by the benchmarks.

# best_time RUNS COMMAND...: the best wall time in seconds of RUNS runs of
# COMMAND, whose standard output goes to out.txt and standard error to err.txt
# in the current directory, so callers can check what the last run printed.
best_time() {
  local runs=$1 best="" start end t
  shift
  for _ in $(seq 1 "$runs"); do
    start=$(date +%s.%N)
    "$@" > out.txt 2> err.txt
    end=$(date +%s.%N)
    t=$(awk -v a="$start" -v b="$end" 'BEGIN { printf "%.6f", b - a }')
    if [ -z "$best" ] || awk -v t="$t" -v b="$best" 'BEGIN { exit !(t < b) }'; then best=$t; fi
  done
  echo "$best"
}

# ratio A B: A / B with three decimals.
ratio() {
  awk -v a="$1" -v b="$2" 'BEGIN { printf "%.3f", a / b }'
}

# Microsecond wall clock read by the shell itself: starting `date` would add
# a process start to every short measurement.
now_us() { echo $((10#${EPOCHREALTIME/[.,]/})); }

# median_time RUNS PREPARE COMMAND...: the median wall time in seconds of RUNS
# runs of COMMAND (output to out.txt and err.txt as for best_time), the
# shell word PREPARE run untimed before each. A failed run ends the script.
median_time() {
  local runs=$1 prepare=$2 times=() start end
  shift 2
  for _ in $(seq 1 "$runs"); do
    $prepare
    start=${EPOCHREALTIME/[.,]/}
    "$@" > out.txt 2> err.txt || { cat err.txt >&2; echo "failed: $*" >&2; return 1; }
    end=${EPOCHREALTIME/[.,]/}
    times+=($((10#$end - 10#$start)))
  done
  printf '%s\n' "${times[@]}" | median | awk '{ printf "%.6f", $1 / 1e6 }'
}

# median: the median of the numbers on standard input, one a line (the
# lower middle one of an even count).
median() {
  sort -g | awk '{ v[NR] = $1 } END { if (NR) print v[int((NR + 1) / 2)] }'
}
