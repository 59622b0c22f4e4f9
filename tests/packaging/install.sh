#!/bin/bash
# The installed tree: `cmake --install` of this build into a scratch prefix,
# then, from that prefix only, every program's usage and version, the
# embedding example compiled with pkg-config and with find_package and its
# ranking checked against KvQBE's, the libraries' SONAMEs and run paths (none
# into the build tree), a man page for every program, every public header
# compiling on its own, a C program over kivo.h, the Tcl package loaded by
# tclsh and the Python module imported by python3.
. "$KIVO_SOURCE_DIR/tests/e2e/lib/check.bash"
. "$KIVO_SOURCE_DIR/tests/packaging/lib/catalog.bash"
unset KivoImagePath KivoMaskPath KivoTextPath KivoDatabaseName KivoConnectMode KivoConnectClass
unset LD_LIBRARY_PATH PKG_CONFIG_PATH CMAKE_PREFIX_PATH TCLLIBPATH

W=$(e2e_workdir install)
trap 'rm -rf "$W"' EXIT
P="$W/prefix"
fail() {
  echo "FAIL: $*"
  E2E_FAILURES=$((E2E_FAILURES + 1))
}

if ! cmake --install "$KIVO_BIN" --prefix "$P" >"$W/install.log" 2>&1; then
  cat "$W/install.log"
  echo "FAIL: cmake --install"
  exit 1
fi
version=$(sed -n 's/^#define KIVO_VERSION_STRING "\(.*\)"/\1/p' "$P/include/kivo/core/KvVersion.h")
major=${version%%.*}
[ -n "$version" ] || fail "no version in the installed KvVersion.h"

