#!/usr/bin/env bash
# Installs what is needed, builds, and runs every test: the unit and
# end-to-end tests on the release build, then the unit tests and the kivotcl
# end-to-end test again under AddressSanitizer and UndefinedBehaviorSanitizer
# (built with clang), the server and threaded tests under ThreadSanitizer, and
# a short run of every fuzz target from the sanitizer tree.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc 2>/dev/null || echo 2)
start=$(date +%s)
# Prints how long the run has taken so far, so a slow stage shows in the log.
stage() { echo "test: $1 after $(( $(date +%s) - start )) s"; }

scripts/setup.sh

cmake --build build -j"$jobs"
ctest --test-dir build --output-on-failure -j"$jobs"
stage "release build and tests done"

# One clang tree with AddressSanitizer and UndefinedBehaviorSanitizer serves
# the unit tests and the fuzz targets (built with libFuzzer's coverage), so
# the libraries are compiled once for both. -O1 keeps it quick to run; -g1
# keeps line numbers in reports.
# A tree configured earlier with another compiler is made afresh.
if [ -f build-asan/CMakeCache.txt ] && ! grep -q '^CMAKE_CXX_COMPILER:.*clang' build-asan/CMakeCache.txt; then
  rm -rf build-asan
fi
CC=clang CXX=clang++ cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG="-O1 -g1" \
  -DCMAKE_C_FLAGS_DEBUG="-O1 -g1" -DKIVO_SANITIZE=ON -DKIVO_FUZZ=ON -DKIVO_BENCH=OFF -DKIVO_TABLEGEN=OFF >/dev/null
cmake --build build-asan -j"$jobs"
ASAN_OPTIONS=detect_leaks=1:allocator_may_return_null=1:abort_on_error=1 \
LSAN_OPTIONS=suppressions="$PWD/tests/lsan.supp" \
UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir build-asan -L unit --output-on-failure -j"$jobs"
# The Tcl shell keeps several command-library objects alive at once; its
# end-to-end test runs under the sanitizers too.
ASAN_OPTIONS=detect_leaks=1:allocator_may_return_null=1:abort_on_error=1 \
LSAN_OPTIONS=suppressions="$PWD/tests/lsan.supp" \
UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir build-asan -R '^e2e_kivotcl$' --output-on-failure
stage "sanitizer build and tests done"

# The query server and its client, the threaded scans and the kivo command's
# workers (index, dups, thumbs), under
# ThreadSanitizer: only the programs and the test programs they need are
# built in this tree.
cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG="-O1 -g1" -DCMAKE_C_FLAGS_DEBUG="-O1 -g1" \
  -DKIVO_TSAN=ON -DKIVO_BENCH=OFF -DKIVO_TABLEGEN=OFF >/dev/null
cmake --build build-tsan -j"$jobs" --target KvQSrv KvMkDbs kivo_server_tests kivo_eventloop_tests kivo_scan_tests \
  kivo_kivo_tests kivo_shard_tests
# The scan kernels run on one thread and take minutes under this sanitizer,
# so only the threaded scans run here. The scan tests run without the
# deadlock detector: the table library takes one mutex per cached page, whose
# lock graph made the detector most of their time (175 s instead of 24 s),
# and its reports on that library are suppressed anyway; the scans' own
# threads share only the pool's queue.
tsan="halt_on_error=1:second_deadlock_stack=1:suppressions=$PWD/tests/tsan.supp"
GTEST_FILTER='-KernelTargets.*:ScanLayouts.*' TSAN_OPTIONS="$tsan" \
  ctest --test-dir build-tsan -L 'server|threads' -E '^scan$' --output-on-failure -j"$jobs"
GTEST_FILTER='-KernelTargets.*:ScanLayouts.*' TSAN_OPTIONS="$tsan:detect_deadlocks=0" \
  ctest --test-dir build-tsan -R '^scan$' --output-on-failure
stage "thread sanitizer build and tests done"

KIVO_FUZZ_TREE=build-asan fuzz/run.sh "${KIVO_FUZZ_SECONDS:-10}"
stage "fuzzing done"
echo "test: all tests passed"
