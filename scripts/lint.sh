#!/usr/bin/env bash
# Checks the layout of every C and C++ source (.clang-format), that the
# driver's names stay in its namespace, and runs clang-tidy (the checks in
# .clang-tidy, warnings as errors) over the driver, the message table, the
# path functions and the launcher, using the compile commands of a configured
# build directory (default: build).
set -euo pipefail
cd "$(dirname "$0")/.."

build_dir=${1:-build}
if [ ! -f "$build_dir/compile_commands.json" ]; then
  echo "lint: no $build_dir/compile_commands.json; configure the build first" >&2
  exit 1
fi
# The fixture programs keep their layout: tests name their line numbers.
format=$(command -v clang-format-14 || command -v clang-format)
git ls-files -z '*.cpp' '*.h' '*.c' ':!tests/fixtures/' |
  xargs -0 "$format" --dry-run --Werror 2> "$build_dir/format.log" ||
  { grep -E "(warning|error):" "$build_dir/format.log" | head -20 >&2
    echo "lint: sources not laid out as .clang-format says; run clang-format -i on them" >&2
    exit 1; }
echo "lint: layout as .clang-format says"

# Every name the driver defines lives in namespace ryn (or an anonymous one);
# only the C interface of exports.map stays global, because the launcher and
# other programs find it by its unmangled name. A new helper left in the global
# namespace would collide with a same-named one in a program that loads the
# driver, so this fails the build.
exported=$(sed -n '/global:/,/local:/p' src/driver/exports.map | tr -d ' ;' | grep -E '^[A-Za-z_]')
layers=("$build_dir"/src/driver/libryn_util.a "$build_dir"/src/driver/libryn_cache.a
        "$build_dir"/src/driver/libryn_driver.a)
for layer in "${layers[@]}"; do
  [ -f "$layer" ] || { echo "lint: no $layer; build the driver first" >&2; exit 1; }
done
# Classifies each demangled name by the scope before its first "::" outside
# brackets, after dropping prefixes such as "vtable for" and clone suffixes;
# compiler labels and static initialisers are left out.
strays=$(nm -C --defined-only "${layers[@]}" | sed -n 's/^[0-9a-f]* [A-Za-z] //p' |
  awk -v exported=" $(echo $exported) " '
    /^\.L|^DW\.ref\.|^_GLOBAL__sub_I_/ { next }
    {
      name = $0
      sub(/^(typeinfo name for|typeinfo for|vtable for|VTT for|construction vtable for|guard variable for|non-virtual thunk to|virtual thunk to) /, "", name)
      gsub(/\(anonymous namespace\)/, "anon", name)
      sub(/\.(cold|constprop|isra|part)(\.[0-9]+)*$/, "", name)
      depth = 0; scope = ""
      for (i = 1; i < length(name); i++) {
        c = substr(name, i, 1)
        if (c == "<" || c == "(") depth++
        else if (c == ">" || c == ")") depth--
        else if (depth == 0 && substr(name, i, 2) == "::") {
          scope = substr(name, 1, i - 1); sub(/.* /, "", scope); break
        }
      }
      if (scope == "ryn" || scope == "anon" || scope == "std" || scope == "__gnu_cxx") next
      if (scope == "" && index(exported, " " name " ") > 0) next
      print $0
    }' | sort -u)
if [ -n "$strays" ]; then
  echo "lint: names defined outside namespace ryn in the driver libraries:" >&2
  echo "$strays" >&2
  exit 1
fi
echo "lint: driver names in namespace ryn; global: only the exports.map interface"

tidy=$(command -v run-clang-tidy-14 || command -v run-clang-tidy)
# Headers are checked through the sources that include them.
"$tidy" -p "$build_dir" -j2 -quiet "$PWD/src/(driver|i18n|pathutil|launcher)/.*\\.cpp$" \
  > "$build_dir/lint.log" 2>&1 || { sed 's/\x1b\[[0-9;]*m//g' "$build_dir/lint.log" | grep -A3 -E "(warning|error):" >&2; exit 1; }
echo "lint: clean"
