#!/bin/bash
# kivo index, query and info on a tree the test makes: nested folders, names
# with blanks and UTF-8, one file under several spellings, a corrupt image and
# a file that is no image; re-runs, deletions, JSON checked by parsing, and a
# key with blanks queried through KvQBE.
. "$(dirname "$0")/lib/check.bash"
. "$(dirname "$0")/lib/kivo.bash"

WORK=$(e2e_workdir kivo)
cd "$WORK" || exit 1

mkdir -p "photos/Summer 2019/day one" "photos/été" photos/other
e2e_ppm 32 24 '\xff\x00\x00' '\x00\x00\xff' >"photos/Summer 2019/beach day.ppm"
e2e_ppm 32 24 '\xff\xff\x00' '\x00\x80\x00' >"photos/Summer 2019/day one/IMG 0001 (2).ppm"
e2e_ppm 32 24 '\x00\xff\xff' '\x80\x00\x80' >"photos/été/plage.ppm"
e2e_ppm 32 24 '\xff\x00\x00' '\x00\x00\xf0' >photos/other/red.ppm
ln "photos/other/red.ppm" "photos/other/red-link.ppm"
echo "not an image" >photos/other/notes.txt
head -c 40 "photos/été/plage.ppm" >photos/other/broken.ppm

e2e_transcript_start
e2e_note "a fresh catalog: one key per file, the text file is no image and is passed over"
e2e_step "index a tree" "$KIVO" index -q -d db -c cat -j 2 photos
e2e_step "the same tree again" "$KIVO" index -d db -c cat --progress lines photos
index_spellings() { kivo index -d db -c cat ./photos//other/../other "$WORK/photos/été"; }
e2e_step "the same files under other spellings" index_spellings
e2e_step "info" "$KIVO" info -d db

e2e_note "queries: by key, by a path, by keywords and a sketch, in each output form"
e2e_step "by key" "$KIVO" query -d db -c cat -i "Summer%202019/beach%20day.ppm" -n 3
e2e_step "by path" "$KIVO" query -d db -c cat -i "photos/Summer 2019/beach day.ppm" -n 2 --tsv
e2e_step "by image, one feature by its class" "$KIVO" query -d db -c cat -I photos/other/red.ppm -n 2 \
  -f KvCorrelogramFeatureClass
e2e_step "by image, the preset the catalog was made with" "$KIVO" query -d db -c cat -I photos/other/red.ppm -n 4 \
  --preset photo
e2e_step "a preset through -f, its parameters after each class's own" "$KIVO" query -d db -c cat \
  -I photos/other/red.ppm -n 4 -f photo:W=2
e2e_step "by sketch" "$KIVO" query -d db -c cat -S "D32 24 R0 0 16 24 255 0 0 R16 0 16 24 0 0 255" -n 1
"$KIVO" query -d db -c cat -I "photos/été/plage.ppm" --json -n 5 >q.json
e2e_step "JSON parses and names every file" "$PY" -c '
import json, sys
r = json.load(open("q.json"))["results"]
print(len(r), [h["rank"] for h in r], r[0]["key"], r[0]["path"].endswith("photos/été/plage.ppm"), r[0]["distance"])'
e2e_step "KvQBE takes a key with blanks" "$KIVO_BIN/KvQBE" -d db -c cat -f KvCorrelogramFeatureClass \
  -i "Summer%202019/day%20one/IMG%200001%20(2).ppm" -n 1
e2e_step "KvQBE takes the preset as a feature" "$KIVO_BIN/KvQBE" -d db -c cat -f photo -i "other/red-link.ppm" -n 4
e2e_step "an unknown preset" "$KIVO" query -d db -c cat -I photos/other/red.ppm --preset nothing

e2e_note "refused command lines"
e2e_step "unknown option" "$KIVO" query -d db -c cat -x
e2e_step "two examples" "$KIVO" query -d db -c cat -i a -I b
e2e_step "unknown key" "$KIVO" query -d db -c cat -i nothing.ppm
e2e_step "unknown feature" "$KIVO" index -d db -c cat -f NoSuchFeatureClass photos
e2e_step "bad number" "$KIVO" query -d db -c cat -i x -n 0

e2e_note "changes: a deleted file, a changed one, a touched one"
rm "photos/Summer 2019/beach day.ppm"
e2e_ppm 32 24 '\x00\x00\x00' '\xff\xff\xff' >"photos/été/plage.ppm"
touch -d '2001-01-01' photos/other/red.ppm
e2e_step "index after the changes" "$KIVO" index -d db -c cat photos
e2e_step "a missing file is kept with --keep-missing" "$KIVO" index -d db -c cat --keep-missing photos
e2e_step "info as JSON" "$KIVO" info -d db -c cat --json

e2e_transcript_check "$E2E_EXPECTED/kivo.txt"
cd / && rm -rf "$WORK"
e2e_finish
