#!/bin/bash
# KvQBE under KivoQueryTimeLimit on a real catalog of photographs: one limit
# covers the whole command (reading the example image, the keyword search
# and the feature search). A generous limit answers exactly as no limit does;
# an example image whose reading alone takes longer than the limit stops the
# command part-way through its decoding with a clear error and a non-zero
# status, without searching (two such take less than one whole reading); a
# limit that is no number of seconds is refused.
. "$(dirname "$0")/lib/check.bash"
unset KivoImagePath KivoMaskPath KivoTextPath KivoDatabaseName KivoConnectMode KivoConnectClass
unset KivoQueryTimeLimit
PHOTOS=${KIVO_PHOTOS:-/work/shared/data/wang1k}
if [ ! -d "$PHOTOS/beach" ]; then
  echo "skipped: no photographs in $PHOTOS (set KIVO_PHOTOS)"
  exit 77
fi

W=$(e2e_workdir kvqbe_time_limit)
cd "$W" || exit 1
QBE="$KIVO_BIN/KvQBE"

# Four photographs of two classes, each with its class as keyword text.
mkdir images text
NAMES=()
for class in beach bus; do
  for n in 0 1; do
    f=$(ls "$PHOTOS/$class"/*.jpg | sed -n "$((n + 1))p")
    name="${class}_$(basename "$f")"
    ln -s "$f" "images/$name"
    printf '%s photo\n' "$class" >"text/$name.txt"
    NAMES+=("$name")
  done
done
if ! KivoImagePath="$W/images/" KivoTextPath="$W/text/" "$KIVO_BIN/KvMkDbs" -d db -c photos \
  -f KvColorHistogramFeatureClass -f KvTextFeatureClass "${NAMES[@]}" >build.log 2>&1; then
  echo "FAIL: KvMkDbs could not build the catalog"
  cat build.log
  exit 1
fi

# A 6000 x 4000 picture of one colour: small on disk, some 100 MB of pixels
# to inflate and measure, far more than the 20 ms the limit below allows.
/usr/bin/python3 - <<'PY'
import struct, zlib
w, h = 6000, 4000
def chunk(kind, data):
    return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data) & 0xffffffff)
row = b"\0" + bytes((40, 90, 160)) * w
with open("large.png", "wb") as f:
    f.write(b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", w, h, 8, 2, 0, 0, 0))
            + chunk(b"IDAT", zlib.compress(row * h, 9)) + chunk(b"IEND", b""))
PY

EXAMPLE="$W/images/${NAMES[0]}"
"$QBE" -d db -c photos -f KvColorHistogramFeatureClass -I "$EXAMPLE" >unlimited.out 2>unlimited.err
rc=$?
if [ $rc -ne 0 ] || [ "$(head -1 unlimited.out)" != "total of 4 keys found" ] ||
  [ "$(sed -n 2p unlimited.out)" != "${NAMES[0]} 0.000000" ]; then
  echo "FAIL: the query without a limit did not answer (status $rc)"
  cat unlimited.out unlimited.err
  E2E_FAILURES=$((E2E_FAILURES + 1))
fi
e2e_run "a generous limit answers as no limit does" unlimited.out - 0 \
  "$QBE" -d db -c photos -f KvColorHistogramFeatureClass -I "$EXAMPLE" -e KivoQueryTimeLimit=30

"$QBE" -d db -c photos -f KvColorHistogramFeatureClass -T bus -I "$EXAMPLE" >keyword.out 2>&1
e2e_run "a generous limit covers the keyword and the feature search" keyword.out - 0 \
  "$QBE" -d db -c photos -f KvColorHistogramFeatureClass -T bus -I "$EXAMPLE" -e KivoQueryTimeLimit=30
if [ "$(head -1 keyword.out)" != "total of 2 keys found" ]; then
  echo "FAIL: the keyword restricted query did not rank the two bus photographs"
  cat keyword.out
  E2E_FAILURES=$((E2E_FAILURES + 1))
fi

# want_error FILE SITE MESSAGE SEVERITY: the two reports of a failed query.
want_error() {
  printf 'Error in database query with message: KIVO error: %s: %s\nError=10001  Severity=%s\nKIVO error: %s: %s \n' \
    "$2" "$3" "$4" "$2" "$3" >"$1"
}
# The decoder looks at the limit every few rows: it stops inside the image.
want_error want.slow KvAnyrd:KvAnyread "the evaluation's time limit is exceeded" 1
start=$(date +%s%N)
"$QBE" -d db -c photos -f KvColorHistogramFeatureClass -I "$W/large.png" -e KivoQueryTimeLimit=30 >whole.out 2>&1
whole=$((($(date +%s%N) - start) / 1000000))
start=$(date +%s%N)
e2e_run "reading the example image uses up the limit" - want.slow 255 \
  "$QBE" -d db -c photos -f KvColorHistogramFeatureClass -I "$W/large.png" -e KivoQueryTimeLimit=0.02
e2e_run "the keyword search is not started after it" - want.slow 255 \
  "$QBE" -d db -c photos -f KvColorHistogramFeatureClass -T bus -I "$W/large.png" -e KivoQueryTimeLimit=0.02
took=$((($(date +%s%N) - start) / 1000000))
if [ "$took" -gt 20000 ] || [ "$took" -ge "$whole" ]; then
  echo "FAIL: the two stopped queries took $took ms, one reading the whole image $whole ms"
  E2E_FAILURES=$((E2E_FAILURES + 1))
fi

want_error want.bad KvQueryServerClass::EvaluateObjects "KivoQueryTimeLimit is not a number of seconds" 0
e2e_run "a limit that is no number of seconds is refused" - want.bad 255 \
  "$QBE" -d db -c photos -f KvColorHistogramFeatureClass -I "$EXAMPLE" -e KivoQueryTimeLimit=soon

e2e_finish
