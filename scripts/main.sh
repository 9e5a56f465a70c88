#!/usr/bin/env bash
# Builds ryn, installs it to ./_install, and instruments a sample program with
# the installed tools, showing what happens at each step.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
prefix=$root/_install

scripts/deps.sh
cmake -S . -B build-main -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DRYN_BUILD_TESTS=OFF
cmake --build build-main
rm -rf "$prefix"
cmake --install build-main --prefix "$prefix"

work=$(mktemp -d /tmp/ryn_sample.XXXXXX)
trap 'rm -rf "$work"' EXIT
cd "$work"
step() { printf '\n== %s\n' "$*"; }

step "Compiling the sample program and its library, annotated with kalnote.o"
cc -g -shared -fPIC -o libgreet.so "$root/samples/libgreet.c" "$prefix/lib/compilers/kalnote.o"
cc -g -o greet "$root/samples/greet.c" "$prefix/lib/compilers/kalnote.o" -L. -lgreet -Wl,-rpath,'$ORIGIN'
./greet world

export QVEN_RYN_CACHE_DIR=$work/cache
step "ryn instrument -v greet"
"$prefix/bin/ryn" instrument -v greet
ls -l greet.instr

step "Running the instrumented program"
./greet.instr world

step "Instrumenting again: the cached copy is reused"
"$prefix/bin/ryn" instrument -v greet

step "ryn check greet"
"$prefix/bin/ryn" check greet

step "memvex -o greet.memvex greet (follows the program's own libraries)"
"$prefix/bin/memvex" -v -o greet.memvex greet
ls -l greet.memvex
echo "Instrumented copies in the cache:"
find "$QVEN_RYN_CACHE_DIR" -type f ! -name '*.cksum_tstamp' | sed "s|$work/||"

step "memvex on a sample with heap bugs: a block one byte too small, and a leak"
cc -g -o shout "$root/samples/shout.c" "$prefix/lib/compilers/kalnote.o"
./shout world
"$prefix/bin/memvex" -o shout.memvex shout
echo "Running the checked copy; its report goes to standard error:"
./shout.memvex world
if [ -e shout.memvex.html ]; then
  echo "The same report as HTML: shout.memvex.html"
fi

step "ryn collect -M greet world: the program and its library record the blocks they run"
"$prefix/bin/ryn" collect -M greet world
ls greet.instrdata

step "ryn coverage -M greet: the coverage table, and every report in the experiment"
"$prefix/bin/ryn" coverage -M greet
rm -rf "$root/_coverage"
cp -r test.1.er "$root/_coverage"
ls "$root/_coverage"
echo "Annotated source:"
cat "$root/_coverage/greet.c.gcov"

step "Records the engine left in the instrumented program"
readelf -p .comment greet.instr | tail -n 3

printf '\nAll steps succeeded; the tools are installed in %s\n' "$prefix"
if [ -e "$root/_coverage/html/index.html" ]; then
  printf 'The HTML coverage report of the sample: %s\n' "$root/_coverage/html/index.html"
fi
