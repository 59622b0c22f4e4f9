#!/bin/bash
# The Debian package: cpack builds it from this tree into a scratch
# directory; its control data and contents are inspected (dpkg-deb -I, -c);
# then, as root, apt installs it on this machine, the installed programs, C
# library, Python module and Tcl package are used from /usr alone (a catalog
# built and queried, compared with the build tree's answers), and apt purges
# it again, leaving none of its files behind. Not root, or with a kivo package
# already installed here, the installation part is skipped (status 77).
. "$KIVO_SOURCE_DIR/tests/e2e/lib/check.bash"
. "$KIVO_SOURCE_DIR/tests/packaging/lib/catalog.bash"
unset KivoImagePath KivoMaskPath KivoTextPath KivoDatabaseName KivoConnectMode KivoConnectClass
unset LD_LIBRARY_PATH PKG_CONFIG_PATH CMAKE_PREFIX_PATH TCLLIBPATH PYTHONPATH

W=$(e2e_workdir deb)
installed_by_us=0
cleanup() {
  if [ "$installed_by_us" = 1 ]; then
    DEBIAN_FRONTEND=noninteractive apt-get purge -y -qq -o DPkg::Lock::Timeout=300 kivo >/dev/null 2>&1
  fi
  rm -rf "$W"
}
trap cleanup EXIT
fail() {
  echo "FAIL: $*"
  E2E_FAILURES=$((E2E_FAILURES + 1))
}

if ! cpack --config "$KIVO_BIN/CPackConfig.cmake" -B "$W/pkg" >"$W/cpack.log" 2>&1; then
  cat "$W/cpack.log"
  echo "FAIL: cpack"
  exit 1
fi
version=$(sed -n 's/^#define KIVO_VERSION_STRING "\(.*\)"/\1/p' "$KIVO_BIN/generated/core/KvVersion.h")
deb=$(echo "$W"/pkg/kivo_"$version"_*.deb)
[ -f "$deb" ] || {
  ls "$W/pkg"
  echo "FAIL: no kivo_${version}_<arch>.deb"
  exit 1
}

# Control data: name, version, and a dependency on every Debian library the
# programs link (found by dpkg-shlibdeps) and on the Python the module is for.
field() { dpkg-deb -f "$deb" "$1"; }
[ "$(field Package)" = kivo ] || fail "Package: '$(field Package)'"
[ "$(field Version)" = "$version" ] || fail "Version: '$(field Version)', expected $version"
[ "$(field Architecture)" = "$(dpkg --print-architecture)" ] || fail "Architecture: '$(field Architecture)'"
depends=$(field Depends)
for lib in libc6 libstdc++6 libdb5.3 liblept5 libtcl8.6 libjpeg62-turbo libpng16-16 libheif1 libhwy1 libxxhash0 \
  libexiv2-27 python3; do
  case ", $depends," in
    *", $lib "* | *", $lib,"*) ;;
    *) fail "Depends lacks $lib: $depends" ;;
  esac
done
case "$depends" in *kivo* | *libKv*) fail "the package depends on itself: $depends" ;; esac
dpkg-deb -I "$deb" shlibs >"$W/shlibs" 2>/dev/null || fail "no shlibs control file"
for lib in KvApi KvExt KvCApi; do
  grep -q "^lib$lib 1 kivo (>= $version)" "$W/shlibs" || fail "shlibs lacks lib$lib"
done

# Contents: everything under /usr, in the places Debian's programs look.
dpkg-deb -c "$deb" | awk '{print $6}' | sed 's|^\./|/|' >"$W/contents"
grep -v '^/usr/' "$W/contents" && fail "files outside /usr"
python_dir=$(/usr/bin/python3 -c 'import sys; print("/usr/lib/python%d.%d/dist-packages" % sys.version_info[:2])')
for path in /usr/bin/KvMkDbs /usr/bin/KvQBE /usr/bin/KvMkThmb /usr/bin/KvDumpDb /usr/bin/KvQSrv /usr/bin/kivo \
  /usr/bin/kivotcl "/usr/lib/libKvApi.so.$version" /usr/lib/libKvApi.so.1 /usr/lib/libKvApi.so \
  "/usr/lib/libKvCApi.so.$version" /usr/include/kivo/kivo.h /usr/include/kivo/core/KvVersion.h \
  /usr/lib/pkgconfig/kivo.pc /usr/lib/cmake/Kivo/KivoConfig.cmake \
  "/usr/lib/tcltk/kivo$version/pkgIndex.tcl" /usr/share/man/man1/KvQBE.1.gz /usr/share/man/man1/kivo.1.gz \
  /usr/share/doc/kivo/copyright /usr/share/doc/kivo/LICENSE /usr/share/doc/kivo/README.md; do
  grep -qx -- "$path" "$W/contents" || fail "the package lacks $path"
