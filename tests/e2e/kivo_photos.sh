#!/bin/bash
# kivo on photographs: HEIC and AVIF made with heif-enc, a photo turned by its
# orientation tag and keywords in its metadata (both written with the exiv2
# program), folder keywords, near-duplicate groups, thumbnails, and an index
# run killed part-way and resumed.
. "$(dirname "$0")/lib/check.bash"
. "$(dirname "$0")/lib/kivo.bash"
# The photographs: ten folders of a hundred (bus/300.jpg, dinosaur/400.jpg ...).
PHOTOS=${KIVO_PHOTOS:-/work/shared/data/wang1k}
if [ ! -d "$PHOTOS/beach" ]; then
  echo "skipped: no photographs in $PHOTOS (set KIVO_PHOTOS)"
  exit 77
fi

WORK=$(e2e_workdir kivo_photos)
cd "$WORK" || exit 1

mkdir -p photos/Trips/Île photos/beach
cp "$PHOTOS/beach/100.jpg" photos/beach/sand.jpg
cp "$PHOTOS/beach/100.jpg" photos/beach/turned.jpg
exiv2 -M"set Exif.Image.Orientation 6" photos/beach/turned.jpg
heif-enc -q 60 -o photos/beach/sand.heic "$PHOTOS/beach/100.jpg" >/dev/null 2>&1
heif-enc -q 60 -o photos/beach/sand.avif "$PHOTOS/beach/100.jpg" >/dev/null 2>&1
cp "$PHOTOS/beach/101.jpg" photos/beach/tagged.jpg
exiv2 -M"set Xmp.dc.subject XmpBag Sunset" -M"set Xmp.dc.subject XmpBag Sea Side" \
  -M"add Iptc.Application2.Keywords String HOLIDAY" photos/beach/tagged.jpg
cp "$PHOTOS/bus/300.jpg" "photos/Trips/Île/bus.jpg"
cp "$PHOTOS/dinosaur/400.jpg" photos/dino.jpg

e2e_transcript_start
e2e_note "photos in every container, keywords from metadata and folder names"
# The photo preset for the near-duplicates, the average colour and layout for
# the orientation checks.
e2e_step "index" "$KIVO" index -d db -c cat -j 2 --folder-keywords --preset photo -f colour -f draw -f text photos
e2e_step "keywords, any case" "$KIVO" query -d db -c cat -T sunset
e2e_step "keywords of the IPTC field" "$KIVO" query -d db -c cat -T Holiday --tsv
e2e_step "keywords of a folder name" "$KIVO" query -d db -c cat -T "île"
e2e_step "all of two keywords" "$KIVO" query -d db -c cat -T "SUNSET+side"
e2e_step "all of two keywords, one missing" "$KIVO" query -d db -c cat -T "sunset+trips"

e2e_note "the HEIC and AVIF copies are near the JPEG; the turned photo is read upright"
e2e_step "by the JPEG" "$KIVO" query -d db -c cat -i beach/sand.jpg -n 4 -f colour -f draw
e2e_step "the turned photo as stored" "$KIVO" query -d db -c cat -I photos/beach/turned.jpg --no-orient -n 1 -f draw
e2e_step "the turned photo upright" "$KIVO" query -d db -c cat -I photos/beach/turned.jpg -n 1 -f draw

e2e_note "near-duplicates"
e2e_step "groups" "$KIVO" dups -d db -c cat -q
"$KIVO" dups -d db -c cat -q --json >dups.json
e2e_step "groups as JSON" "$PY" -c '
import json
d = json.load(open("dups.json"))
print(d["images"], [[i["key"] for i in g["images"]] for g in d["groups"]])'
e2e_step "a threshold of 0" "$KIVO" dups -d db -c cat -q -t 0 --tsv

