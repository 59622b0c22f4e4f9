#!/bin/bash
# KvQSrv on sharded catalogs under real mpirun: rank 0 serves the query
# socket exchange and every query text on a sharded catalog is evaluated by
# all the ranks. Through the real client, the answers are byte for byte those
# KvQSrv gives without MPI on one catalog holding every record (one feature,
# several, every record, a cascade, keyword restriction, a restriction set,
# a refused text); without mpirun KvQSrv answers the sharded catalog alike; a
# missing shard is an error answer naming it and the server goes on; SIGTERM
# to rank 0 or to mpirun ends every rank within a few seconds; a rank that
# dies ends the job.
. "$(dirname "$0")/lib/shard.bash"

ASK="$KIVO_BIN/tests/kvqsrv_ask"
SRV="$KIVO_BIN/KvQSrv"
[ -x "$ASK" ] || { echo "FAIL: no $ASK"; exit 1; }

# Three photos of each of four classes: a plain catalog and three shards.
for class in beach bus dinosaur flower; do
  [ -d "$PHOTOS/$class" ] || continue
  mkdir -p "photos/$class"
  for f in $(ls "$PHOTOS/$class" | head -3); do cp "$PHOTOS/$class/$f" "photos/$class/"; done
done
KEY=bus/$(ls photos/bus | sed -n 2p)
OTHER=dinosaur/$(ls photos/dinosaur | tail -1)
K="$KIVO_BIN/kivo"
FEATURES=(--folder-keywords -f photo -f colour -f texture -f text)
"$K" shard init -d db -c cat -n 3 >/dev/null && "$K" index -q -d db -c cat -j 2 "${FEATURES[@]}" photos &&
  "$K" index -q -d db -c plain -j 2 "${FEATURES[@]}" photos || exit 1
