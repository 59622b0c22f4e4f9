#!/bin/bash
# kivotcl end-to-end: Tcl scripts (tests/e2e/kivotcl/) run by the real shell
# against real image files and catalogs in a scratch directory, and the
# session example of kivotcl/examples; the whole transcript (standard output,
# standard error and exit status of each run) is compared with
# expected/kivotcl.txt. Each script prints every command it runs, its return
# code and its result, so the transcript also shows where the library's own
# output falls among the script's.
. "$(dirname "$0")/lib/check.bash"
unset KivoImagePath KivoMaskPath KivoTextPath KivoDatabaseName KivoConnectMode KivoConnectClass BROWSER

TCL="$KIVO_BIN/kivotcl"
W=$(e2e_workdir kivotcl)
trap 'rm -rf "$W"' EXIT
cd "$W" || exit 1
cp "$KIVO_SOURCE_DIR"/tests/e2e/kivotcl/*.tcl "$KIVO_SOURCE_DIR"/kivotcl/examples/session.tcl .

# Image files (images/set1, images/set2), masks, keyword texts in the text
# directory derived for images/set1, and more keyword texts in words/ that
# are found only along KivoTextPath.
mkdir -p images/set1 images/set2 text/set1 words thumbs bin
e2e_ppm 40 20 '\xff\x00\x00' '\xff\x00\x00' >images/set1/red.ppm
e2e_ppm 40 20 '\xff\x80\x00' '\xff\x80\x00' >images/set1/orange.ppm
e2e_ppm 40 20 '\x00\xff\x00' '\x00\xff\x00' >images/set1/green.ppm
e2e_ppm 40 20 '\x00\x00\xff' '\x00\x00\xff' >images/set1/blue.ppm
e2e_ppm 40 20 '\xff\x00\x00' '\x00\x00\xff' >images/set1/redblue.ppm
e2e_ppm 20 10 '\xff\x00\x00' '\x00\x00\xff' >images/set1/flag.ppm
e2e_ppm 20 10 '\xff\xff\xff' '\x00\x00\x00' >images/set1/left.ppm
e2e_ppm 20 10 '\x00\x00\x00' '\xff\xff\xff' >images/set1/right.ppm
e2e_ppm 30 30 '\xff\xff\x00' '\xff\xff\x00' >images/set2/yellow.ppm
printf 'red sports car\n' >text/set1/red.ppm.txt
printf 'orange car\n' >text/set1/orange.ppm.txt
printf 'blue sky\n' >text/set1/blue.ppm.txt
printf 'flag red blue sky\n' >words/redblue.ppm.txt
printf 'green grass\n' >words/green.ppm.txt

# Stand-ins for a browser, xdg-open and a sound player: each records its name
# and arguments; the player "plays" a sound whose name begins with slow until
# it is stopped.
cat >bin/fakebrowser <<'SCRIPT'
#!/bin/sh
echo "${0##*/} $*" >>browsed.txt
SCRIPT
cp bin/fakebrowser bin/xdg-open
cat >bin/paplay <<'SCRIPT'
#!/bin/sh
echo "${0##*/} $*" >>played.txt
case "$1" in slow*) exec /bin/sleep 30 ;; esac
SCRIPT
chmod +x bin/*

# from_stdin FILE: the shell reading its commands from standard input.
from_stdin() { "$TCL" <"$1"; }
printf 'puts [kivo_start]\nputs [kivo_start]\nkivo_end kivo1\nputs [kivo_start]\n' >stdin.tcl
printf 'puts before\nkivo_start a b\nputs after\n' >uncaught.tcl

# Two untouched copies of the folder for the package check below.
P1=$(e2e_workdir kivotcl-shell) P2=$(e2e_workdir kivotcl-package)
trap 'rm -rf "$W" "$P1" "$P2"' EXIT
cp -a . "$P1" && cp -a . "$P2"

e2e_transcript_start
e2e_step "commands without a catalog" "$TCL" commands.tcl
e2e_step "sessions on a real catalog" "$TCL" catalog.tcl
e2e_step "shell utilities" "$TCL" utilities.tcl
e2e_step "the session example" "$TCL" session.tcl example
e2e_step "commands from standard input" from_stdin stdin.tcl
e2e_step "an uncaught error ends the script" "$TCL" uncaught.tcl
e2e_transcript_check "$E2E_EXPECTED/kivotcl.txt"

# The loadable package gives tclsh the shell's commands from the same code:
# the command and catalog scripts print in tclsh, after package require kivo,
# what they print in kivotcl. (A sanitizer build's package cannot be loaded
# by an uninstrumented tclsh.)
PKG_DIR=$(echo "$KIVO_BIN"/tcl/kivo*)
# (gcc links the sanitizer runtime as a library, clang leaves its symbols
# to the executable.)
instrumented() {
  ldd "$PKG_DIR"/*.so | grep -q -e libasan -e libtsan ||
    nm -D --undefined-only "$PKG_DIR"/*.so | grep -q -e __asan_ -e __tsan_
}
if [ -f "$PKG_DIR/pkgIndex.tcl" ] && ! instrumented; then
  printf 'package require kivo\nset argv0 [lindex $argv 0]\nsource $argv0\n' >"$P2/require.tcl"
  (cd "$P1" && for s in commands.tcl catalog.tcl; do "$TCL" "$s"; echo "status $?"; done) >"$W/shell.txt" 2>&1
  (cd "$P2" && for s in commands.tcl catalog.tcl; do TCLLIBPATH="$KIVO_BIN/tcl" tclsh require.tcl "$s"; echo "status $?"; done) \
    >"$W/package.txt" 2>&1
  e2e_compare "package require kivo in tclsh" "$W/shell.txt" "$W/package.txt"
fi
e2e_finish
