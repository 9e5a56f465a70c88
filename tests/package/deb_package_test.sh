#!/usr/bin/env bash
# Builds the Debian package, unpacks it into a temporary root and runs the
# unpacked tools there: the version, and a coverage run of the sample program
# and its library. Where a mount namespace can be made, the build and source
# trees are hidden during the runs, so any dependence on them fails.
# Usage: deb_package_test.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
build=$(cd "$1" && pwd)
source=$(cd "$2" && pwd)

if ! command -v dpkg-deb >/dev/null; then
  echo "SKIPPED: dpkg-deb is not installed (package dpkg), so no .deb can be built"
  exit 77
fi

work=$(mktemp -d /tmp/ryn_deb.XXXXXX)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work/pkg" >"$work/cpack.log" 2>&1 \
  || { cat "$work/cpack.log"; fail "cpack"; }
deb=$(ls "$work"/pkg/ryn_*_amd64.deb)

# Dependencies come from the binaries themselves.
depends=$(dpkg-deb -f "$deb" Depends)
for library in libc6 libelf1 libdw1 libmd0 libzydis libstdc++6; do
  [[ $depends == *"$library"* ]] || fail "Depends lacks $library: $depends"
done

root=$work/root
dpkg -x "$deb" "$root"
usr=$root/usr
for file in bin/ryn bin/zentor bin/memvex lib/compilers/libryn_driver.so lib/compilers/morphel \
            lib/compilers/ryn.rc lib/compilers/kalnote.o lib/compilers/amd64/ryndl.so \
            lib/compilers/amd64/libmemvex.so lib/analyzer/er_ryn share/man/man1/ryn.1 \
            share/man/man1/zentor.1 share/man/man1/memvex.1 share/man/man5/ryn.rc.5 \
            share/bash-completion/completions/ryn share/bash-completion/completions/memvex; do
  [ -e "$usr/$file" ] || fail "the package lacks /usr/$file"
done

# No run path may lead anywhere but into the installed tree.
while IFS= read -r -d '' file; do
  if runpath=$(readelf -d "$file" 2>/dev/null | grep -E 'R(UN)?PATH'); then
    [[ $runpath == *'[$ORIGIN/../lib/compilers]'* ]] || fail "$file has $runpath"
  fi
done < <(find "$usr" -type f -print0)

# The sample, built before the trees are hidden.
mkdir "$work/run"
cp "$source"/samples/greet.c "$source"/samples/libgreet.c "$work/run/"
cd "$work/run"
cc -g -shared -fPIC -o libgreet.so libgreet.c "$usr/lib/compilers/kalnote.o"
cc -g -o greet greet.c "$usr/lib/compilers/kalnote.o" -L. -lgreet -Wl,-rpath,'$ORIGIN'

cat >"$work/runs.sh" <<RUNS
set -eu
cd "$work/run"
"$usr/bin/ryn" -V
"$usr/bin/ryn" collect -M greet world
"$usr/bin/ryn" coverage -M greet
"$usr/bin/ryn" instrument -n -v -v greet
RUNS
hide=()
if unshare -m true 2>/dev/null; then
  hide=(unshare -m sh -c "mount -t tmpfs none '$build' && mount -t tmpfs none '$source' && exec sh '$work/runs.sh'")
else
  echo "note: no mount namespace here, so the build and source trees stay visible"
  hide=(sh "$work/runs.sh")
fi
env -i PATH=/usr/bin:/bin HOME="$work" QVEN_RYN_CACHE_DIR="$work/cache" "${hide[@]}" \
  >"$work/out" 2>"$work/err" || { cat "$work/out" "$work/err"; fail "the installed tools failed"; }

grep -qx "ryn: Binary Instrumentation Driver 1.0" "$work/out" || fail "no version line"
grep -q '^Total ' "$work/out" || { cat "$work/out"; fail "no coverage table"; }
grep -q '^SF:.*/greet\.c$' test.1.er/coverage.info || fail "greet.c not in the tracefile"
grep -q '^SF:.*/libgreet\.c$' test.1.er/coverage.info || fail "libgreet.c not in the tracefile"
# The dry run names the engine it would run: the installed one.
grep -q "^$usr/lib/compilers/morphel " "$work/err" || { cat "$work/err"; fail "engine not from the package"; }
echo "package $deb: installed tree runs on its own"
