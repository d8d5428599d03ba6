#!/usr/bin/env bash
# Runs every test: installs what is missing, then builds and runs the suite
# twice, optimized with g++ and with clang-14 under AddressSanitizer and
# UndefinedBehaviorSanitizer (which also replays the fuzz corpora), and the
# tests of the synchronization primitives a third time under
# ThreadSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/install_deps.sh
jobs="$(nproc)"

tools/build.sh release
(cd build/release && ctest --output-on-failure -j "$jobs")

tools/build.sh asan
# Code that cannot run under a sanitizer carries the label no_sanitizer; the
# pure-Python reference check (label python) already ran above.
(cd build/asan &&
  ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --output-on-failure -j "$jobs" -LE 'no_sanitizer|python')
# The synchronization primitives again under ThreadSanitizer (label
# threads). Suppressions: none.
tools/build.sh tsan
(cd build/tsan &&
  TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
  ctest --output-on-failure -j "$jobs" -L threads)
echo "all tests passed"
