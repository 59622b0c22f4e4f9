#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for SECONDS seconds
# (default 20) on a copy of its seed corpus. Exits non-zero on any finding
# (crash, hang, leak or sanitizer report); the reproducer is left in
# build-fuzz/findings/<target>/.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-20}
jobs=$(nproc 2>/dev/null || echo 2)

if ! command -v clang++ >/dev/null 2>&1 || ! ls /usr/lib/llvm-*/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a >/dev/null 2>&1; then
  sudo_cmd=()
  if [ "$(id -u)" -ne 0 ]; then sudo_cmd=(sudo); fi
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq clang libclang-rt-dev >/dev/null
fi

CC=clang CXX=clang++ cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG="-O1 -g1" \
  -DCMAKE_C_FLAGS_DEBUG="-O1 -g1" -DKIVO_FUZZ=ON \
  -DKIVO_TESTS=OFF -DKIVO_BENCH=OFF -DKIVO_TABLEGEN=OFF >/dev/null
targets=$(cd fuzz && ls *.cpp | sed 's/\.cpp$//')
if ! cmake --build build-fuzz -j"$jobs" --target $(for t in $targets; do printf 'fuzz_%s ' "$t"; done) >build-fuzz/build.log 2>&1; then
  tail -40 build-fuzz/build.log; exit 1
fi

status=0
for t in $targets; do
  work=build-fuzz/work/$t
  findings=build-fuzz/findings/$t
  rm -rf "$work" "$findings"
  mkdir -p "$work/corpus" "$findings"
  if [ -d "fuzz/corpus/$t" ]; then cp -r "fuzz/corpus/$t/." "$work/corpus/"; fi
  dict=()
  if [ -f "fuzz/$t.dict" ]; then dict=(-dict="$PWD/fuzz/$t.dict"); fi
  log=$work/log.txt
  if (cd "$work" && KIVO_FUZZ_TMP="$PWD/tmp" \
      ASAN_OPTIONS=detect_leaks=1:allocator_may_return_null=1 \
      UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
      "../../fuzz/fuzz_$t" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
        -artifact_prefix="$PWD/../../findings/$t/" "${dict[@]}" corpus >"log.txt" 2>&1); then
    runs=$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$log" | grep -o '[0-9]*$' || echo '?')
    cov=$(grep -o 'cov: [0-9]*' "$log" | tail -1 | grep -o '[0-9]*' || echo '?')
    echo "fuzz: $t ok ($runs executions, coverage $cov)"
  else
    echo "fuzz: $t FAILED; see $log and $findings"
    tail -40 "$log"
    status=1
  fi
done
exit $status
