#!/bin/bash
# Failures of sharded catalogs, under real mpirun: a missing shard and a
# damaged one fail the query naming the shard, --partial answers from the
# others and says which did not answer, and a rank that dies fails the job
# with no answer printed.
. "$(dirname "$0")/lib/shard.bash"

# Four photos of each of three classes in three shards.
for class in beach bus dinosaur; do
  mkdir -p "photos/$class"
  for f in $(ls "$PHOTOS/$class" | head -4); do cp "$PHOTOS/$class/$f" "photos/$class/"; done
done
KEY=bus/$(ls photos/bus | sed -n 2p)
"$KIVO_BIN/kivo" shard init -d db -c cat -n 3 >/dev/null && "$KIVO_BIN/kivo" index -q -d db -c cat -j 2 photos || exit 1

e2e_transcript_start
e2e_note "a missing shard fails the query, naming it; --partial answers from the others"
cp -r db broken
rm broken/*.cat.s1
e2e_step "query" kivo query -d broken -c cat -i "$KEY" -n 3
e2e_step "query under 2 ranks" mpikivo 2 query -d broken -c cat -i "$KEY" -n 3
e2e_step "--partial" kivo query -d broken -c cat -I "photos/$KEY" -n 3 --partial
e2e_step "--partial under 3 ranks" mpikivo 3 query -d broken -c cat -I "photos/$KEY" -n 3 --partial
e2e_step "status" kivo shard status -d broken -c cat
e2e_note "a damaged shard: its correlogram table cut short"
cp -r db damaged
head -c 1000 damaged/CorreloF.cat.s2 >cut && mv cut damaged/CorreloF.cat.s2
e2e_step "query" mpikivo 2 query -d damaged -c cat -I "photos/$KEY" -n 3 -f KvCorrelogramFeatureClass
e2e_step "--partial" mpikivo 2 query -d damaged -c cat -I "photos/$KEY" -n 3 -f KvCorrelogramFeatureClass --partial
e2e_note "a rank that dies before it answers: the job fails and prints no answer"
dies() {
  "${MPIRUN[@]}" -np 2 bash -c 'if [ "$OMPI_COMM_WORLD_RANK" = 1 ]; then kill -9 $$; fi; exec "$0" "$@"' \
    "$KIVO_BIN/kivo" query -d db -c cat -i "$KEY" -n 3 2>/dev/null
  [ $? -ne 0 ] && echo "the job failed"
}
e2e_step "rank 1 killed" dies
e2e_transcript_check "$E2E_EXPECTED/kivo_shard_failures.txt"

cd / && rm -rf "$WORK"
e2e_finish
