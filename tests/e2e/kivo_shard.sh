#!/bin/bash
# kivo on sharded catalogs, under real mpirun: shards made and shown, a build
# without MPI and one whose ranks divide the files, both equal to a plain
# catalog of the same photos; every query (each feature, the default set,
# cascades, keyword restriction, keywords alone) answered exactly as the
# plain catalog answers it, with no MPI and under 2 and 3 ranks.
. "$(dirname "$0")/lib/shard.bash"

# Six photos of each of four classes.
for class in african beach bus dinosaur; do
  mkdir -p "photos/$class"
  for f in $(ls "$PHOTOS/$class" | head -6); do cp "$PHOTOS/$class/$f" "photos/$class/"; done
done
# Every class: the photo preset's three (queried at Z=1 by default, whose
# scale comes from a sample of the records as they were written) and the rest.
FEATURES=(-f photo -f colour -f histogram -f texture -f draw -f text -f KvColorEdgeFeatureClass)

e2e_transcript_start
e2e_note "a plain catalog and a sharded one of the same photos"
e2e_step "plain catalog" kivo index -q -d one -c cat -j 2 --folder-keywords "${FEATURES[@]}" photos
e2e_step "three shards" kivo shard init -d db -c cat --shards 3
e2e_step "status of empty shards" kivo shard status -d db -c cat
e2e_step "index without MPI" kivo index -d db -c cat -j 2 --folder-keywords "${FEATURES[@]}" photos
e2e_step "status" kivo shard status -d db -c cat
e2e_step "status as JSON" kivo shard status -d db -c cat --json
e2e_step "every shard is an ordinary catalog" "$KIVO_BIN/KvQBE" -d db -c cat.s1 -f KvColorFeatureClass \
  -I photos/bus/300.jpg -n 2

e2e_note "refusals"
e2e_step "init again" kivo shard init -d db -c cat -n 2
e2e_step "init over a plain catalog" kivo shard init -d one -c cat -n 2
e2e_step "no shards" kivo shard init -d db -c none -n 0
e2e_step "status of a plain catalog" kivo shard status -d one -c cat

e2e_note "a build under mpirun: each rank writes its own shards"
e2e_step "init" kivo shard init -d db -c mpi -n 3
e2e_step "index under 2 ranks" mpikivo 2 index -d db -c mpi -j 1 --folder-keywords "${FEATURES[@]}" photos
e2e_step "again under 3 ranks: nothing to do" mpikivo 3 index -d db -c mpi -j 1 --folder-keywords photos
rm photos/beach/$(ls photos/beach | head -1)
e2e_step "a file gone, under 3 ranks" mpikivo 3 index -d db -c mpi -j 1 --folder-keywords photos
e2e_step "the same without MPI" kivo index -d db -c cat -j 1 --folder-keywords photos
e2e_step "and in the plain catalog" kivo index -d one -c cat -j 1 --folder-keywords photos
e2e_transcript_check "$E2E_EXPECTED/kivo_shard.txt"

# The builds: shard for shard the same records, and together the plain
# catalog's.
for class in KvColorFeatureClass KvColorHistogramFeatureClass KvTextureFeatureClass KvDrawFeatureClass \
             KvTextFeatureClass KvCorrelogramFeatureClass KvColorTextureFeatureClass KvEdgeHistogramFeatureClass \
             KvColorEdgeFeatureClass KvColorDifferenceFeatureClass; do
  for i in 0 1 2; do
    "$KIVO_BIN/KvDumpDb" -c cat.s$i -d db -f $class >a.txt
    "$KIVO_BIN/KvDumpDb" -c mpi.s$i -d db -f $class >b.txt
    e2e_compare "$class of shard $i built under mpirun" a.txt b.txt
  done
  cmp -s db/KivoWhole.cat db/KivoWhole.mpi || { echo "FAIL: whole-catalog statistics differ"; E2E_FAILURES=$((E2E_FAILURES + 1)); }
  "$KIVO_BIN/KvDumpDb" -c cat -d one -f $class | sort >plain.txt
  for i in 0 1 2; do "$KIVO_BIN/KvDumpDb" -c cat.s$i -d db -f $class; done | sort >shards.txt
  e2e_compare "$class of the shards together" plain.txt shards.txt
done