cp -r db broken
rm broken/*.cat.s1
mkdir scratch

# record CATALOG KEY: a stored example, as the data object writes it.
record() {
  local text="<           e $1 $2  >"
  printf '< %9d e %s %s  >' "${#text}" "$1" "$2"
}
# words WORDS: keywords as an example with no pixels.
words() {
  local body="p ${#1} $1xsize= 0 ysize= 0 subPart= 0  >"
  local text="<           $body"
  printf '< %9d %s' "${#text}" "$body"
}
# query FILE-STEM N RESTRICTION TERM...: the query text on catalog cat into
# STEM.cat and on catalog plain into STEM.plain; a TERM is
# "Feature|parameters|key:KEY" or "Feature|parameters|words:WORDS".
query() {
  local stem=$1 n=$2 restriction=$3 catalog term name parms example data
  shift 3
  for catalog in cat plain; do
    {
      printf 'query %s %s' "$n" "$catalog"
      [ -n "$restriction" ] && printf '\n [ %s ]' "$restriction"
      printf '\n{\n'
      for term in "$@"; do
        IFS='|' read -r name parms example <<<"$term"
        case $example in
          key:*) data=$(record "$catalog" "${example#key:}") ;;
          words:*) data=$(words "${example#words:}") ;;
        esac
        printf '  [ %s < %s > %s ]\n' "$name" "$parms" "$data"
      done
      printf '}\n'
    } >"$stem.$catalog"
  done
}

C=KvColorFeatureClass T=KvTextureFeatureClass H=KvCorrelogramFeatureClass W=KvTextFeatureClass
query colour 5 "" "$C|W=1|key:$KEY"
query every 40 "" "$T|W=1|key:$OTHER"
query several 6 "" "$C|W=1|key:$KEY" "$T|W=2|key:$KEY" "$H|W=1|key:$KEY"
query cascade 4 "" "$C|W=1:O=1|key:$KEY" "$T|W=1:O=2|key:$KEY"
query reranked 5 "" "$T|W=1:PRerank=8|key:$KEY" "$H|W=1:PZ=1,Rerank=8|key:$KEY"
query keywords 3 "" "$W|W=1:O=0|words:bus beach" "$C|W=1:O=1|key:$OTHER"
query matches 2 "" "$W|W=1|words:bus dinosaur"
query unknown 3 "" "KvNoSuchFeatureClass|W=1|key:$KEY"
CASES=(colour every several cascade reranked keywords matches unknown)

SERVER=0
# start_server NAME DB [RANKS]: KvQSrv in the background (under mpirun -np
# RANKS when given), its pid in $SERVER and its port in $PORT once it
# listens (at most 20 s).
start_server() {
  local name=$1 db=$2 i
  if [ $# -ge 3 ]; then
    "${MPIRUN[@]}" -np "$3" "$SRV" -d "$db" -e KivoServerPort=0 >"$name.out" 2>"$name.err" &
  else
    "$SRV" -d "$db" -e KivoServerPort=0 >"$name.out" 2>"$name.err" &
  fi
  SERVER=$!
  PORT=
  for i in $(seq 200); do
    PORT=$(sed -n 's#^KvQSrv: listening on 127.0.0.1:\([0-9]*\) with.*#\1#p' "$name.err")
    [ -n "$PORT" ] && return 0
    kill -0 "$SERVER" 2>/dev/null || break
    sleep 0.1
  done
  echo "FAIL: $name did not start"
  cat "$name.err"
  E2E_FAILURES=$((E2E_FAILURES + 1))
  return 1
}

# alive PID: the process runs (an exited one not yet reaped does not).
alive() {
  local state
  state=$(ps -o stat= -p "$1" 2>/dev/null)
  [ -n "$state" ] && [ "${state:0:1}" != Z ]
}

# rank_pid N: the pid of rank N among the processes mpirun $SERVER started.
rank_pid() {
  local pid
  for pid in $(pgrep -P "$SERVER"); do
    tr '\0' '\n' <"/proc/$pid/environ" 2>/dev/null | grep -qx "OMPI_COMM_WORLD_RANK=$1" && echo "$pid"
  done
}

# stop_server LABEL PID-TO-SIGNAL WANT-STATUS RANK-PIDS...: SIGTERM, then
# the server and every rank must be gone within 5 s, the server with
# WANT-STATUS ("any": mpirun itself was signalled).
stop_server() {
  local label=$1 target=$2 want=$3 i pid rc left
  shift 3
  kill -TERM "$target"
  for i in $(seq 50); do
    kill -0 "$SERVER" 2>/dev/null || break
    sleep 0.1
  done
  if kill -0 "$SERVER" 2>/dev/null; then
    echo "FAIL: $label: the server still runs 5 s after SIGTERM"
    kill -KILL "$SERVER"
    E2E_FAILURES=$((E2E_FAILURES + 1))
  fi
  wait "$SERVER"
  rc=$?
  [ "$want" = any ] || [ "$rc" -eq "$want" ] || { echo "FAIL: $label: exit status $rc"; E2E_FAILURES=$((E2E_FAILURES + 1)); }
  ranks_gone "$label" "$@"
}

# ranks_gone LABEL PIDS...: every one has ended within 5 s.
ranks_gone() {
  local label=$1 i pid left
  shift
  for i in $(seq 50); do
    left=
    for pid in "$@"; do alive "$pid" && left="$left $pid"; done
    [ -z "$left" ] && return 0
    sleep 0.1
  done
  echo "FAIL: $label: ranks left:$left"
  E2E_FAILURES=$((E2E_FAILURES + 1))
}

# ask SUFFIX: every case's text STEM.SUFFIX through the client, one answer
# after the other.
ask() {
  local files=() stem
  for stem in "${CASES[@]}"; do files+=("$stem.$1"); done
  "$ASK" "$PORT" scratch "${files[@]}"
}

# The answers of one catalog holding every record, without MPI.
start_server plain db || exit 1
ask plain >want.txt
stop_server "plain catalog" "$SERVER" 0
# Every case answers, and each differently: the comparisons below are not
# between empty or failed answers.
[ "$(grep -c '^status 0$' want.txt)" = $((${#CASES[@]} - 1)) ] || { echo "FAIL: plain answers"; cat want.txt; E2E_FAILURES=$((E2E_FAILURES + 1)); }
[ "$(grep '^<' want.txt | sort -u | wc -l)" = $((${#CASES[@]} - 1)) ] || { echo "FAIL: answers alike"; E2E_FAILURES=$((E2E_FAILURES + 1)); }
grep -q "^status 0$" want.txt || exit 1

# ask_together LABEL: three clients at once, each answered as one catalog.
ask_together() {
  local askers=() i
  for i in 1 2 3; do
    ask cat >"got$i.txt" &
    askers+=($!)
  done
  wait "${askers[@]}"
  for i in 1 2 3; do e2e_compare "$1, client $i of 3 at once" want.txt "got$i.txt"; done
}

# The sharded catalog without mpirun: one process evaluates every shard, on
# each worker that has a query.
start_server alone db || exit 1
ask cat >got.txt
e2e_compare "sharded, without mpirun" want.txt got.txt
ask_together "without mpirun"
stop_server "without mpirun" "$SERVER" 0

# Under mpirun -np 3: each rank holds one shard.
start_server served db 3 || exit 1
RANKS=$(pgrep -P "$SERVER" | tr '\n' ' ')
[ "$(echo $RANKS | wc -w)" = 3 ] || { echo "FAIL: not 3 ranks: $RANKS"; E2E_FAILURES=$((E2E_FAILURES + 1)); }
ask cat >got.txt
e2e_compare "sharded, 3 ranks" want.txt got.txt
# Queries of several clients at once are evaluated one after the other.
ask_together "3 ranks"
# The plain catalog of the same database is served beside it.
ask plain >got.txt
e2e_compare "the plain catalog under mpirun" want.txt got.txt
stop_server "SIGTERM to mpirun" "$SERVER" any $RANKS

# A missing shard: an error answer whose log line names it; the next query
# is answered.
start_server broken broken 2 || exit 1
RANKS=$(pgrep -P "$SERVER" | tr '\n' ' ')
printf 'status -1\n' >want-missing.txt
"$ASK" "$PORT" scratch colour.cat >got.txt
e2e_compare "a missing shard" want-missing.txt got.txt
sed -n 1p want.txt >want-plain.txt
sed -n 2p want.txt >>want-plain.txt
"$ASK" "$PORT" scratch colour.plain >got.txt
e2e_compare "after it, the plain catalog" want-plain.txt got.txt
grep -q ' status=-1 result=0 ms=[0-9.]* error=shard cat.s1 cannot be read: no catalog cat.s1 in database broken$' broken.err ||
  { echo "FAIL: no error naming the missing shard"; cat broken.err; E2E_FAILURES=$((E2E_FAILURES + 1)); }
# SIGTERM to the server itself (rank 0) stops the other ranks; the job
# exits cleanly.
ROOT=$(rank_pid 0)
[ -n "$ROOT" ] || { echo "FAIL: no rank 0 among $RANKS"; E2E_FAILURES=$((E2E_FAILURES + 1)); ROOT=$SERVER; }
stop_server "SIGTERM to rank 0" "$ROOT" 0 $RANKS
grep -q '^KvQSrv: stopped$' broken.err || { echo "FAIL: rank 0 did not stop"; E2E_FAILURES=$((E2E_FAILURES + 1)); }

# A rank that dies ends the job with mpirun's report, and nothing answers
# from the shards left.
start_server dies db 3 || exit 1
RANKS=$(pgrep -P "$SERVER" | tr '\n' ' ')
VICTIM=$(rank_pid 1)
[ -n "$VICTIM" ] || { echo "FAIL: no rank 1 among $RANKS"; E2E_FAILURES=$((E2E_FAILURES + 1)); VICTIM=$SERVER; }
kill -KILL "$VICTIM"
for i in $(seq 200); do
  kill -0 "$SERVER" 2>/dev/null || break
  sleep 0.1
done
if kill -0 "$SERVER" 2>/dev/null; then
  echo "FAIL: a rank died and mpirun still runs"
  kill -TERM "$SERVER"
  E2E_FAILURES=$((E2E_FAILURES + 1))
fi
wait "$SERVER" && { echo "FAIL: mpirun exited with 0 after a rank died"; E2E_FAILURES=$((E2E_FAILURES + 1)); }
ranks_gone "a rank died" $RANKS
"$ASK" "$PORT" scratch colour.cat >got.txt 2>/dev/null
printf 'status -1\n' >want.txt
e2e_compare "no answer after a rank died" want.txt got.txt

cd / && rm -rf "$WORK"
e2e_finish
