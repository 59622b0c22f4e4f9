#!/bin/bash
# KvQBE on real catalogs: KvMkDbs stores eight generated single-colour images
# (the "!@rRRgGGbBB" test images) with keyword text files, and a few PPM image
# files with masks and keyword texts; every query form of KvQBE then runs
# against them and its exact output is compared.
. "$(dirname "$0")/lib/check.bash"
unset KivoImagePath KivoMaskPath KivoTextPath KivoDatabaseName KivoConnectMode KivoConnectClass

W=$(e2e_workdir kvqbe)
cd "$W" || exit 1
QBE="$KIVO_BIN/KvQBE"

# want NAME: the expected text read from standard input, as a file.
want() {
  cat >"$W/want.$1"
  echo "$W/want.$1"
}

# want_usage NAME: the usage text followed by the text on standard input.
want_usage() {
  cat "$E2E_EXPECTED/usage_kvqbe.txt" - >"$W/want.$1"
  echo "$W/want.$1"
}

# Keyword texts: white space in them is merged into single blanks on reading.
mkdir text
printf 'red sports car\n' >'text/!@rffg00b00.txt'
printf 'orange  car\n' >'text/!@rf0g10b00.txt'
printf 'green grass\n' >'text/!@r00gffb00.txt'
printf 'blue\tsky car\n' >'text/!@r00g00bff.txt'
printf 'yellow taxi car\n' >'text/!@rffgffb00.txt'
printf 'sea\n' >'text/!@r00g80b80.txt'
printf 'snow\n' >'text/!@rffgffbff.txt'
IMAGES=('!@rffg00b00' '!@rf0g10b00' '!@r00gffb00' '!@r00g00bff' '!@r80g80b80' '!@rffgffb00' '!@r00g80b80'
  '!@rffgffbff')
if ! KivoTextPath="$W/text/" "$KIVO_BIN/KvMkDbs" -d db -c photos -f KvColorFeatureClass \
  -f KvColorHistogramFeatureClass -f KvTextFeatureClass "${IMAGES[@]}" >build.log 2>&1; then
  echo "FAIL: KvMkDbs could not build the catalog"
  cat build.log
  exit 1
fi

e2e_run "stored key finds itself first" "$(want key <<'EOF'
total of 8 keys found
!@rffg00b00 0.000000
!@rf0g10b00 0.002049
!@rffgffb00 0.409761
!@r80g80b80 0.476858
!@rffgffbff 0.597544
!@r00g80b80 0.759130
!@r00gffb00 0.861516
!@r00g00bff 0.962433

EOF
)" - 0 "$QBE" -d db -c photos -f KvColorFeatureClass -i '!@rffg00b00'

e2e_run "-n limits the count" "$(want n3 <<'EOF'
total of 3 keys found
!@rf0g10b00 0.000000
!@rffg00b00 0.000000
!@r00g00bff 2.000000

EOF
)" - 0 "$QBE" -d db -c photos -f KvColorHistogramFeatureClass -i '!@rffg00b00' -n 3

e2e_run "weighted features combine" "$(want combined <<'EOF'
total of 2 keys found
!@rffg00b00 0.000000
!@rf0g10b00 0.004098

EOF
)" - 0 "$QBE" -d db -c photos -f KvColorFeatureClass:W=2 -f KvColorHistogramFeatureClass -n 2 -i '!@rffg00b00'

e2e_run "groups by O run as a cascade" "$(want cascade <<'EOF'
total of 2 keys found
!@rf0g10b00 0.000000
!@rffg00b00 0.002049

EOF
)" - 0 "$QBE" -d db -c photos -f KvColorHistogramFeatureClass:O=1 -f KvColorFeatureClass:O=2:C=1 -n 2 \
  -i '!@rf0g10b00'

e2e_run "keyword alone lists the keys that carry it" "$(want keyword <<'EOF'
total of 4 keys found
!@r00g00bff 0.000000
!@rf0g10b00 0.000000
!@rffg00b00 0.000000
!@rffgffb00 0.000000

EOF
)" - 0 "$QBE" -d db -c photos -T car

# The image query ranks the keyword's matches only, and its ranking is
# printed once.
e2e_run "keyword restriction then image ranking" "$(want keyword_image <<'EOF'
total of 3 keys found
!@rffgffb00 0.000000
!@rf0g10b00 0.390144
!@rffg00b00 0.409761

