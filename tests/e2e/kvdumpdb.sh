#!/bin/bash
# KvDumpDb on a catalog built by KvMkDbs: table files raw (text and hex
# forms) and decoded by a feature class, a catalog's feature tables, records
# that do not decode (reported and skipped), and refused command lines.
. "$(dirname "$0")/lib/check.bash"
unset KivoImagePath KivoMaskPath KivoTextPath KivoDatabaseName KivoConnectMode KivoConnectClass

WORK=$(e2e_workdir kvdumpdb)
cd "$WORK" || exit 1
MK="$KIVO_BIN/KvMkDbs"
DUMP="$KIVO_BIN/KvDumpDb"

# Runs KvDumpDb from inside the database directory.
KvDumpDb_in_db() { (cd db && "$DUMP" "$@"); }

e2e_transcript_start

e2e_step "build a catalog of two images" "$MK" -d db -c cat -f KvColorFeatureClass \
  -f KvColorHistogramFeatureClass '!@rffg00b00' '!@r00g00bff'

e2e_note "raw dumps: NUL-terminated text as text, anything else in hex"
e2e_step "feature index" "$DUMP" -d db FeatIdx.cat
e2e_step "feature index from inside the database (default ./)" KvDumpDb_in_db FeatIdx.cat
e2e_step "colour feature table" "$DUMP" -d db ColorFeF.cat

e2e_note "decoded dumps"
e2e_step "a table file decoded by its feature" "$DUMP" -d db ColorFeF.cat -f KvColorFeatureClass
e2e_step "the catalog form, one feature table" "$DUMP" -c cat -d db -f KvColorFeatureClass
e2e_step "a feature without a table in the catalog is skipped" "$DUMP" -c cat -d db \
  -f KvTextureFeatureClass -f KvColorFeatureClass
e2e_step "records that do not decode are reported and skipped" "$DUMP" -d db ColorFeF.cat \
  -f KvColorHistogramFeatureClass
e2e_step "a feature class the factory does not know gives a raw dump" "$DUMP" -d db ColorFeF.cat \
  -f KvNoSuchFeatureClass

e2e_note "usage and refusals"
e2e_step "catalog form without features" "$DUMP" -c cat -d db
e2e_step "a table file that does not exist" "$DUMP" -d db NoSuchTable.cat
e2e_step "a value option given last" "$DUMP" -d db FeatIdx.cat -f

e2e_transcript_check "$E2E_EXPECTED/kvdumpdb.txt"
cd / && rm -rf "$WORK"
e2e_finish
