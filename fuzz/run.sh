#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for SECONDS seconds
# (default 20) on a copy of its seed corpus, as many at a time as there are
# cores (KIVO_FUZZ_JOBS overrides). Exits non-zero on any finding (crash,
# hang, leak or sanitizer report) and when a target leaves files outside its
# scratch directory; the reproducer is left in build-fuzz/findings/<target>/.
# Replay one with: build-fuzz/fuzz/fuzz_<target> <file> (or the given tree's)
# KIVO_FUZZ_TREE names a tree already configured with clang and -DKIVO_FUZZ=ON
# (the test command's sanitizer tree) whose targets are used instead.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-20}
jobs=${KIVO_FUZZ_JOBS:-$(nproc 2>/dev/null || echo 2)}
tree=${KIVO_FUZZ_TREE:-build-fuzz}

if ! command -v clang++ >/dev/null 2>&1 || ! ls /usr/lib/llvm-*/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a >/dev/null 2>&1; then
  sudo_cmd=()
  if [ "$(id -u)" -ne 0 ]; then sudo_cmd=(sudo); fi
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq clang libclang-rt-dev >/dev/null
fi

if [ -z "${KIVO_FUZZ_TREE:-}" ]; then
  CC=clang CXX=clang++ cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG="-O1 -g1" \
    -DCMAKE_C_FLAGS_DEBUG="-O1 -g1" -DKIVO_FUZZ=ON \
    -DKIVO_TESTS=OFF -DKIVO_BENCH=OFF -DKIVO_TABLEGEN=OFF >/dev/null
fi
targets=$(cd fuzz && ls *.cpp | sed 's/\.cpp$//')
build_start=$(date +%s)
if ! cmake --build "$tree" -j"$jobs" --target $(for t in $targets; do printf 'fuzz_%s ' "$t"; done) >"$tree/fuzz-build.log" 2>&1; then
  tail -40 "$tree/fuzz-build.log"; exit 1
fi
echo "fuzz: targets built in $(( $(date +%s) - build_start )) s"
bins=$(cd "$tree/fuzz" && pwd)

# Runs one target in build-fuzz/work/<target>; its exit status is the verdict.
check_target() {
  local t=$1 work=build-fuzz/work/$1 findings=build-fuzz/findings/$1
  rm -rf "$work" "$findings"
  mkdir -p "$work/corpus" "$work/tmp" "$findings"
  if [ -d "fuzz/corpus/$t" ]; then cp -r "fuzz/corpus/$t/." "$work/corpus/"; fi
  local dict=()
  if [ -f "fuzz/$t.dict" ]; then dict=(-dict="$PWD/fuzz/$t.dict"); fi
  (cd "$work" && KIVO_FUZZ_TMP="$PWD/tmp" \
      ASAN_OPTIONS=detect_leaks=1:allocator_may_return_null=1 \
      UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
      "$bins/fuzz_$t" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
        -artifact_prefix="$PWD/../../findings/$t/" "${dict[@]}" corpus >log.txt 2>&1) || return 1
  # Everything a target writes belongs in its scratch directory, which it
  # removes when it ends.
  local stray
  stray=$(cd "$work" && find . -mindepth 1 -maxdepth 1 ! -name corpus ! -name tmp ! -name log.txt; \
          find tmp -mindepth 1 2>/dev/null | head -5)
  if [ -n "$stray" ]; then
    echo "files left outside the scratch directory or after the run: $stray" >>"$work/log.txt"
    return 1
  fi
}

# The verdict goes to a file: the runs are collected with wait -n, which
# forgets the status of each job it reaps.
run_target() {
  if check_target "$1"; then echo ok >"build-fuzz/work/$1.verdict"; else echo failed >"build-fuzz/work/$1.verdict"; fi
}

mkdir -p build-fuzz/work
rm -f build-fuzz/work/*.verdict
for t in $targets; do
  while [ "$(jobs -rp | wc -l)" -ge "$jobs" ]; do wait -n || true; done
  run_target "$t" &
done
wait

status=0
for t in $targets; do
  log=build-fuzz/work/$t/log.txt
  if [ "$(cat "build-fuzz/work/$t.verdict" 2>/dev/null)" = ok ]; then
    runs=$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$log" | grep -o '[0-9]*$' || echo '?')
    cov=$(grep -o 'cov: [0-9]*' "$log" | tail -1 | grep -o '[0-9]*' || echo '?')
    ft=$(grep -o 'ft: [0-9]*' "$log" | tail -1 | grep -o '[0-9]*' || echo '?')
    echo "fuzz: $t ok ($runs executions, coverage $cov edges, $ft features)"
  else
    echo "fuzz: $t FAILED; see $log and build-fuzz/findings/$t"
    tail -40 "$log"
    status=1
  fi
done
exit $status