EOF
)" - 0 "$QBE" -d db -c photos -T car -f KvColorFeatureClass -n 3 -I '!@rffgffb00'

e2e_run "-n -1 asks for every key" "$(want all_keys <<'EOF'
total of 8 keys found
!@rffg00b00 0.000000
!@rf0g10b00 0.002049
!@rffgffb00 0.409761
!@r80g80b80 0.476858
!@rffgffbff 0.597544
!@r00g80b80 0.759130
!@r00gffb00 0.861516
!@r00g00bff 0.962433

EOF
)" - 0 "$QBE" -d db -c photos -f KvColorFeatureClass -n -1 -i '!@rffg00b00'

e2e_run "a count that is not a number" - "$(want bad_n <<'EOF'
Error=10001  Severity=1
KIVO error: number of results -n ten is not a whole number 
EOF
)" 255 "$QBE" -d db -c photos -f KvColorFeatureClass -n ten -i '!@rffg00b00'

{
  echo 'Skipping bad parameter in string W=abc for feature KvColorFeatureClass'
  cat "$E2E_EXPECTED/usage_kvqbe.txt"
  echo 'Error=10001  Severity=1'
  echo 'KIVO error: KvParameterClass::FromCommandLineString: W=abc is not a number '
} >"$W/want.bad_w"
e2e_run "a weight that is not a number" "$(want bad_w_out <<'EOF'
Error=10001  Severity=1
KIVO error: KvParameterClass::FromCommandLineString: W=abc is not a number 
EOF
)" "$W/want.bad_w" 255 "$QBE" -d db -c photos -f KvColorFeatureClass:W=abc -i '!@rffg00b00'

e2e_run "-d naming no database" - "$(want_usage no_db <<'EOF'
Error=10001  Severity=1
KIVO error: database nodb does not exist 
EOF
)" 255 "$QBE" -d nodb -c photos -f KvColorFeatureClass -i '!@rffg00b00'
if [ -e nodb ]; then
  echo "FAIL: a query made the database directory nodb"
  E2E_FAILURES=$((E2E_FAILURES + 1))
fi

e2e_run "a query form without a reader" - "$(want_usage no_q <<'EOF'
Error=10001  Severity=1
KIVO error: option -Q is not supported by this command 
EOF
)" 255 "$QBE" -d db -c photos -Q spec.txt

"$QBE" -t -d db -c photos -f KvColorFeatureClass -n 1 -i '!@rffg00b00' >timed.out 2>timed.err
e2e_run "-t times the feature query" "$(want timed <<'EOF'
total of 1 keys found
!@rffg00b00 0.000000

query time: N ms
EOF
)" - 0 bash -c 'cat timed.out; sed "s/[0-9][0-9]* ms/N ms/" timed.err'

# A random ranking ignores the keyword, so the keyword query still follows it.
e2e_run "keyword after a random ranking" "$(want random_keyword <<'EOF'
total of 2 keys found
!@rffgffb00 0.000000
!@rffgffbff 0.250000

total of 4 keys found
!@r00g00bff 0.000000
!@rf0g10b00 0.000000
!@rffg00b00 0.000000
!@rffgffb00 0.000000

EOF
)" - 0 "$QBE" -d db -c photos -T car -R -n 2

e2e_run "picker description" "$(want picker <<'EOF'
total of 2 keys found
!@rffg00b00 0.000000
!@rf0g10b00 0.002049

EOF
)" - 0 "$QBE" -d db -c photos -f KvColorFeatureClass -S 'D100 80 R0 0 100 80 255 0 0' -n 2

e2e_run "image with an all-white mask" "$(want mask <<'EOF'
total of 2 keys found
!@r00g00bff 0.000000
!@r80g80b80 0.378623

EOF
)" - 0 "$QBE" -d db -c photos -f KvColorFeatureClass -I '!@r00g00bff' -M '!@rffgffbff' -n 2

"$QBE" -d db -c photos -R -n 3 >random1.txt 2>&1
e2e_run "-R gives the same ranking twice" random1.txt - 0 "$QBE" -d db -c photos -R -n 3
e2e_run "-R ranks the first feature's keys" "$(want random <<'EOF'
total of 3 keys found
!@rffgffb00 0.000000
!@rffgffbff 0.250000
!@r00g00bff 0.375000

