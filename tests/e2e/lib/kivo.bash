# Helpers of the kivo command's end-to-end scripts (after check.bash): a clean
# environment, no configuration file, and the program with the script's
# scratch directory $WORK written as @ in what it prints.
unset KivoImagePath KivoMaskPath KivoTextPath KivoDatabaseName KivoConnectMode KivoConnectClass
unset KIVO_DATABASE KIVO_CATALOG KIVO_JOBS KIVO_PROGRESS XDG_CONFIG_HOME
export KIVO_CONFIG=/nonexistent/kivo.toml
PY=/usr/bin/python3

# kivo ARGS...: runs the program; its status is the program's.
kivo() {
  local o e rc
  o=$(mktemp) e=$(mktemp)
  "$KIVO_BIN/kivo" "$@" >"$o" 2>"$e"
  rc=$?
  sed "s#$WORK#@#g" "$o"
  sed "s#$WORK#@#g" "$e" >&2
  rm -f "$o" "$e"
  return $rc
}
KIVO=kivo