done
grep -qx -- "$python_dir/kivo\.cpython-.*\.so" "$W/contents" || fail "the package lacks the Python module"

if [ "$E2E_FAILURES" -ne 0 ]; then e2e_finish; fi
if [ "$(id -u)" -ne 0 ] || ! command -v apt-get >/dev/null; then
  echo "SKIP: installing the package needs root and apt-get (the package itself was checked)"
  exit 77
fi

# One installation at a time on this machine, whoever runs the test.
exec 9>/var/lock/kivo-package-test.lock
flock -w 900 9 || {
  echo "FAIL: another package test holds /var/lock/kivo-package-test.lock"
  exit 1
}
if dpkg-query -W -f='${Status}' kivo 2>/dev/null | grep -q 'ok installed'; then
  echo "SKIP: a kivo package is already installed here; it is left alone"
  exit 77
fi

export DEBIAN_FRONTEND=noninteractive
if ! apt-get install -y -q --no-install-recommends -o DPkg::Lock::Timeout=300 "$deb" >"$W/apt.log" 2>&1; then
  cat "$W/apt.log"
  dpkg-query -W kivo >/dev/null 2>&1 && installed_by_us=1
  echo "FAIL: apt-get install"
  exit 1
fi
installed_by_us=1
dpkg -L kivo | sort >"$W/owned"
while IFS= read -r path; do
  [ -d "$path" ] && ! [ -L "$path" ] && echo "$path"
done <"$W/owned" >"$W/owned-dirs"
grep -vxFf "$W/owned-dirs" "$W/owned" >"$W/owned-files"
cmp -s <(grep -v '/$' "$W/contents" | sort) "$W/owned-files" || fail "dpkg -L kivo differs from the package's files"

# The installed programs, from /usr only.
cd "$W" || exit 1
e2e_run "kivo --version" <(echo "kivo $version") - 0 /usr/bin/kivo --version
e2e_run "KvQSrv --version" <(echo "KvQSrv $version") - 0 /usr/bin/KvQSrv --version
for program in KvMkDbs KvQBE KvMkThmb KvDumpDb KvQSrv kivo kivotcl; do
  man -w "$program" >/dev/null 2>&1 || [ -s "/usr/share/man/man1/$program.1.gz" ] || fail "no man page for $program"
done
packaging_catalog /usr/bin || fail "the installed KvMkDbs could not build the catalog"
e2e_run "installed KvQBE" want-qbe.txt - 0 /usr/bin/KvQBE -d db -c photos "${PACKAGING_FEATURES[@]}" \
  -I images/redish.ppm -n 4

# The C library from the system's library directories: no run path given.
[ "$(pkg-config --modversion kivo)" = "$version" ] || fail "pkg-config --modversion kivo"
if gcc -std=c99 -Wall -Wextra -Werror "$PACKAGING_LIB/capi_query.c" $(pkg-config --cflags --libs kivo) -o capi 2>cc.log; then
  e2e_run "C program over the installed library" want.txt - 0 ./capi
else
  cat cc.log
  fail "a C program does not build against the installed kivo.h"
fi

# The interpreters find the modules in their own directories.
printf 'puts [package require kivo]\n' >pkg.tcl
e2e_run "package require kivo (tclsh)" <(echo "$version") - 0 tclsh pkg.tcl
e2e_run "import kivo (python3)" want.txt - 0 /usr/bin/python3 "$PACKAGING_LIB/query.py"
e2e_run "the module's place" <(ls "$python_dir"/kivo.cpython-*.so) - 0 \
  /usr/bin/python3 -c 'import kivo; print(kivo.__file__)'

# Removal: every file gone, every directory of its own gone, the libraries
# out of the dynamic linker's cache.
if ! apt-get purge -y -q -o DPkg::Lock::Timeout=300 kivo >"$W/purge.log" 2>&1; then
  cat "$W/purge.log"
  fail "apt-get purge"
fi
if dpkg-query -W -f='${Status}' kivo 2>/dev/null | grep -q installed; then
  fail "kivo is still installed after the purge"
else
  installed_by_us=0
fi
while IFS= read -r path; do
  if [ -e "$path" ] || [ -L "$path" ]; then fail "left behind: $path"; fi
done <"$W/owned-files"
while IFS= read -r dir; do
  if [ -d "$dir" ] && ! dpkg -S "$dir" >/dev/null 2>&1 && [ -z "$(ls -A "$dir")" ]; then
    fail "left behind: empty directory $dir"
  fi
done <"$W/owned-dirs"
for dir in /usr/include/kivo /usr/lib/cmake/Kivo /usr/share/doc/kivo "/usr/lib/tcltk/kivo$version"; do
  [ -e "$dir" ] && fail "left behind: $dir"
done
ldconfig -p | grep -q 'libKv' && fail "the libraries are still in the dynamic linker's cache"

e2e_finish
