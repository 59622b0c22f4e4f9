#!/bin/bash
# KvQBE with scan files on and off: KvMkDbs stores photographs with every
# feature that has a scan layout (whole-image and sub-part), sketches and
# keywords; every query form then runs with KivoScanFiles=off (the table
# walk), with scan files written on first use, and with them read back, and
# the three outputs must be the same byte for byte. Then the catalog changes
# behind the scan files' back (more photographs stored), the scan files are
# damaged and removed, and the rankings must still be the table walk's.
. "$(dirname "$0")/lib/check.bash"
unset KivoImagePath KivoMaskPath KivoTextPath KivoDatabaseName KivoConnectMode KivoConnectClass KivoScanFiles
unset KivoScanThreads
PHOTOS=${KIVO_PHOTOS:-/work/shared/data/wang1k}
if [ ! -d "$PHOTOS/beach" ]; then
  echo "skipped: no photographs in $PHOTOS (set KIVO_PHOTOS)"
  exit 77
fi

W=$(e2e_workdir kvqbe_scan)
cd "$W" || exit 1
QBE="$KIVO_BIN/KvQBE"
MK="$KIVO_BIN/KvMkDbs"

# Photographs of every class, linked under one folder with class names, and
# each one's class as its keyword text; the landscape ones also get two
# half masks (left and right, linked under names of their own) for
# sub-parts.
mkdir images text
FIRST=()
LATER=()
for class in african beach bus dinosaur elephant flower food horse monument mountain; do
  n=0
  for f in "$PHOTOS/$class"/*.jpg; do
    name="${class}_$(basename "$f")"
    ln -s "$f" "images/$name"
    printf '%s photo\n' "$class" >"text/$name.txt"
    if [ $n -lt 6 ]; then FIRST+=("$name"); elif [ $n -lt 8 ]; then LATER+=("$name"); else break; fi
    n=$((n + 1))
  done
done
/usr/bin/python3 - <<'EOF'
for name, left in (("left.pgm", True), ("right.pgm", False)):
    w, h = 384, 256
    row = bytes((255 if (x < w // 2) == left else 0) for x in range(w))
    with open("images/" + name, "wb") as f:
        f.write(b"P5\n%d %d\n255\n" % (w, h) + row * h)
EOF
# A line of the list: a landscape photo with its two half masks.
landscape() {
  /usr/bin/python3 -c '
import struct, sys
b = open(sys.argv[1], "rb").read()
i = 2
while i + 9 < len(b):
    marker, length = b[i + 1], struct.unpack(">H", b[i + 2:i + 4])[0]
    if marker in (0xC0, 0xC1, 0xC2):
        h, w = struct.unpack(">HH", b[i + 5:i + 9])
        sys.exit(0 if (w, h) == (384, 256) else 1)
    i += 2 + length
sys.exit(1)' "images/$1"
}
FEATURES=(-f KvColorFeatureClass -f KvColorHistogramFeatureClass -f KvTextureFeatureClass -f KvDrawFeatureClass
  -f KvTextFeatureClass -f KvColorSubPartFeatureClass -f KvColorHistogramSubPartFeatureClass
  -f KvTextureSubPartFeatureClass)
# store NAME...: stores the photographs, landscapes with their sub-parts.
store() {
  local args=() name
  for name in "$@"; do
    if landscape "$name"; then
      # A sub-part is keyed by its mask's name.
      ln -sf left.pgm "images/$name.left.pgm"
      ln -sf right.pgm "images/$name.right.pgm"
      args+=(+p "$name" '(' "$name.left.pgm" "$name.right.pgm" ')')
    else
      args+=("$name")
    fi
  done
  KivoTextPath="$W/text/" "$MK" -d db -c photos -e KivoImagePath=images -e KivoMaskPath=images \
    "${FEATURES[@]}" "${args[@]}" >>build.log 2>&1
}
if ! store "${FIRST[@]}"; then
  echo "FAIL: KvMkDbs could not build the catalog"
  cat build.log
  exit 1
fi
export KivoImagePath=images KivoMaskPath=images
# A scan file is written only for a table that has been still for a second
# (a later write within the clock's tick could keep its stamp); without this
# wait a fast machine runs the first queries inside that second and the count
# of written scan files below depends on its speed.
sleep 1.2

SKETCH='D120 90 R0 0 120 30 60 110 200 R0 30 120 60 40 140 40 R40 40 30 30 230 220 40'
PICKER='D60 40 R0 0 60 40 200 40 40 R10 10 20 10 20 20 220'
PICKER5='D60 40 R0 0 60 20 90 140 210 R0 20 60 20 70 120 50 R5 22 10 8 240 240 230 R30 5 12 6 30 30 30 R40 25 10 10 200 160 40'
QUERIES=(
  "colour|-f KvColorFeatureClass -i beach_100.jpg -n 12"
  "histogram|-f KvColorHistogramFeatureClass -i horse_700.jpg -n 12"
  "texture|-f KvTextureFeatureClass -i bus_300.jpg -n 12"
  "draw|-f KvDrawFeatureClass -i flower_600.jpg -n 12"
  "image file|-f KvColorHistogramFeatureClass -I dinosaur_401.jpg -n -1"
  "combined|-f KvColorHistogramFeatureClass:W=2 -f KvTextureFeatureClass -f KvDrawFeatureClass -f KvColorFeatureClass:W=0.5 -i food_900.jpg -n 15"
  "cascade|-f KvColorHistogramFeatureClass:O=1 -f KvTextureFeatureClass:O=2:C=20 -f KvDrawFeatureClass:O=3:C=8 -i mountain_800.jpg -n 5"
  "keyword restriction|-T beach -f KvColorHistogramFeatureClass -f KvTextureFeatureClass -I elephant_500.jpg -n 5"
  "keyword and cascade|-T photo -f KvColorFeatureClass:O=1 -f KvDrawFeatureClass:O=2:C=10 -I african_000.jpg -n 6"
  "partial matching|-f KvColorHistogramFeatureClass -S '$PICKER' -n 12"
  "partial matching, five colours, weighed|-f KvColorHistogramFeatureClass:W=0.3 -S '$PICKER5' -n 3"
  "sketch|-f KvDrawFeatureClass:PMaxOffset=2,Halo=T -S '$SKETCH' -n 12"
  "sketch without burst|-f KvDrawFeatureClass:PBurst=F,MaxOffset=1 -S '$SKETCH' -n 12"
  "sub-part|-f KvColorHistogramSubPartFeatureClass -I beach_100.jpg -M left.pgm -n 12"
  "colour sub-part with its image|-f KvColorSubPartFeatureClass -f KvColorFeatureClass -I bus_301.jpg -M left.pgm -n 8"
  "mixed|-f KvTextureSubPartFeatureClass -f KvColorHistogramFeatureClass -I horse_700.jpg -M right.pgm -n 12"
  "texture weights|-f KvTextureFeatureClass:PCoarseness=0.001,Contrast=0.0000001 -i monument_200.jpg -n 12"
)

# same_rankings STAGE: every query with scan files off, then twice on (the
# first may write the scan files, the second reads them); the outputs must
# agree, and each must find keys.
same_rankings() {
  local stage=$1 q label args i
  for q in "${QUERIES[@]}"; do
    label=${q%%|*}
    args=${q#*|}
    eval "KivoScanFiles=off \"\$QBE\" -d db -c photos $args" >"off.out" 2>&1
    echo "rc $?" >>off.out
    for i in 1 2; do
      eval "KivoScanFiles=on \"\$QBE\" -d db -c photos $args" >"on$i.out" 2>&1
      echo "rc $?" >>"on$i.out"
      e2e_compare "$stage: $label: scan files on (run $i) against off" off.out "on$i.out"
    done
    if ! head -1 off.out | grep -q '^total of [1-9][0-9]* keys found$' || ! grep -qx 'rc 0' off.out; then
      echo "FAIL: $stage: $label: the query found nothing"
      head -5 off.out
      E2E_FAILURES=$((E2E_FAILURES + 1))
    fi
  done
}

# A table walk's exact ranking, so that both paths are held to known output
# and not only to each other.
e2e_run "a stored key finds itself first" "$(cat >want.self <<'EOF'
total of 3 keys found
beach_100.jpg 0.000000
EOF
echo want.self)" - 0 bash -c "KivoScanFiles=on '$QBE' -d db -c photos -f KvColorHistogramFeatureClass \
  -i beach_100.jpg -n 3 | head -2; echo -n"

same_rankings "fresh catalog"
scans=$(ls db/KvScan 2>/dev/null | wc -l)
if [ "$scans" -lt 7 ]; then
  echo "FAIL: the queries wrote $scans scan files, expected one per feature table with a layout (7)"
  ls -la db db/KvScan
  E2E_FAILURES=$((E2E_FAILURES + 1))
fi

# More photographs stored after the scan files were written: every scan file
# is stale and must not be used as it is.
sleep 1
if ! store "${LATER[@]}"; then
  echo "FAIL: KvMkDbs could not add photographs"
  cat build.log
  exit 1
fi
same_rankings "catalog changed behind the scan files"

# Damaged scan files: one cut short, one overwritten at its start, one
# replaced by another table's file; then none at all.
files=(db/KvScan/*)
truncate -s 5000 "${files[0]}"
printf 'garbage' | dd of="${files[1]}" conv=notrunc status=none
cp "${files[3]}" "${files[2]}"
same_rankings "damaged scan files"
rm -rf db/KvScan
same_rankings "scan files removed"

e2e_finish
