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
