#!/usr/bin/env bash
# Builds the optimized flavour and runs the Sprock benchmark (Sprock against
# LZ4 on the sample corpus, memcpy as the ceiling), pinned to one core.
# Extra arguments go to the benchmark binary and override the defaults, e.g.
#   tools/benchmark.sh --benchmark_filter=all_files
#   tools/benchmark.sh --benchmark_min_time=1 --benchmark_repetitions=3
# BENCHMARK_CPU picks the core (default 1).
set -euo pipefail
cd "$(dirname "$0")/.."
tools/install_deps.sh
tools/build.sh release

bin=build/release/sprock_benchmark
cpu="${BENCHMARK_CPU:-1}"
defaults=(--benchmark_min_time=0.2)

if command -v taskset >/dev/null 2>&1 && taskset -c "$cpu" true 2>/dev/null; then
  exec taskset -c "$cpu" "$bin" "${defaults[@]}" "$@"
fi
echo "benchmark.sh: cannot pin to core $cpu; running unpinned" >&2
exec "$bin" "${defaults[@]}" "$@"