EOF
)" - 0 "$QBE" -d db -c photos -R -n 3
"$QBE" -d db -c photos -r -n 3 >random2.txt 2>&1
if [ "$(head -1 random2.txt)" != "total of 3 keys found" ] || [ "$(wc -l <random2.txt)" != 5 ]; then
  echo "FAIL: -r did not list three keys"
  cat random2.txt
  E2E_FAILURES=$((E2E_FAILURES + 1))
fi

e2e_run "-L lists every feature class" "$(want all <<'EOF'
KvColorHistogramFeatureClass
KvDrawFeatureClass
KvColorFeatureClass
KvTextFeatureClass
KvTextureFeatureClass
KvColorHistogramSubPartFeatureClass
KvColorSubPartFeatureClass
KvTextureSubPartFeatureClass
KvHsvHistogramFeatureClass
KvEdgeHistogramFeatureClass
KvColorEdgeFeatureClass
KvCorrelogramFeatureClass
KvHsvBandsFeatureClass
KvColorDifferenceFeatureClass
KvColorTextureFeatureClass

EOF
)" - 0 "$QBE" -L

e2e_run "-l lists the catalog's feature classes" "$(want catalog <<'EOF'
KvColorFeatureClass
KvColorHistogramFeatureClass
KvTextFeatureClass

EOF
)" - 0 "$QBE" -d db -c photos -l

e2e_run "-F dumps feature values" "$(want dump <<'EOF'
KvColorFeatureClass
    -3897     -5481     10448

EOF
)" - 0 "$QBE" -d db -c photos -F KvColorFeatureClass -i '!@r00gffb00'

# A dump whose example cannot be set up prints no values and fails as the
# query would.
e2e_run "-F with a key that is not stored" - "$(want dump_nokey <<'EOF'
input key: nokey does not exist in the database
Error=10001  Severity=0
KIVO error: KivoWrapClass::SetQueryKey: key nokey is not stored in catalog photos 
EOF
)" 255 "$QBE" -d db -c photos -F KvColorFeatureClass -i nokey
e2e_run "-F with an image file that does not exist" - "$(want dump_nofile <<'EOF'
input image: nosuch.ppm does not exist!
Error=10010  Severity=0
KvAnyrd: Input image file not found. filename: nosuch.ppm  paths . 
EOF
)" 255 "$QBE" -d db -c photos -F KvColorFeatureClass -I nosuch.ppm

e2e_run "-P -P lists parameters" "$(want parms <<'EOF'
KvColorHistogramFeatureClass:W=2.000000:F=0:O=0:C=0:PHiLoCut=.05,LoMult=2.0,HiMult=1.0,MinPnltyPct=.05,Excess=.15

EOF
)" - 0 "$QBE" -P -P -d db -c photos -f KvColorHistogramFeatureClass:W=2

e2e_run "unknown key" - "$(want unknown <<'EOF'
input key: nokey does not exist in the database
Error=10001  Severity=0
KIVO error: KivoWrapClass::SetQueryKey: key nokey is not stored in catalog photos 
EOF
)" 255 "$QBE" -d db -c photos -f KvColorFeatureClass -i nokey

e2e_run "a feature the catalog lacks" - "$(want missing <<'EOF'
Error in database query with message: KvCatCls: Open for feature table TextureF.photos failed with rc -1.
Error=10046  Severity=1
KvCatCls: Open for feature table TextureF.photos failed with rc -1. 
EOF
)" 255 "$QBE" -d db -c photos -f KvTextureFeatureClass -i '!@rffg00b00'

# Real image files: PPM images with masks (sub-parts) and keyword texts in the
# "text" directory beside the images' directory.
mkdir -p images/set1 text/set1
e2e_ppm 20 10 '\xff\x00\x00' '\x00\x00\xff' >images/set1/flag.ppm
e2e_ppm 20 10 '\xff\xff\xff' '\x00\x00\x00' >images/set1/left.ppm
e2e_ppm 20 10 '\x00\x00\x00' '\xff\xff\xff' >images/set1/right.ppm
e2e_ppm 20 10 '\x00\xff\x00' '\x00\xff\x00' >images/set1/green.ppm
e2e_ppm 20 10 '\xff\x00\x00' '\xff\x00\x00' >images/set1/red.ppm
e2e_ppm 20 10 '\x00\x00\xff' '\x00\x00\xff' >images/set1/blue.ppm
printf 'flag red blue\n' >text/set1/flag.ppm.txt
printf 'red car\n' >text/set1/red.ppm.txt
printf 'blue sky\n' >text/set1/blue.ppm.txt
if ! "$KIVO_BIN/KvMkDbs" -d db -c pics -e KivoImagePath=images/set1 -e KivoMaskPath=images/set1 \
  -f KvColorFeatureClass -f KvColorSubPartFeatureClass -f KvTextFeatureClass \
  +p flag.ppm '(' left.ppm right.ppm ')' red.ppm blue.ppm green.ppm >build2.log 2>&1; then
  echo "FAIL: KvMkDbs could not build the catalog of image files"
  cat build2.log
  exit 1
