#!/bin/bash
# kivo check on a catalog made by kivo index from photographs and on one with
# sub-parts made by KvMkDbs: sound tables, then a feature table, the feature
# index and the sub-part catalog damaged on purpose (zeroed pages, flipped
# bytes, a cut), counters and sub-part lists that disagree, and the salvage of
# what is readable into a fresh database, which then checks clean and answers
# queries.
. "$(dirname "$0")/lib/check.bash"
PHOTOS=${KIVO_PHOTOS:-/work/shared/data/wang1k}
if [ ! -d "$PHOTOS/beach" ]; then
  echo "skipped: no photographs in $PHOTOS (set KIVO_PHOTOS)"
  exit 77
fi
WORK=$(e2e_workdir kivo_check)
cd "$WORK" || exit 1
KIVO="$KIVO_BIN/kivo"
MK="$KIVO_BIN/KvMkDbs"

mkdir -p photos/beach photos/bus masks
for i in 100 101 102 103; do cp "$PHOTOS/beach/$i.jpg" photos/beach/; done
for i in 300 301; do cp "$PHOTOS/bus/$i.jpg" photos/bus/; done
# The photograph is its own mask (every pixel that is not black).
cp "$PHOTOS/beach/100.jpg" masks/m100.jpg

# zero_page FILE PAGE: the 4096-byte page PAGE of FILE overwritten with zeros.
zero_page() { dd if=/dev/zero of="$1" bs=4096 count=1 seek="$2" conv=notrunc status=none; }
# flip FILE OFFSET COUNT: COUNT bytes from OFFSET inverted.
flip() {
  python3 -c 'import sys
p, at, n = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
b = bytearray(open(p, "rb").read())
for i in range(at, at + n): b[i] ^= 0xff
open(p, "wb").write(b)' "$@"
}

e2e_transcript_start
"$KIVO" index -q -d db -c cat photos >index.out 2>&1 || cat index.out
"$MK" -d db -c parts -e "KivoImagePath=$PHOTOS/beach" -e KivoMaskPath=masks -f KvColorFeatureClass \
  -f KvColorSubPartFeatureClass +p 100.jpg '(' m100.jpg ')' 101.jpg >build.out 2>&1 || cat build.out

e2e_note "sound catalogs"
e2e_step "every catalog" "$KIVO" check -d db
e2e_step "one catalog" "$KIVO" check -d db -c parts

e2e_note "damaged tables: each is named, with what the storage found"
cp -r db damaged
zero_page damaged/CorreloF.cat 1
flip damaged/ColorFeF.parts 6000 8
truncate -s 6000 damaged/SubPIdx.parts
e2e_step "three damaged tables" "$KIVO" check -d damaged
e2e_step "the damaged catalog fails a query naming the file" "$KIVO" query -d damaged -c cat \
  -i beach/101.jpg -f KvCorrelogramFeatureClass -n 2

e2e_note "the salvage copies what is readable; the copy checks clean"
e2e_step "salvage" "$KIVO" check -d damaged --salvage saved
e2e_step "the salvaged database" "$KIVO" check -d saved
e2e_step "a query on the salvaged catalog" "$KIVO" query -d saved -c cat -i beach/101.jpg \
  -f KvEdgeHistogramFeatureClass -n 3
e2e_step "a salvage never adds to a database" "$KIVO" check -d damaged --salvage saved

e2e_note "sound tables whose contents disagree"
cp -r db odd
"$MK" -d odd -c parts -e "KivoImagePath=$PHOTOS/beach" -f KvColorFeatureClass 102.jpg >build.out 2>&1
# The class's counter written back as it was before 102.jpg: one record too few.
cp db/FeatIdx.parts odd/FeatIdx.parts
e2e_step "a counter that is not the table's count" "$KIVO" check -d odd -c parts
# The sub-part catalog of another database, whose parent image this one lacks.
cp "$PHOTOS/beach/103.jpg" masks/m103.jpg
"$MK" -d other -c parts -e "KivoImagePath=$PHOTOS/beach" -e KivoMaskPath=masks -f KvColorFeatureClass \
  -f KvColorSubPartFeatureClass +p 103.jpg '(' m103.jpg ')' >build.out 2>&1 || cat build.out
cp other/SubPIdx.parts odd/SubPIdx.parts
e2e_step "sub-parts of an image the catalog does not hold" "$KIVO" check -d odd -c parts

e2e_note "refusals"
e2e_step "no such database" "$KIVO" check -d nowhere
e2e_step "no such catalog" "$KIVO" check -d db -c nosuch

e2e_transcript_check "$E2E_EXPECTED/kivo_check.txt"
cd / && rm -rf "$WORK"
e2e_finish
