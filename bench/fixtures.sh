# shellcheck shell=bash
# Generated programs for the benchmarks; sourced. Needs $kalnote (the
# annotation object of the install tree under test).

# make_libraries DIR FIRST LAST MIB: annotated libraries DIR/libI.so for I
# from FIRST to LAST, each defining libI_entry and, when MIB > 0, a blob of
# MIB MiB. Built two at a time: a thousand of them take a while.
make_libraries() {
  local dir=$1 first=$2 last=$3 mib=$4 i
  : "${kalnote:?the annotation object}"
  mkdir -p "$dir"
  for i in $(seq "$first" "$last"); do
    [ -e "$dir/lib$i.so" ] && continue
    {
      echo "int lib${i}_entry(int x) { return x + $i; }"
      if [ "$mib" -gt 0 ]; then
        echo "__attribute__((used)) const char lib${i}_blob[$mib << 20] = { $i };"
      fi
    } > "$dir/lib$i.c"
    echo "$i"
  done | xargs -r -P 2 -I{} cc -O1 -shared -fPIC -o "$dir/lib{}.so" "$dir/lib{}.c" "$kalnote"
}

# make_program DIR LIBS MIB [NAME]: DIR/NAME (default prog) linked against
# DIR/lib1.so .. libLIBS.so (built when missing) and calling each, so that
# the dependency listing sees every one of them.
make_program() {
  local dir=$1 n=$2 mib=$3 name=${4:-prog} i
  make_libraries "$dir" 1 "$n" "$mib"
  {
    echo '#include <stdio.h>'
    for i in $(seq 1 "$n"); do echo "int lib${i}_entry(int);"; done
    echo 'int main(void) {'
    echo '  int sum = 1;'
    for i in $(seq 1 "$n"); do echo "  sum += lib${i}_entry(sum);"; done
    printf '  printf("%%d\\n", sum);\n'
    echo '  return 0;'
    echo '}'
  } > "$dir/$name.c"
  local flags=()
  for i in $(seq 1 "$n"); do flags+=("-l$i"); done
  cc -O1 -o "$dir/$name" "$dir/$name.c" "$kalnote" -L"$dir" -Wl,--no-as-needed "${flags[@]}" \
    -Wl,-rpath,"$dir"
}
