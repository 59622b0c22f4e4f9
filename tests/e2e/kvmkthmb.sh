#!/bin/bash
# KvMkThmb on real image files: single mode, list mode with -o, -s and -e,
# 24-bit thumbnails, missing and broken inputs, refused command lines.
. "$(dirname "$0")/lib/check.bash"

T="$KIVO_BIN/KvMkThmb"
W=$(e2e_workdir kvmkthmb)
trap 'rm -rf "$W"' EXIT
cd "$W" || exit 1
unset KivoImagePath KivoMaskPath KivoTextPath

# expect NAME: the expected text on standard input, kept as file NAME.
expect() { cat >"$W/$1"; }
# Width x height of a GIF (logical screen, little-endian) and of a PNG (IHDR,
# big-endian).
gif_size() { od -An -tu1 -j6 -N4 "$1" | awk '{print $1 + 256 * $2 "x" $3 + 256 * $4}'; }
png_size() {
  od -An -tu1 -j16 -N8 "$1" | awk '{print $3 * 256 + $4 "x" $7 * 256 + $8}'
}
check_size() {
  local label=$1 want=$2 got=$3
  if [ "$want" != "$got" ]; then
    echo "FAIL: $label: size $got, expected $want"
    E2E_FAILURES=$((E2E_FAILURES + 1))
  fi
}

# Real input files, made from synthetic colour images: each is enlarged and
# padded to the size asked for.
mkdir imgs out
expect made.out <<'EOF'
Create thumbnail imgs/big.gif successful
EOF
e2e_run "make 800x600 input" made.out - 0 "$T" -p -w 800 -h 600 '!@rffg80b00' imgs/big.gif
check_size "800x600 input" 800x600 "$(gif_size imgs/big.gif)"
"$T" -p -w 640 -h 480 '!@r20g40bc0' imgs/mid.gif >/dev/null
check_size "640x480 input" 640x480 "$(gif_size imgs/mid.gif)"

# Single mode.
expect single.out <<'EOF'
Create thumbnail big.thumb.gif successful
EOF
e2e_run "single image" single.out - 0 "$T" imgs/big.gif big.thumb.gif
check_size "single image thumbnail" 100x75 "$(gif_size big.thumb.gif)"

expect single_pad.out <<'EOF'
Create thumbnail mid.pad.gif successful
EOF
e2e_run "single image padded" single_pad.out - 0 "$T" -p -w 120 -h 90 imgs/mid.gif mid.pad.gif
check_size "padded thumbnail" 120x90 "$(gif_size mid.pad.gif)"
"$T" imgs/mid.gif mid.thumb.gif >/dev/null
check_size "640x480 thumbnail" 99x74 "$(gif_size mid.thumb.gif)"

expect single_24.out <<'EOF'
Create thumbnail big24.png successful
EOF
e2e_run "24-bit thumbnail" single_24.out - 0 "$T" -t -w 50 -h 50 imgs/big.gif big24.png
check_size "24-bit thumbnail" 50x38 "$(png_size big24.png)"

# List mode: names looked up along KivoImagePath (set with -e), thumbnails
# named after the list entry, in the -o directory with the -s suffix. Blank
# lines and words after the name are ignored; a missing image is reported and
# the command goes on.
printf 'big.gif\n\nmissing.gif\nmid.gif  more words\n' >list.txt
expect list.out <<'EOF'
Create thumbnail out/big.gif.small.gif successful
Create thumbnail out/missing.gif.small.gif failed due to KvAnyrd: Input image file not found. filename: missing.gif  paths imgs.
Create thumbnail out/mid.gif.small.gif successful
EOF
e2e_run "list with -o, -s and -e" list.out - 0 "$T" -l list.txt -o out -s .small.gif -w 40 -h 40 -e KivoImagePath=imgs
check_size "list thumbnail 1" 40x30 "$(gif_size out/big.gif.small.gif)"
check_size "list thumbnail 2" 40x30 "$(gif_size out/mid.gif.small.gif)"

# Without -o and -s: beside the current directory, default suffix. The last
# entry decides the status.
printf 'imgs/mid.gif\nimgs/none.gif\n' >list2.txt
expect list2.out <<'EOF'
Create thumbnail imgs/mid.gif.thumb0.gif successful
Create thumbnail imgs/none.gif.thumb0.gif failed due to KvAnyrd: Input image file not found. filename: imgs/none.gif  paths .
EOF
expect list2.err <<'EOF'
Error=10010  Severity=0
KvAnyrd: Input image file not found. filename: imgs/none.gif  paths . 
EOF
e2e_run "list, default suffix" list2.out list2.err 255 "$T" -l list2.txt
check_size "default suffix thumbnail" 99x74 "$(gif_size imgs/mid.gif.thumb0.gif)"

# Missing and broken inputs.
expect missing.out <<'EOF'
Create thumbnail x.gif failed due to KvAnyrd: Input image file not found. filename: missing.gif  paths .
EOF
expect missing.err <<'EOF'
Error=10010  Severity=0
KvAnyrd: Input image file not found. filename: missing.gif  paths . 
EOF
e2e_run "missing input" missing.out missing.err 255 "$T" missing.gif x.gif

expect missing24.out <<'EOF'
Create thumbnail x.png failed due to KvAnyrd: Input image file not found. filename: missing.gif  paths .
EOF
expect missing24.err <<'EOF'
KvReadImageWrite24bitThumbnail: input image not found. filename: missing.gif  paths: 
Error=10010  Severity=0
KvAnyrd: Input image file not found. filename: missing.gif  paths . 
EOF
e2e_run "missing input, 24-bit" missing24.out missing24.err 255 "$T" -t missing.gif x.png

head -c 200 imgs/big.gif >cut.gif
out=$("$T" cut.gif cut.thumb.gif 2>/dev/null)
rc=$?
case "$out" in
  "Create thumbnail cut.thumb.gif failed due to AnyImage error: ./cut.gif, "*) ;;
  *) echo "FAIL: truncated input: $out"; E2E_FAILURES=$((E2E_FAILURES + 1)) ;;
esac
[ "$rc" = 255 ] || { echo "FAIL: truncated input: status $rc"; E2E_FAILURES=$((E2E_FAILURES + 1)); }
[ ! -e cut.thumb.gif ] || { echo "FAIL: truncated input wrote a thumbnail"; E2E_FAILURES=$((E2E_FAILURES + 1)); }

# Refused command lines and settings.
expect nolist.err <<'EOF'
Image list file cannot be opened
Error=10015  Severity=0
KivoWrapClass::MakeThumbnails: Unable to open file: nolist.txt. 
EOF
e2e_run "missing list file" - nolist.err 255 "$T" -l nolist.txt

"$T" >usage.txt
expect value.err <<'EOF'
Error=10001  Severity=0
KIVO error: KivoWrapClass::MakeThumbnails: option -w needs a value 
EOF
e2e_run "option without its value" usage.txt value.err 255 "$T" -p -w
expect names.err <<'EOF'
Error=10001  Severity=0
KIVO error: KivoWrapClass::MakeThumbnails: an image name and a thumbnail name are needed 
EOF
e2e_run "one name only" usage.txt names.err 255 "$T" -p imgs/big.gif

expect env.out <<'EOF'
Environment variable KivoNoSuchThing unknown to Kivo -- ignoring
EnvVar=EnvValue pair missing = sign -- ignoring
Create thumbnail e.gif successful
EOF
e2e_run "unknown settings" env.out - 0 "$T" -e KivoNoSuchThing=1 -e KivoImagePath -x imgs/big.gif e.gif

e2e_finish