# Programs: the same usage text as the build tree's, versions, man pages.
same_output() {  # LABEL COMMAND-ARGS... (run from the prefix and the build tree)
  local label=$1 program=$2
  shift 2
  "$P/bin/$program" "$@" >"$W/installed.out" 2>&1
  local rc=$?
  "$KIVO_BIN/$program" "$@" >"$W/built.out" 2>&1
  [ $rc = $? ] || fail "$label: exit status $rc differs from the build tree's"
  [ -s "$W/installed.out" ] || fail "$label: no output"
  e2e_compare "$label" "$W/built.out" "$W/installed.out"
}
same_output "KvMkDbs usage" KvMkDbs
same_output "KvQBE usage" KvQBE -h
same_output "KvMkThmb usage" KvMkThmb
same_output "KvDumpDb usage" KvDumpDb
same_output "KvQSrv --help" KvQSrv --help
same_output "kivo --help" kivo --help
printf 'puts [llength [info commands kivo_*]]\n' >"$W/count.tcl"
same_output "kivotcl commands" kivotcl "$W/count.tcl"
e2e_run "KvQSrv --version" <(echo "KvQSrv $version") - 0 "$P/bin/KvQSrv" --version
e2e_run "kivo --version" <(echo "kivo $version") - 0 "$P/bin/kivo" --version
for program in "$P"/bin/*; do
  name=$(basename "$program")
  gzip -dc "$P/share/man/man1/$name.1.gz" 2>/dev/null | grep -q '^\.TH' || fail "no man page for $name"
done
for doc in README.md LICENSE copyright; do
  [ -s "$P/share/doc/kivo/$doc" ] || fail "no $doc in share/doc/kivo"
done

# Libraries: versioned, and every run path relative to the file.
for lib in KvApi KvExt; do
  soname=$(readelf -d "$P/lib/lib$lib.so.$version" 2>/dev/null | sed -n 's/.*(SONAME).*\[\(.*\)\]/\1/p')
  [ "$soname" = "lib$lib.so.$major" ] || fail "lib$lib: SONAME '$soname'"
  [ "$(readlink "$P/lib/lib$lib.so")" = "lib$lib.so.$major" ] || fail "lib$lib.so: not a link to the SONAME"
done
while IFS= read -r file; do
  if readelf -h "$file" >/dev/null 2>&1; then
    runpath=$(readelf -d "$file" | sed -n 's/.*(RUNPATH).*\[\(.*\)\]/\1/p;s/.*(RPATH).*\[\(.*\)\]/\1/p')
    case "$runpath" in
      "" | '$ORIGIN'*) ;;
      *) fail "$file: run path '$runpath'" ;;
    esac
    if grep -q --fixed-strings "$KIVO_BIN" "$file"; then fail "$file names the build tree"; fi
  fi
done < <(find "$P" -type f)

# Headers: each compiles alone from include/kivo.
find "$P/include/kivo" -name '*.h' | sed "s|^$P/include/kivo/||" >"$W/headers"
xargs -P 2 -I{} sh -c 'echo "#include \"{}\"" | g++ -std=c++17 -fsyntax-only -x c++ -I"$0/include/kivo" - \
  || echo "FAIL: header {} does not compile on its own"' "$P" <"$W/headers" >"$W/headers.log" 2>&1
if grep -q FAIL "$W/headers.log"; then
  cat "$W/headers.log"
  E2E_FAILURES=$((E2E_FAILURES + 1))
fi

# A catalog to query: six two-colour images, built by the installed KvMkDbs.
cd "$W" || exit 1
packaging_catalog "$P/bin" || fail "installed KvMkDbs could not build the catalog"

# The example, with pkg-config (the run path given on the link line, since
# the prefix is not a system library directory) and with find_package.
export PKG_CONFIG_PATH="$P/lib/pkgconfig"
[ "$(pkg-config --modversion kivo)" = "$version" ] || fail "pkg-config --modversion kivo"
if g++ -std=c++17 -Wall -Wextra -Werror "$KIVO_SOURCE_DIR/examples/query_catalog.cpp" \
  $(pkg-config --cflags --libs kivo) -Wl,-rpath,"$(pkg-config --variable=libdir kivo)" -o example-pc; then
  e2e_run "example (pkg-config)" want.txt - 0 ./example-pc db photos images/redish.ppm 4
else
  fail "the example does not build with pkg-config"
fi
# The C interface from C: kivo.h and libKvCApi through kivo.pc.
if gcc -std=c99 -Wall -Wextra -Werror "$PACKAGING_LIB/capi_query.c" $(pkg-config --cflags --libs kivo) \
  -Wl,-rpath,"$(pkg-config --variable=libdir kivo)" -o capi; then
  e2e_run "C interface (pkg-config)" want.txt - 0 ./capi
else
  fail "a C program does not build against kivo.h"
fi
unset PKG_CONFIG_PATH
if cmake -S "$KIVO_SOURCE_DIR/examples" -B example-cmake -DCMAKE_PREFIX_PATH="$P" >cmake.log 2>&1 &&
  cmake --build example-cmake >>cmake.log 2>&1; then
  e2e_run "example (find_package)" want.txt - 0 example-cmake/query_catalog db photos images/redish.ppm 4
else
  cat cmake.log
  fail "the example does not build with find_package"
fi

# The Tcl package, from the prefix's Tcl package directory.
cat >query.tcl <<'TCL'
set s [kivo_start photos db r]
kivo_add_feature $s KvColorFeatureClass
kivo_add_feature $s KvColorHistogramFeatureClass
kivo_set_keys_return $s 4
puts -nonewline [kivo_query_image $s images/redish.ppm]
kivo_end $s
TCL
printf 'puts "kivo [package require kivo]"\nsource query.tcl\n' >pkg.tcl
{
  echo "kivo $version"
  "$P/bin/kivotcl" query.tcl
} >want-tcl.txt
TCLLIBPATH="$P/lib/tcltk" e2e_run "package require kivo (tclsh)" want-tcl.txt - 0 tclsh pkg.tcl

# The Python module, from the prefix's dist-packages.
python_dir=$(echo "$P"/lib/python3*/dist-packages)
PYTHONPATH="$python_dir" e2e_run "import kivo (python3)" want.txt - 0 /usr/bin/python3 "$PACKAGING_LIB/query.py"

e2e_finish
