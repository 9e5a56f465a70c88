#!/usr/bin/env bash
# Builds the libFuzzer harnesses with clang (ASan + UBSan) in build-fuzz and
# runs each for a bounded time on a scratch copy of its corpus. Fails on any
# finding; the input that caused it is kept in build-fuzz/findings/.
#   RYN_FUZZ_SECONDS   seconds per harness (default 60)
#   RYN_FUZZ_HARNESSES harnesses to run (default: all four)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
seconds=${RYN_FUZZ_SECONDS:-60}
harnesses=${RYN_FUZZ_HARNESSES:-"elf_inspect rc_file memvex_options path_functions"}
build=$root/build-fuzz
findings=$build/findings

CC=clang CXX=clang++ cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DRYN_FUZZ=ON -DRYN_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" --target ryn_fuzzers
ctest --test-dir "$build" --output-on-failure --no-tests=error

# Small files are cheap to write and to mutate; tmpfs spares the disk.
parent=/tmp
[ -d /dev/shm ] && [ -w /dev/shm ] && parent=/dev/shm
scratch=$(mktemp -d "$parent/ryn_fuzz.XXXXXX")
trap 'rm -rf "$scratch"' EXIT

# Real ELF files of every kind the driver meets, made with the system compiler.
elf_seeds() {
  local out=$1 src=$scratch/seed_src
  mkdir -p "$src"
  cat >"$src/lib.c" <<'EOF'
__asm__(".pushsection .annotate,\"\",@progbits\n.byte 0\n.popsection");
int f(int x) { return x + 1; }
EOF
  cat >"$src/instrumented.c" <<'EOF'
__asm__(".pushsection .comment\n.asciz \"ryn: morphel 1.0\"\n"
        ".asciz \"instrumentation args: -x memvex: y\"\n.popsection");
int g(void) { return 2; }
EOF
  cat >"$src/prog.c" <<'EOF'
void _start(void) { for (;;) {} }
EOF
  local small="-nostdlib -Wl,-z,noseparate-code -Wl,--build-id=none -Wl,-z,norelro"
  cc -O1 -c "$src/lib.c" -o "$out/object.o"
  cc -O1 -c "$src/instrumented.c" -o "$out/instrumented.o"
  cc -O1 -shared -fPIC $small "$src/lib.c" -o "$out/lib.so"
  cc -O1 -pie -fPIE $small "$src/prog.c" -o "$out/pie"
  cc -O1 -m32 -c "$src/lib.c" -o "$out/object32.o" 2>/dev/null || true
  cc -O1 -no-pie $small "$src/prog.c" "$src/instrumented.c" -o "$out/no_pie"
  objcopy --strip-all "$out/lib.so" "$out/stripped.so"
  printf 'signed' >"$src/signature"
  objcopy --add-section .QVEN_signature="$src/signature" "$out/object.o" "$out/signed.o"
}

mkdir -p "$findings"
failed=()
for harness in $harnesses; do
  corpus=$scratch/corpus/$harness
  mkdir -p "$corpus" "$scratch/tmp/$harness"
  cp "$root/fuzz/corpus/$harness/"* "$corpus/"
  [ "$harness" = elf_inspect ] && elf_seeds "$corpus"
  log=$scratch/$harness.log
  status=0
  # Most inputs of these two end the run through exit, and the blocks the
  # ended frames held (not leaks: a process would be gone) make libFuzzer
  # rescan the heap after each such input; that costs two thirds of the speed.
  leaks=1
  case $harness in elf_inspect|memvex_options) leaks=0 ;; esac
  # Output of the code under test is closed (-close_fd_mask); libFuzzer and
  # the sanitizers keep their own stream.
  (cd "$scratch/tmp/$harness" && TMPDIR=$scratch/tmp/$harness \
    "$build/fuzz/${harness}_fuzz" "$corpus" -max_total_time="$seconds" -timeout=30 -detect_leaks=$leaks \
      -rss_limit_mb=2048 -close_fd_mask=3 -print_final_stats=1 \
      -artifact_prefix="$findings/$harness-") >"$log" 2>&1 || status=$?
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  echo "$harness: ${runs:-?} executions in ${seconds}s, exit status $status"
  if [ "$status" -ne 0 ]; then
    grep -E -A25 '^==[0-9]+==ERROR|runtime error|deadly signal|Test unit written' "$log" | head -60 || tail -40 "$log"
    failed+=("$harness")
  fi
done

if [ ${#failed[@]} -gt 0 ]; then
  echo "fuzzing found problems in: ${failed[*]} (inputs in $findings)"
  exit 1
fi
