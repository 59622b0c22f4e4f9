#!/bin/bash
# kivo serve on sharded catalogs under real mpirun: rank 0 serves HTTP and
# every query is evaluated by all the ranks; the answers are exactly those of
# kivo query --json (by key, with features, a cascade, an uploaded image),
# a plain catalog of the same database is still served, a missing shard is an
# error answer naming it, SIGTERM to mpirun or to the server ends every rank,
# and a rank that dies ends the job with no answer.
. "$(dirname "$0")/lib/shard.bash"

# Three photos of each of three classes: a plain catalog and three shards.
for class in beach bus dinosaur; do
  mkdir -p "photos/$class"
  for f in $(ls "$PHOTOS/$class" | head -3); do cp "$PHOTOS/$class/$f" "photos/$class/"; done
done
KEY=bus/$(ls photos/bus | sed -n 2p)
K="$KIVO_BIN/kivo"
FEATURES=(--folder-keywords -f photo -f colour -f texture -f text)
"$K" shard init -d db -c cat -n 3 >/dev/null && "$K" index -q -d db -c cat -j 2 "${FEATURES[@]}" photos &&
  "$K" index -q -d db -c plain -j 2 "${FEATURES[@]}" photos || exit 1
cp -r db broken
rm broken/*.cat.s1

SERVER=0
# start_server NAME RANKS DB: mpirun -np RANKS kivo serve in the background,
# its pid in $SERVER and its port in $PORT once it listens (at most 30 s).
start_server() {
  local name=$1 i
  "${MPIRUN[@]}" -np "$2" "$K" serve -d "$3" --port 0 --threads 2 >"$name.out" 2>"$name.err" &
  SERVER=$!
  PORT=
  for i in $(seq 300); do
    PORT=$(sed -n 's#^kivo serve: listening on http://127.0.0.1:\([0-9]*\)/$#\1#p' "$name.err")
    [ -n "$PORT" ] && return 0
    kill -0 "$SERVER" 2>/dev/null || break
    sleep 0.1
  done
  echo "FAIL: $name did not start"
  cat "$name.err"
  E2E_FAILURES=$((E2E_FAILURES + 1))
  return 1
}

# ranks_of PID: the processes mpirun PID started.
ranks_of() { pgrep -P "$1" | tr '\n' ' '; }

# alive PID: the process runs (an exited one not yet reaped does not).
alive() {
  local state
  state=$(ps -o stat= -p "$1" 2>/dev/null)
  [ -n "$state" ] && [ "${state:0:1}" != Z ]
}

# stop_server LABEL PID-TO-SIGNAL WANT-STATUS RANK-PIDS...: SIGTERM, then
# every rank and mpirun must be gone within 20 s, mpirun with WANT-STATUS
# ("any": mpirun itself was signalled and reports the ranks it stopped).
stop_server() {
  local label=$1 target=$2 want=$3 i pid rc left
  shift 3
  kill -TERM "$target"
  for i in $(seq 200); do
    kill -0 "$SERVER" 2>/dev/null || break
    sleep 0.1
  done
  if kill -0 "$SERVER" 2>/dev/null; then
    echo "FAIL: $label: mpirun still runs"
    kill -KILL "$SERVER"
    E2E_FAILURES=$((E2E_FAILURES + 1))
  fi
  wait "$SERVER"
  rc=$?
  [ "$want" = any ] || [ "$rc" -eq "$want" ] || { echo "FAIL: $label: mpirun exited with $rc"; E2E_FAILURES=$((E2E_FAILURES + 1)); }
  left=
  for i in $(seq 100); do
    left=
    for pid in "$@"; do alive "$pid" && left="$left $pid"; done
    [ -z "$left" ] && break
    sleep 0.1
  done
  [ -z "$left" ] || { echo "FAIL: $label: ranks left:$left"; E2E_FAILURES=$((E2E_FAILURES + 1)); }
}

# get PATH-AND-QUERY [FILE]: the body of a GET (a POST of FILE's bytes as an
# image when given), then a line with the HTTP status.
get() {
  python3 - "http://127.0.0.1:$PORT$1" "${2:-}" <<'PY'
import sys, urllib.request, urllib.error
url, upload = sys.argv[1], sys.argv[2]
data = open(upload, "rb").read() if upload else None
req = urllib.request.Request(url, data=data, headers={"Content-Type": "image/jpeg"} if data else {})
try:
    with urllib.request.urlopen(req, timeout=60) as r:
        body, status = r.read(), r.status
except urllib.error.HTTPError as e:
    body, status = e.read(), e.code
sys.stdout.write(body.decode() + "status %d\n" % status)
PY
}

# fetch PATH-AND-QUERY FILE: the body of a GET into FILE (empty on an error).
fetch() {
  python3 - "http://127.0.0.1:$PORT$1" "$2" <<'PY'
import sys, urllib.request
try:
    with urllib.request.urlopen(sys.argv[1], timeout=60) as r:
        body = r.read()
except Exception:
    body = b""
open(sys.argv[2], "wb").write(body)
PY
}

# The answers of kivo query --json without MPI, each beside the URL that
# must give it: LABEL, CATALOG, URL parameters, kivo query's arguments; all
# computed before the servers start, so that they are the answers of the
# catalogs as built.
CASES=(
  "by key|cat|key=$KEY&n=5|-i $KEY -n 5"
  "one feature, every record|cat|key=$KEY&n=20&f=texture|-i $KEY -n 20 -f texture"
  "a cascade|cat|key=$KEY&n=4&f=colour:O%3D1&f=texture:O%3D2|-i $KEY -n 4 -f colour:O=1 -f texture:O=2"
  "keywords restricting an example|cat|key=$KEY&n=6&keywords=bus,beach|-i $KEY -n 6 -T bus,beach"
  "the plain catalog beside it|plain|key=$KEY&n=5|-i $KEY -n 5"
)
for i in "${!CASES[@]}"; do
  IFS='|' read -r label catalog params args <<<"${CASES[$i]}"
  # shellcheck disable=SC2086 # the arguments are words
  "$K" query -d db -c "$catalog" --json $args >"want$i.txt"
  echo "status 200" >>"want$i.txt"
done
"$K" query -d db -c cat --json -I "photos/$KEY" -n 4 >want-upload.txt
echo "status 200" >>want-upload.txt
"$K" query -d broken -c plain --json -i "$KEY" -n 3 >want-plain.txt
echo "status 200" >>want-plain.txt

start_server served 3 db || exit 1
RANKS=$(ranks_of "$SERVER")
[ "$(echo $RANKS | wc -w)" = 3 ] || { echo "FAIL: not 3 ranks: $RANKS"; E2E_FAILURES=$((E2E_FAILURES + 1)); }
for i in "${!CASES[@]}"; do
  IFS='|' read -r label catalog params args <<<"${CASES[$i]}"
  get "/api/query?catalog=$catalog&$params" >got.txt
  e2e_compare "$label" "want$i.txt" got.txt
done
# An uploaded image reaches every rank as bytes.
get "/api/query?catalog=cat&n=4" "photos/$KEY" >got.txt
e2e_compare "an uploaded image" want-upload.txt got.txt
# Refusals come back from the ranks as from one catalog.
cat >want.txt <<'TXT'
{"error":"no key nothing.jpg in catalog cat","status":400}
status 400
TXT
get "/api/query?catalog=cat&key=nothing.jpg" >got.txt
e2e_compare "an unknown key" want.txt got.txt
# A result's original and thumbnail come from the shard that holds its key:
# the same bytes as from the plain catalog of the same files.
for key in $KEY dinosaur/$(ls photos/dinosaur | tail -1); do
  for what in image thumbnail; do
    fetch "/api/$what?catalog=cat&key=$key" sharded.bin
    fetch "/api/$what?catalog=plain&key=$key" plain.bin
    [ -s plain.bin ] || { echo "FAIL: no $what of $key"; E2E_FAILURES=$((E2E_FAILURES + 1)); }
    e2e_compare "$what of $key" plain.bin sharded.bin
  done
done
cmp -s sharded.bin "photos/$KEY" && { echo "FAIL: a thumbnail is the original"; E2E_FAILURES=$((E2E_FAILURES + 1)); }
fetch "/api/image?catalog=cat&key=$KEY" sharded.bin
e2e_compare "the original of $KEY" "photos/$KEY" sharded.bin
cat >want.txt <<'TXT'
{"error":"no key nothing.jpg in catalog cat","status":404}
status 404
TXT
get "/api/image?catalog=cat&key=nothing.jpg" >got.txt
e2e_compare "no such key's original" want.txt got.txt
stop_server "SIGTERM to mpirun" "$SERVER" any $RANKS

# A missing shard: the answer names it; the server goes on serving.
start_server broken 2 broken || exit 1
RANKS=$(ranks_of "$SERVER")
cat >want.txt <<'TXT'
{"error":"shard cat.s1 cannot be read: no catalog cat.s1 in database broken","status":500}
status 500
TXT
get "/api/query?catalog=cat&key=$KEY&n=3" >got.txt
e2e_compare "a missing shard" want.txt got.txt
get "/api/query?catalog=cat&n=3" "photos/$KEY" >got.txt
e2e_compare "a missing shard, an uploaded image" want.txt got.txt
get "/api/query?catalog=plain&key=$KEY&n=3" >got.txt
e2e_compare "after it, the plain catalog" want-plain.txt got.txt
# SIGTERM to the server itself (rank 0): it stops the other ranks.
ROOT=
for pid in $RANKS; do
  tr '\0' '\n' <"/proc/$pid/environ" 2>/dev/null | grep -qx "OMPI_COMM_WORLD_RANK=0" && ROOT=$pid
done
[ -n "$ROOT" ] || { echo "FAIL: no rank 0 among $RANKS"; E2E_FAILURES=$((E2E_FAILURES + 1)); ROOT=$SERVER; }
stop_server "SIGTERM to rank 0" "$ROOT" 0 $RANKS

# A rank that dies ends the job: mpirun stops the server too, and nothing
# answers from the shards left.
start_server dies 2 db || exit 1
RANKS=$(ranks_of "$SERVER")
VICTIM=
for pid in $RANKS; do
  tr '\0' '\n' <"/proc/$pid/environ" 2>/dev/null | grep -qx "OMPI_COMM_WORLD_RANK=1" && VICTIM=$pid
done
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
for pid in $RANKS; do
  if alive "$pid"; then
    echo "FAIL: rank $pid left after another died"
    E2E_FAILURES=$((E2E_FAILURES + 1))
  fi
done
if get "/api/query?catalog=cat&key=$KEY&n=3" >got.txt 2>/dev/null; then
  echo "FAIL: an answer after a rank died"
  cat got.txt
  E2E_FAILURES=$((E2E_FAILURES + 1))
fi

cd / && rm -rf "$WORK"
e2e_finish
