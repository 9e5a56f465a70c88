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