# agree LABEL QUERY-ARGS...: the query on the sharded catalog prints exactly
# what it prints on the plain one, without MPI and under 3 ranks (and 2
# with AGREE_RANKS="2 3").
agree() {
  local label=$1 n
  shift
  kivo query -d one -c cat "$@" >want.txt 2>&1
  echo "status $?" >>want.txt
  kivo query -d db -c cat "$@" >got.txt 2>&1
  echo "status $?" >>got.txt
  e2e_compare "$label, no MPI" want.txt got.txt
  for n in ${AGREE_RANKS:-3}; do
    mpikivo $n query -d db -c cat "$@" >got.txt 2>&1
    echo "status $?" >>got.txt
    e2e_compare "$label, $n ranks" want.txt got.txt
  done
}
KEY=bus/$(ls photos/bus | sed -n 2p)
AGREE_RANKS="2 3" agree "default features by key" -i "$KEY" -n 10
agree "default features by image, every record" -I "photos/$KEY" -n 30 --json
agree "a sketch" -S "D32 24 R0 0 16 24 255 0 0 R16 0 16 24 0 0 255" -n 5 --tsv
for f in colour histogram texture draw KvCorrelogramFeatureClass KvColorTextureFeatureClass \
         KvEdgeHistogramFeatureClass KvColorEdgeFeatureClass KvColorDifferenceFeatureClass; do
  agree "$f alone" -i "$KEY" -n 7 -f $f
done
agree "the photo preset" -I "photos/$KEY" -n 8 --preset photo
agree "a descriptor at Z=1" -i "$KEY" -n 8 -f "KvEdgeHistogramFeatureClass:Z=1"
agree "two features weighted" -i "$KEY" -n 6 -f "texture:W=2" -f KvColorDifferenceFeatureClass
agree "a cascade of two groups" -i "$KEY" -n 6 -f "colour:O=1" -f "texture:O=2"
agree "a cascade into the preset" -i "$KEY" -n 6 -f "colour:O=1" -f "photo:O=2"
AGREE_RANKS="2 3" agree "a cascade of three groups" -I "photos/$KEY" -n 5 -f "histogram:O=3" -f "KvEdgeHistogramFeatureClass:O=1" \
  -f "draw:O=2" -f "texture:O=3"
agree "keywords alone" -T "beach,dinosaur" -n 20
AGREE_RANKS="2 3" agree "keywords restricting an example" -T "african,bus" -i "$KEY" -n 8
agree "keywords restricting a cascade" -T "bus+photos" -i "$KEY" -n 4 -f "colour:O=1" -f "texture:O=2"
# The catalog built under mpirun answers alike too.
for args in "-i $KEY -n 10" "-I photos/$KEY -n 6 -f colour:O=1 -f photo:O=2"; do
  kivo query -d one -c cat $args >want.txt 2>&1
  mpikivo 3 query -d db -c mpi $args >got.txt 2>&1
  e2e_compare "built under mpirun: $args" want.txt got.txt
done
agree "an unknown key" -i nothing.jpg
agree "an unknown feature" -i "$KEY" -f NoSuchFeatureClass

# The photo preset re-ranks its nearest 150 once the shortlist is large
# enough: over shards, with the records of every shard, as on one catalog.
for class in african beach bus dinosaur elephant flower; do
  mkdir -p "many/$class"
  for f in $(ls "$PHOTOS/$class" | head -10); do cp "$PHOTOS/$class/$f" "many/$class/"; done
done
kivo index -q -d one -c many -j 2 many
kivo shard init -d db -c many -n 3 >/dev/null
kivo index -q -d db -c many -j 2 many
for args in "-i beach/$(ls many/beach | sed -n 3p) -n 12" "-I many/elephant/$(ls many/elephant | head -1) -n 10 --tsv"; do
  kivo query -d one -c many $args >want.txt 2>&1
  kivo query -d db -c many $args >got.txt 2>&1
  e2e_compare "re-ranked: $args, no MPI" want.txt got.txt
  mpikivo 2 query -d db -c many $args >got.txt 2>&1
  e2e_compare "re-ranked: $args, 2 ranks" want.txt got.txt
  kivo query -d one -c many $args -f photo:PRerank=0 >plain.txt 2>&1
  if cmp -s want.txt plain.txt; then
    echo "FAIL: re-ranked: $args: the same order as by distance"
    E2E_FAILURES=$((E2E_FAILURES + 1))
  fi
done

cd / && rm -rf "$WORK"
e2e_finish
