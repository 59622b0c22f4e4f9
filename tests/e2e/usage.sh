#!/bin/bash
# Each tool called without arguments (and KvQBE with -h) prints its usage text
# and exits with status 0.
. "$(dirname "$0")/lib/check.bash"
unset KivoImagePath KivoMaskPath KivoTextPath KivoDatabaseName KivoConnectMode KivoConnectClass

X="$E2E_EXPECTED"
e2e_run "KvMkDbs no arguments" "$X/usage_kvmkdbs.txt" - 0 "$KIVO_BIN/KvMkDbs"
e2e_run "KvQBE no arguments" "$X/usage_kvqbe.txt" - 0 "$KIVO_BIN/KvQBE"
e2e_run "KvQBE -h" - "$X/usage_kvqbe.txt" 0 "$KIVO_BIN/KvQBE" -h
e2e_run "KvQBE -h among other options" - "$X/usage_kvqbe.txt" 0 "$KIVO_BIN/KvQBE" -d db -c cat -h
e2e_run "KvMkThmb no arguments" "$X/usage_kvmkthmb.txt" - 0 "$KIVO_BIN/KvMkThmb"
e2e_run "KvDumpDb no arguments" "$X/usage_kvdumpdb.txt" - 0 "$KIVO_BIN/KvDumpDb"
e2e_finish
