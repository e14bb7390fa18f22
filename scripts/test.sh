#!/usr/bin/env bash
# The whole test suite, as CI runs it on a fresh machine:
#   1. installs the Debian packages and checks the C++ formatting,
#   2. builds with clang + ASan/UBSan (and the fuzzers), runs the unit tests there
#      and every fuzzer for a few seconds on its seed corpus,
#   3. builds with TSan and runs every unit test there,
#   4. builds the normal tree and runs every unit and end-to-end test through CTest.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
echo "== formatting"
bash scripts/check-format.sh

export CC=clang CXX=clang++
bash scripts/build.sh build-asan -DCMAKE_BUILD_TYPE=Debug -DJYX_SANITIZE=address \
  -DJYX_BUILD_FUZZERS=ON -DJYX_BUILD_BENCHMARKS=OFF
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
echo "== unit tests under ASan+UBSan"
build-asan/jyx_tests --gtest_brief=1
for f in build-asan/*_fuzzer; do
  [ -x "$f" ] || continue
  name=$(basename "$f")
  corpus=fuzz/corpus/${name%_fuzzer}
  echo "== fuzzing $name for 10 s"
  work=$(mktemp -d)
  cp -r "$corpus"/. "$work"/ 2>/dev/null || true
  "$f" -max_total_time=10 -print_final_stats=0 "$work" >/dev/null 2>"$work.log" || { tail -50 "$work.log"; exit 1; }
  rm -rf "$work" "$work.log"
done

# Every unit test runs under TSan: the channels, pools and task hub, and the
# managers whose channel threads feed the main thread. Here they run in a
# shuffled order that the seed fixes (the ASan stage keeps the written one),
# so a test that leans on what an earlier one left behind fails, and fails
# the same way on every run.
echo "== unit tests under TSan"
bash scripts/build.sh build-tsan -DCMAKE_BUILD_TYPE=Debug -DJYX_SANITIZE=thread \
  -DJYX_BUILD_BENCHMARKS=OFF
TSAN_OPTIONS=halt_on_error=1 build-tsan/jyx_tests --gtest_brief=1 --gtest_shuffle \
  --gtest_random_seed=1

unset CC CXX
bash scripts/build.sh build -DCMAKE_BUILD_TYPE=RelWithDebInfo
echo "== unit and end-to-end tests"
cd build
ctest --output-on-failure -j2 --timeout 300
