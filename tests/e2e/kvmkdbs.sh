#!/bin/bash
# KvMkDbs on a real catalog in a scratch database: inserts, incremental
# updates, updates, forced updates, deletions, list files, settings and
# refused command lines, with the global record counters shown by KvDumpDb
# after each group of steps. Most images are synthetic test images (names
# beginning "!@", a solid colour each), which carry no keyword text, so the
# keyword feature is left out for them while their other features are stored.
# The last part uses real image files with masks and keyword text files.
. "$(dirname "$0")/lib/check.bash"
unset KivoImagePath KivoMaskPath KivoTextPath KivoDatabaseName KivoConnectMode KivoConnectClass

WORK=$(e2e_workdir kvmkdbs)
cd "$WORK" || exit 1
MK="$KIVO_BIN/KvMkDbs"
DUMP="$KIVO_BIN/KvDumpDb"
QBE="$KIVO_BIN/KvQBE"
RED='!@rffg00b00'
GREEN='!@r00gffb00'
BLUE='!@r00g00bff'
ORANGE='!@rffg80b00'
GREY='!@r80g80b80'

counters() { e2e_step "global counters: $1" "$DUMP" -d db FeatIdx.cat; }

e2e_transcript_start

e2e_note "insert: the keyword feature is registered but has no text to store"
e2e_step "insert two images" "$MK" -d db -c cat -f KvColorFeatureClass -f KvTextFeatureClass "$RED" "$GREEN"
counters "two colour records, no keyword records"
e2e_step "insert of a stored image fails" "$MK" -d db -c cat "$RED"
e2e_step "three images, the second already stored" "$MK" -d db -c cat "$BLUE" "$GREEN" "$ORANGE"
counters "four colour records"

e2e_note "incremental update: only classes without a record are written"
e2e_step "incremental update adds a new class" "$MK" -i -d db -c cat -f KvColorHistogramFeatureClass \
  "$RED" "$GREEN" "$BLUE"
e2e_step "incremental update of an image every class has" "$MK" -d db -c cat -i "$RED"
counters "three histogram records"

e2e_note "update: the record must exist; forced update also inserts"
e2e_step "update of stored images" "$MK" -u -d db -c cat "$RED" "$GREEN"
e2e_step "update of an image not stored" "$MK" -u -d db -c cat "$GREY"
e2e_step "forced update replaces and inserts" "$MK" -d db -c cat -f KvColorFeatureClass -U "$ORANGE" "$GREY"
counters "forced update counts only the new record"

e2e_note "deletion"
e2e_step "delete one image" "$MK" -r -d db -c cat "$GREEN"
e2e_step "delete an image not stored" "$MK" -r -d db -c cat '!@r12g34b56'
e2e_step "delete and update flags: deletes, reports Update" "$MK" -d db -c cat -r -u "$GREY"
counters "records fall with deletions"

e2e_note "flags written after the images keep the images in order"
e2e_step "images before a flag" "$MK" -d db -c cat "$GREEN" '!@r01g01b01' -U

e2e_note "list files: one image/mask spec per line; blank lines name no image"
printf '%s\n\n%s %s\n' '!@r10g20b30' '!@r40g50b60' "$RED" >list1.txt
e2e_step "list file, a line with two names adds the first" "$MK" -d db -c cat -l list1.txt
printf '%s %s\n' '!@r40g50b60' '!@r10g20b30' >list2.txt
e2e_step "list file in delete mode deletes every name" "$MK" -r -d db -c cat -l list2.txt
{
  echo '!@r0ag0bb0c'
  head -c 2100 /dev/zero | tr '\0' 'x'
  echo
  echo '!@r0dg0eb0f'
} >list3.txt
e2e_step "an over-long list line is refused, the others processed" "$MK" -d db -c cat -l list3.txt
e2e_step "a missing list file" "$MK" -d db -c cat -l no-such-list.txt
counters "after the list files"

e2e_note "settings"
e2e_step "known, unknown and malformed settings" "$MK" -d db -c cat -e KivoImagePath=/nowhere \
  -e NoSuchSetting=1 -e KivoTextPath -e KivoMaskPath=m '!@r21g22b23'

e2e_note "image/mask specs on the command line"
e2e_step "an empty image/mask spec is skipped" "$MK" -d db -c cat +p '(' ')'
e2e_step "an over-long image/mask spec is refused" "$MK" -d db -c cat "$(head -c 2000 /dev/zero | tr '\0' 'y')"

e2e_note "option scanning: the first of a repeated option counts, the rest are image/mask specs"
e2e_step "a value option given last is an image/mask spec" "$MK" -d db -c cat "$BLUE" -l
e2e_step "a repeated database option" "$MK" -d db -c cat -f KvColorFeatureClass -d db2 '!@r41g42b43'
e2e_step "values written against their letters" "$MK" -ddb -ccat '!@r44g45b46'
printf 'P6\n2 2\n255\n%s' "$(printf '\x10\x20\x30%.0s' 1 2 3 4)" >-rainy-day.ppm
cp -- -rainy-day.ppm -dark.ppm
e2e_step "an image named like a flag stays an image" "$MK" -U -d db -c cat -rainy-day.ppm
e2e_step "-- ends the options" "$MK" -d db -c cat -- -dark.ppm
e2e_step "deleting a mask that is not stored" "$MK" -r -d db -c cat +p -rainy-day.ppm '(' nomask.ppm ')'
e2e_step "the 65th feature is left out" "$MK" -d db -c cat $(for i in $(seq 65); do echo -f KvColorFeatureClass; done)

