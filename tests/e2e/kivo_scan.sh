#!/bin/bash
# kivo scan on a catalog built by KvMkDbs: scan files reported missing,
# written, found current, found stale after the catalog changes and damaged
# after a write behind their back, and rewritten; a query reads the same
# ranking from them as from the tables.
. "$(dirname "$0")/lib/check.bash"
unset KivoImagePath KivoMaskPath KivoTextPath KivoDatabaseName KivoConnectMode KivoConnectClass KivoScanFiles
unset KIVO_DATABASE KIVO_CATALOG
export KIVO_CONFIG=/nonexistent/kivo.toml

W=$(e2e_workdir kivo_scan)
cd "$W" || exit 1
K="$KIVO_BIN/kivo"

# want NAME: the expected text read from standard input, as a file.
want() {
  cat >"$W/want.$1"
  echo "$W/want.$1"
}

if ! "$KIVO_BIN/KvMkDbs" -d db -c photos -f KvColorFeatureClass -f KvColorHistogramFeatureClass \
  -f KvTextFeatureClass '!@rffg00b00' '!@r00gffb00' '!@r00g00bff' >build.log 2>&1; then
  echo "FAIL: KvMkDbs could not build the catalog"
  cat build.log
  exit 1
fi

e2e_run "check before any query" "$(want missing <<'EOF2'
KvColorFeatureClass missing
KvColorHistogramFeatureClass missing
EOF2
)" - 1 "$K" scan check -d db -c photos

e2e_run "refresh writes them" "$(want written <<'EOF2'
KvColorFeatureClass 3 records 4216 bytes written
KvColorHistogramFeatureClass 3 records 5728 bytes written
EOF2
)" - 0 "$K" scan refresh -d db -c photos

e2e_run "refresh again finds them current" "$(want current <<'EOF2'
KvColorFeatureClass 3 records 4216 bytes current
KvColorHistogramFeatureClass 3 records 5728 bytes current
EOF2
)" - 0 "$K" scan refresh -d db -c photos

e2e_run "check finds them current" "$(want checked <<'EOF2'
KvColorFeatureClass current
KvColorHistogramFeatureClass current
EOF2
)" - 0 "$K" scan check -d db -c photos

# The catalog changes behind the scan files' back.
if ! "$KIVO_BIN/KvMkDbs" -d db -c photos '!@rffgffb00' >>build.log 2>&1; then
  echo "FAIL: KvMkDbs could not add an image"
  cat build.log
  exit 1
fi
e2e_run "check after the catalog changed" "$(want stale <<'EOF2'
KvColorFeatureClass not current (stale)
KvColorHistogramFeatureClass not current (stale)
EOF2
)" - 1 "$K" scan check -d db -c photos

e2e_run "refresh rewrites stale files" "$(want rewritten <<'EOF2'
KvColorFeatureClass 4 records 4240 bytes written
KvColorHistogramFeatureClass 4 records 6256 bytes written
EOF2
)" - 0 "$K" scan refresh -d db -c photos

printf 'xx' | dd of=db/KvScan/ColorFeF.photos bs=1 seek=100 conv=notrunc status=none
e2e_run "check finds a damaged header" "$(want damaged <<'EOF2'
KvColorFeatureClass not current (header checksum)
KvColorHistogramFeatureClass current
EOF2
)" - 1 "$K" scan check -d db -c photos

e2e_run "refresh replaces the damaged file" "$(want repaired <<'EOF2'
KvColorFeatureClass 4 records 4240 bytes written
KvColorHistogramFeatureClass 4 records 6256 bytes current
EOF2
)" - 0 "$K" scan refresh -d db -c photos

KivoScanFiles=off "$KIVO_BIN/KvQBE" -d db -c photos -f KvColorHistogramFeatureClass -i '!@rffg00b00' >off.out 2>&1
e2e_run "a query reads the table walk's ranking from the scan files" off.out - 0 \
  env KivoScanFiles=on "$KIVO_BIN/KvQBE" -d db -c photos -f KvColorHistogramFeatureClass -i '!@rffg00b00'

e2e_run "a catalog that does not exist" - "$(want no_catalog <<'EOF2'
kivo scan: no catalog nope in database db
EOF2
)" 1 "$K" scan check -d db -c nope

e2e_run "an unknown action" - "$(want bad_action <<'EOF2'
action: tidy not in {refresh,check}
Run with --help for more information.
EOF2
)" 2 "$K" scan tidy -d db -c photos

e2e_finish
