# What the sharded-catalog scripts share: the photographs and mpirun (the
# script is skipped without them), a scratch directory named for the script,
# and kivo with and without mpirun, the scratch directory written as @.
. "$(dirname "${BASH_SOURCE[0]}")/check.bash"
unset KivoImagePath KivoMaskPath KivoTextPath KivoDatabaseName KivoConnectMode KivoConnectClass
unset KIVO_DATABASE KIVO_CATALOG KIVO_JOBS KIVO_PROGRESS
export KIVO_CONFIG=/nonexistent/kivo.toml
PHOTOS=${KIVO_PHOTOS:-/work/shared/data/wang1k}
if [ ! -d "$PHOTOS/beach" ]; then
  echo "skipped: no photographs in $PHOTOS (set KIVO_PHOTOS)"
  exit 77
fi
if ! command -v mpirun >/dev/null; then
  echo "skipped: no mpirun"
  exit 77
fi
# CI runs as root; Open MPI wants to be told that is meant.
export OMPI_ALLOW_RUN_AS_ROOT=1 OMPI_ALLOW_RUN_AS_ROOT_CONFIRM=1
MPIRUN=(mpirun --oversubscribe)

WORK=$(e2e_workdir "$(basename "$0" .sh)")
cd "$WORK" || exit 1

# shard_masked PROGRAM ARGS...: runs it with $WORK written as @ in what it
# prints; mpirun's own report of a failed job (blocks between lines of
# dashes, in no fixed order with the ranks' lines) is left out.
shard_masked() {
  local o e rc
  o=$(mktemp) e=$(mktemp)
  "$@" >"$o" 2>"$e"
  rc=$?
  sed "s#$WORK#@#g" "$o"
  sed -e "s#$WORK#@#g" "$e" | awk '/^-----/ { inside = !inside; next } !inside' >&2
  rm -f "$o" "$e"
  return $rc
}
kivo() { shard_masked "$KIVO_BIN/kivo" "$@"; }
# mpikivo N ARGS...: kivo under mpirun -np N.
mpikivo() {
  local n=$1
  shift
  shard_masked "${MPIRUN[@]}" -np "$n" "$KIVO_BIN/kivo" "$@"
}
