# Helpers for the end-to-end scripts: run a program and compare its standard
# output, standard error and exit status with expected values.
set -u

: "${KIVO_BIN:?KIVO_BIN must name the build directory}"
: "${KIVO_SOURCE_DIR:?KIVO_SOURCE_DIR must name the source directory}"
E2E_EXPECTED="$KIVO_SOURCE_DIR/tests/e2e/expected"
E2E_FAILURES=0

# e2e_workdir NAME: a fresh scratch directory for one script.
e2e_workdir() {
  local base="${KIVO_TEST_TMP:-${TMPDIR:-/tmp}}"
  mkdir -p "$base"
  mktemp -d "$base/$1.XXXXXX"
}

# e2e_compare LABEL EXPECTED_FILE ACTUAL_FILE
e2e_compare() {
  if ! cmp -s "$2" "$3"; then
    echo "FAIL: $1: output differs from $(basename "$2")"
    diff -u "$2" "$3" | head -40
    E2E_FAILURES=$((E2E_FAILURES + 1))
  fi
}

# e2e_run LABEL EXPECTED_STDOUT EXPECTED_STDERR EXPECTED_STATUS PROGRAM ARGS...
# Expected files may be "-" for an empty stream.
e2e_run() {
  local label=$1 want_out=$2 want_err=$3 want_rc=$4
  shift 4
  local out err rc
  out=$(mktemp) err=$(mktemp)
  "$@" >"$out" 2>"$err"
  rc=$?
  [ "$want_out" = - ] && want_out=/dev/null
  [ "$want_err" = - ] && want_err=/dev/null
  e2e_compare "$label (stdout)" "$want_out" "$out"
  e2e_compare "$label (stderr)" "$want_err" "$err"
  if [ "$rc" != "$want_rc" ]; then
    echo "FAIL: $label: exit status $rc, expected $want_rc"
    E2E_FAILURES=$((E2E_FAILURES + 1))
  fi
  rm -f "$out" "$err"
}

e2e_finish() {
  if [ "$E2E_FAILURES" -ne 0 ]; then
    echo "$E2E_FAILURES check(s) failed"
    exit 1
  fi
  echo "all checks passed"
  exit 0
}

# Transcript checks: each step appends its label, command, standard output,
# standard error and exit status to one transcript, which e2e_transcript_check
# compares with an expected file. Programs are named without their directory.
E2E_TRANSCRIPT=""

e2e_transcript_start() {
  E2E_TRANSCRIPT=$(mktemp)
}

# e2e_step LABEL PROGRAM ARGS...
e2e_step() {
  local label=$1
  shift
  local out err rc
  out=$(mktemp) err=$(mktemp)
  "$@" >"$out" 2>"$err"
  rc=$?
  {
    echo "=== $label"
    printf '$ %s' "$(basename "$1")"
    shift
    printf ' %s' "$@"
    printf '\n--- stdout\n'
    cat "$out"
    printf -- '--- stderr\n'
    cat "$err"
    printf -- '--- status %s\n' "$rc"
  } >>"$E2E_TRANSCRIPT"
  rm -f "$out" "$err"
}

# e2e_note TEXT: a line of context in the transcript.
e2e_note() {
  echo "### $*" >>"$E2E_TRANSCRIPT"
}

# e2e_transcript_check EXPECTED_FILE [SAVE_AS]: compares the transcript.
e2e_transcript_check() {
  e2e_compare "transcript" "$1" "$E2E_TRANSCRIPT"
  if [ -n "${E2E_SAVE_TRANSCRIPT:-}" ]; then cp "$E2E_TRANSCRIPT" "$E2E_SAVE_TRANSCRIPT"; fi
  rm -f "$E2E_TRANSCRIPT"
}

# e2e_ppm WIDTH HEIGHT LEFT RIGHT: a binary PPM image on standard output whose
# left half has colour LEFT and right half colour RIGHT, each given as a
# printf escape of three bytes ('\xff\x00\x00' is red).
e2e_ppm() {
  local w=$1 h=$2 left=$3 right=$4 x y
  printf 'P6\n%d %d\n255\n' "$w" "$h"
  for ((y = 0; y < h; y++)); do
    for ((x = 0; x < w; x++)); do
      if ((x < w / 2)); then printf "$left"; else printf "$right"; fi
    done
  done
}
