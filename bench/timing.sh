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

# now_us VAR: sets VAR to the wall clock in microseconds, read by the shell
# itself: starting `date` or a subshell would add a process start to every
# short measurement.
now_us() { printf -v "$1" '%d' "$((10#${EPOCHREALTIME/[.,]/}))"; }

# least_time RUNS PREPARE COMMAND...: the least wall time in seconds of RUNS
# runs of COMMAND (output to out.txt and err.txt as for best_time), the shell
# word PREPARE run untimed before each. A failed run ends the script.
least_time() {
  local runs=$1 prepare=$2 times=() start end
  shift 2
  for _ in $(seq 1 "$runs"); do
    $prepare
    now_us start
    "$@" > out.txt 2> err.txt || { cat err.txt >&2; echo "failed: $*" >&2; return 1; }
    now_us end
    times+=($((end - start)))
  done
  printf '%s\n' "${times[@]}" | least | awk '{ printf "%.6f", $1 / 1e6 }'
}

# least: the smallest of the numbers on standard input, one a line.
least() { sort -g | head -n 1; }

# children_cpu_us VAR: sets VAR to the processor time, user and system, in
# microseconds, of this shell's children that have ended (with theirs). Only
# builtins: a subshell has no children of its own, and any process started
# here would be counted in the next reading.
children_cpu_us() {
  local file=${TMPDIR:-/tmp}/ryn_times.$$ user system total=0 t minutes seconds
  times > "$file"
  { read -r _; read -r user system; } < "$file"
  for t in "$user" "$system"; do
    minutes=${t%%m*}
    seconds=${t#*m}
    seconds=${seconds%s}
    total=$((total + minutes * 60000000 + 10#${seconds/[.,]/} * 1000))
  done
  printf -v "$1" '%d' "$total"
}
