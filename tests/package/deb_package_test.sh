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

# What the runs below do not use must be there all the same.
usr=$work/root/usr
dpkg -x "$deb" "$work/root"
for file in bin/zentor bin/memvex lib/compilers/libryn_driver.so lib/compilers/ryn.rc \
            lib/compilers/amd64/libmemvex.so share/man/man1/{ryn,zentor,memvex}.1 \
            share/man/man5/ryn.rc.5 share/bash-completion/completions/{ryn,memvex}; do
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
hide=(sh "$work/runs.sh")
if unshare -m true 2>/dev/null; then
  hide=(unshare -m sh -c "mount -t tmpfs none '$build' && mount -t tmpfs none '$source' && exec sh '$work/runs.sh'")
else
  echo "note: no mount namespace here, so the build and source trees stay visible"
fi
env -i PATH=/usr/bin:/bin HOME="$work" QVEN_RYN_CACHE_DIR="$work/cache" "${hide[@]}" \
  >"$work/out" 2>"$work/err" || { cat "$work/out" "$work/err"; fail "the installed tools failed"; }

grep -qx "ryn: Binary Instrumentation Driver 1.0" "$work/out" || fail "no version line"
grep -q '  Total (' "$work/out" || { cat "$work/out"; fail "no coverage table"; }
for source_file in greet.c libgreet.c; do
  grep -q "^SF:.*/$source_file\$" test.1.er/coverage.info || fail "$source_file not in the tracefile"
done
# The dry run names the engine it would run: the installed one.
grep -q "^$usr/lib/compilers/morphel " "$work/err" || { cat "$work/err"; fail "engine not from the package"; }
echo "package $deb: installed tree runs on its own"
