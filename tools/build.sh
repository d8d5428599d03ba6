#!/usr/bin/env bash
# Configures and builds one flavour of the project.
#   tools/build.sh release   g++, optimized (build/release)
#   tools/build.sh asan      clang-14 with AddressSanitizer, UBSan and the
#                            fuzz targets (build/asan)
#   tools/build.sh tsan      clang-14 with ThreadSanitizer, the tests of the
#                            synchronization primitives only (build/tsan)
set -euo pipefail
cd "$(dirname "$0")/.."
flavour="${1:-release}"
jobs="$(nproc)"

case "$flavour" in
  release)
    cmake -S . -B build/release -DCMAKE_BUILD_TYPE=RelWithDebInfo \
      -DCMAKE_C_COMPILER=gcc -DCMAKE_CXX_COMPILER=g++ >/dev/null
    ;;
  asan)
    cmake -S . -B build/asan -DCMAKE_BUILD_TYPE=RelWithDebInfo \
      -DCMAKE_C_COMPILER=clang-14 -DCMAKE_CXX_COMPILER=clang++-14 \
      -DTAVRO_SANITIZE=ON -DTAVRO_FUZZ=ON >/dev/null
    ;;
  tsan)
    cmake -S . -B build/tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo \
      -DCMAKE_C_COMPILER=clang-14 -DCMAKE_CXX_COMPILER=clang++-14 \
      -DTAVRO_TSAN=ON -DTAVRO_BENCHMARKS=OFF >/dev/null
    ;;
  *)
    echo "unknown flavour: $flavour" >&2
    exit 2
    ;;
esac
if [ "$flavour" = tsan ]; then
  cmake --build build/tsan -j "$jobs" --target thread_tests
else
  cmake --build "build/$flavour" -j "$jobs"
fi
