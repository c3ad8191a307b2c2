#!/usr/bin/env bash
# Checks the formatting, then builds and runs the whole test suite twice: an optimised build,
# then a build under AddressSanitizer and UndefinedBehaviorSanitizer (with the debug
# assertions on). Editor tests start their own Xvfb. Warnings are errors in both builds.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/install-deps.sh
jobs=${TERVIK_JOBS:-2}

# The sources follow .clang-format; drift fails here before anything is built.
./scripts/format.sh --check

cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DTERVIK_TESTS=ON -DTERVIK_SANITIZE=OFF
cmake --build build -j"$jobs"
ctest --test-dir build -j"$jobs" --output-on-failure

cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTERVIK_TESTS=ON -DTERVIK_SANITIZE=ON
cmake --build build-asan -j"$jobs"
ASAN_OPTIONS="detect_leaks=1:abort_on_error=0:strict_string_checks=1" \
LSAN_OPTIONS="suppressions=$PWD/tests/lsan.supp:print_suppressions=0" \
UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1" \
  ctest --test-dir build-asan -j"$jobs" --output-on-failure