fi
export KivoImagePath=images/set1 KivoMaskPath=images/set1

e2e_run "image file query" "$(want file <<'EOF'
total of 4 keys found
red.ppm 0.000000
flag.ppm 0.240567
green.ppm 0.861516
blue.ppm 0.962433

EOF
)" - 0 "$QBE" -d db -c pics -f KvColorFeatureClass -I red.ppm

e2e_run "keyword text of image files restricts the ranking" "$(want file_keyword <<'EOF'
total of 2 keys found
flag.ppm 0.240650
red.ppm 0.962433

EOF
)" - 0 "$QBE" -d db -c pics -T red -f KvColorFeatureClass -I blue.ppm

e2e_run "sub-part query by a masked image" "$(want subpart <<'EOF'
total of 2 keys found
left.ppm 0.000000
right.ppm 0.962433

EOF
)" - 0 "$QBE" -d db -c pics -f KvColorSubPartFeatureClass -I flag.ppm -M left.ppm

# Sub-part and whole-image features together: each sub-part key is ranked by
# its own record and its parent image's, the sum divided by two.
e2e_run "mixed query divides by the number of features" "$(want mixed <<'EOF'
total of 2 keys found
right.ppm 0.120325
left.ppm 0.601541

EOF
)" - 0 "$QBE" -d db -c pics -f KvColorSubPartFeatureClass -f KvColorFeatureClass -I flag.ppm -M right.ppm

# A keyword term beside an image feature in one group: keys whose keywords do
# not match rank with the keyword feature's largest distance, 1.0; green.ppm
# has no keyword record and is left out.
e2e_run "keywords and colour in one group" "$(want words_colour <<'EOF'
total of 3 keys found
red.ppm 0.000000
flag.ppm 0.740567
blue.ppm 1.962433

EOF
)" - 0 "$QBE" -d db -c pics -f KvColorFeatureClass -f KvTextFeatureClass -I red.ppm

e2e_run "-e gives a setting for the query" "$(want setting <<'EOF'
total of 1 keys found
red.ppm 0.000000

EOF
)" - 0 env -u KivoImagePath "$QBE" -e KivoImagePath=images/set1 -d db -c pics -f KvColorFeatureClass -n 1 \
  -I red.ppm

e2e_run "a missing image file" - "$(want nofile <<'EOF'
input image: nosuch.ppm does not exist!
Error=10010  Severity=0
KvAnyrd: Input image file not found. filename: nosuch.ppm  paths images/set1. 
EOF
)" 255 "$QBE" -d db -c pics -f KvColorFeatureClass -I nosuch.ppm

# A catalog whose histogram table was replaced behind its back by the colour
# table: its eight records no longer decode as histograms. They are left out
# and counted (severity 0); the record stored since ranks as usual.
cp -r db damaged
cp damaged/ColorFeF.photos damaged/ColorHiF.photos
KivoTextPath="$W/text/" "$KIVO_BIN/KvMkDbs" -d damaged -c photos -f KvColorFeatureClass \
  -f KvColorHistogramFeatureClass '!@rf0g00b00' >build3.log 2>&1
e2e_run "records that cannot be measured are left out" "$(want unmeasured <<'EOF'
total of 1 keys found
!@rf0g00b00 0.000000

EOF
)" "$(want unmeasured_err <<'EOF'
Error=10001  Severity=0
KIVO error: KvQueryServerClass: 8 stored records could not be measured and were left out 
EOF
)" 0 "$QBE" -d damaged -c photos -f KvColorHistogramFeatureClass -f KvColorFeatureClass:W=0 -I '!@rffg00b00'

cd / && rm -rf "$W"
e2e_finish