e2e_note "refused command lines"
e2e_step "a database that cannot be made" "$MK" -d /proc/no-such-db -c cat "$BLUE"
e2e_step "no catalog name" "$MK" -d db "$BLUE"
e2e_step "no database name" "$MK" -c cat "$BLUE"
e2e_step "a feature class the factory does not know" "$MK" -d db -c cat -f KvNoSuchFeatureClass '!@r31g32b33'
counters "final"

e2e_note "a new database without -f takes every whole-image class the factory has"
e2e_step "no -f on a new database" "$MK" -d fresh -c cat '!@r51g52b53'
e2e_step "its classes" "$QBE" -d fresh -c cat -l

e2e_note "-E erases listed features, or the whole catalog"
e2e_step "-E refuses image/mask specs" "$MK" -E -d fresh -c cat '!@r51g52b53'
e2e_step "erase one feature" "$MK" -E -d fresh -c cat -f KvTextureFeatureClass
e2e_step "the feature is gone" "$QBE" -d fresh -c cat -l
e2e_step "erase the catalog" "$MK" -E -d fresh -c cat
e2e_step "the catalog is gone" ls fresh

e2e_note "real image files: masks make sub-part records, keyword texts feed the keyword feature"
# flag.ppm: red left half, blue right half; left.ppm and right.ppm select one
# half each (black is outside the mask). Keyword texts are looked up in the
# "text" directory beside the images' directory.
mkdir -p images/set1 text/set1
e2e_ppm 20 10 '\xff\x00\x00' '\x00\x00\xff' >images/set1/flag.ppm
e2e_ppm 20 10 '\xff\xff\xff' '\x00\x00\x00' >images/set1/left.ppm
e2e_ppm 20 10 '\x00\x00\x00' '\xff\xff\xff' >images/set1/right.ppm
e2e_ppm 20 10 '\x00\xff\x00' '\x00\xff\x00' >images/set1/green.ppm
printf 'sunset\n\tbeach  \n' >text/set1/flag.ppm.txt
printf 'not an image' >images/set1/broken.ppm
PICS=(-d db -c pics -e KivoImagePath=images/set1 -e KivoMaskPath=images/set1)
pics_counters() {
  e2e_step "pics counters: $1" "$DUMP" -d db FeatIdx.pics
  e2e_step "pics sub-parts: $1" "$DUMP" -d db SubPIdx.pics
}
e2e_step "an image with two masks and an image without keyword text" "$MK" "${PICS[@]}" \
  -f KvColorFeatureClass -f KvColorSubPartFeatureClass -f KvTextFeatureClass \
  +p flag.ppm '(' left.ppm right.ppm ')' green.ppm
pics_counters "two images, two sub-parts, one keyword record"
e2e_step "records decoded" "$DUMP" -c pics -d db -f KvColorFeatureClass -f KvColorSubPartFeatureClass \
  -f KvTextFeatureClass
e2e_step "missing and unreadable image files" "$MK" "${PICS[@]}" nosuch.ppm broken.ppm

e2e_note "headers claiming more pixels than their files can hold are refused before decoding"
# Both claim 16384 x 16384 pixels: a 319-byte PPM and a 30-byte WebP header.
{ printf 'P6\n16384 16384\n255\n'; head -c 300 /dev/zero | tr '\0' '\200'; } >images/set1/claims.ppm
printf 'RIFF\x16\x00\x00\x00WEBPVP8X\x0a\x00\x00\x00\x00\x00\x00\x00\xff\x3f\x00\xff\x3f\x00' \
  >images/set1/claims.webp
e2e_ppm 20 10 '\x00\x00\xff' '\x00\x00\xff' >images/set1/blue.ppm
CLAIMS=(-d db -c claims -e KivoImagePath=images/set1 -f KvColorFeatureClass)
e2e_step "the claims fail, the real image is stored" "$MK" "${CLAIMS[@]}" claims.ppm claims.webp blue.ppm
e2e_step "an image over KivoPixelBudget (20 x 10 pixels, 800 bytes)" "$MK" -U "${CLAIMS[@]}" \
  -e KivoPixelBudget=0.0005 flag.ppm
e2e_step "a KivoPixelBudget that is no number" "$MK" -U "${CLAIMS[@]}" -e KivoPixelBudget=lots flag.ppm
e2e_step "a budget that holds it" "$MK" -U "${CLAIMS[@]}" -e KivoPixelBudget=0.001 flag.ppm
e2e_step "delete one mask" "$MK" -r "${PICS[@]}" +p flag.ppm '(' left.ppm ')'
pics_counters "one sub-part left"
printf 'flag.ppm ( left.ppm )\n' >masks.txt
e2e_step "a mask spec in a list file" "$MK" -U "${PICS[@]}" -l masks.txt
pics_counters "the mask is back"
e2e_step "deleting the image deletes its sub-parts" "$MK" -r "${PICS[@]}" flag.ppm
pics_counters "only the green image is left"

e2e_transcript_check "$E2E_EXPECTED/kvmkdbs.txt"
cd / && rm -rf "$WORK"
e2e_finish