e2e_note "thumbnails: folders made as needed, photos upright"
e2e_step "of a query" "$KIVO" thumbs -d db -c cat -o thumbs/q -i beach/sand.jpg -n 2 -f colour -s 64
e2e_step "of the catalog" "$KIVO" thumbs -d db -c cat -o thumbs/all -s 64 --format png -j 2
jpeg_sizes() {
  "$PY" -c '
import os, struct, sys
def size(path):
    b = open(path, "rb").read()
    if b[:8] == b"\x89PNG\r\n\x1a\n":
        return struct.unpack(">II", b[16:24])
    i = 2
    while i < len(b):
        m, n = b[i + 1], struct.unpack(">H", b[i + 2:i + 4])[0]
        if 0xC0 <= m <= 0xCF and m not in (0xC4, 0xC8, 0xCC):
            h, w = struct.unpack(">HH", b[i + 5:i + 9])
            return w, h
        i += 2 + n
for root, dirs, files in sorted(os.walk(sys.argv[1])):
    dirs.sort()
    for f in sorted(files):
        p = os.path.join(root, f)
        print(os.path.relpath(p, sys.argv[1]), "%dx%d" % size(p))' "$1"
}
e2e_step "their sizes" jpeg_sizes thumbs
e2e_step "an unwritable folder" "$KIVO" thumbs -d db -c cat -o /proc/kivo -i dino.jpg -n 1 -q

e2e_note "a run killed part-way resumes where it stopped"
mkdir many
cp "$PHOTOS"/beach/1[0-5]?.jpg many/
"$KIVO_BIN/kivo" index -d db -c whole -q -j 2 many
"$KIVO_BIN/kivo" index -d db -c killed -q -j 1 --group 4 many &
pid=$!
# Killed once its first group is in: on a loaded machine the catalog's files
# appear well before the first group is written.
files_in() {
  "$KIVO_BIN/kivo" info -d db -c killed --json 2>/dev/null |
    "$PY" -c 'import json,sys; print(json.load(sys.stdin)["catalogs"][0]["files"])' 2>/dev/null || echo 0
}
for ((i = 0; i < 400; i++)); do
  [ -e db/KivoFile.killed ] && [ "$(files_in)" -gt 0 ] && break
  kill -0 $pid 2>/dev/null || break
  sleep 0.02
done
kill -9 $pid 2>/dev/null
wait $pid 2>/dev/null
before=$("$KIVO_BIN/kivo" info -d db -c killed --json | "$PY" -c 'import json,sys; print(json.load(sys.stdin)["catalogs"][0]["files"])')
resume() {
  local out
  out=$("$KIVO_BIN/kivo" index -d db -c killed -j 2 many 2>&1)
  echo "$out" | "$PY" -c '
import re, sys
text = sys.stdin.read()
m = re.search(r"(\d+) added, 0 updated, 0 removed, (\d+) skipped, 0 failed", text)
before = int(sys.argv[1])
print("stopped part-way:", 0 < before < 60)
print("repaired first:", "finished the writes of an interrupted run" in text)
print("every file once:", m is not None and int(m.group(1)) + int(m.group(2)) == 60 and int(m.group(2)) == before)' "$before"
}
e2e_step "the resumed run" resume
e2e_step "then nothing is left to do" "$KIVO" index -d db -c killed many
same_records() {
  local f
  for f in KvCorrelogramFeatureClass KvColorTextureFeatureClass KvEdgeHistogramFeatureClass KvColorDifferenceFeatureClass; do
    cmp -s <("$KIVO_BIN/KvDumpDb" -c whole -d db -f $f) <("$KIVO_BIN/KvDumpDb" -c killed -d db -f $f) &&
      echo "$f: same records"
  done
  "$KIVO_BIN/kivo" info -d db -c whole --json | sed 's/"whole"/"C"/' >a.json
  "$KIVO_BIN/kivo" info -d db -c killed --json | sed 's/"killed"/"C"/' >b.json
  cmp -s a.json b.json && echo "same counts and sizes"
}
e2e_step "the same catalog as one uninterrupted run" same_records

e2e_transcript_check "$E2E_EXPECTED/kivo_photos.txt"
cd / && rm -rf "$WORK"
e2e_finish
