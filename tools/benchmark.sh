#!/usr/bin/env bash
# Builds the optimized flavour and runs the codec benchmark (Sprock and
# Tessel against LZ4, zstd, zlib and libdeflate on the sample corpus, memcpy
# as the ceiling), pinned to one core; then draws the chart and puts the
# page and the chart into docs/benchmarks.md and docs/benchmarks.png.
# Extra arguments go to the benchmark binary and override the defaults, e.g.
#   tools/benchmark.sh --benchmark_repetitions=5
#   tools/benchmark.sh --per_file --benchmark_repetitions=1 \
#       --benchmark_min_time=0.1      # also one benchmark per file (long)
# docs/ is updated only when every codec ran in both directions (not after
# a --benchmark_filter that leaves some out). BENCHMARK_CPU picks the core
# (default 1).
set -euo pipefail
cd "$(dirname "$0")/.."
tools/install_deps.sh
tools/build.sh release

out=build/release
bin=$out/codec_benchmark
cpu="${BENCHMARK_CPU:-1}"
md=$out/benchmarks.md
csv=$out/benchmarks.csv
png=$out/benchmarks.png
# Best of nine repetitions of at least 0.3 s each, the repetitions of all
# codecs interleaved in random order, so that a machine whose clock drifts
# during the run (virtual machines do) gives every codec its fast moments:
# about two and a half minutes in all.
defaults=(--benchmark_min_time=0.3 --benchmark_repetitions=9
          --benchmark_enable_random_interleaving=true
          --markdown_out="$md" --csv_out="$csv" --chart_link=benchmarks.png)

pin=()
if command -v taskset >/dev/null 2>&1 && taskset -c "$cpu" true 2>/dev/null; then
  pin=(taskset -c "$cpu")
else
  echo "benchmark.sh: cannot pin to core $cpu; running unpinned" >&2
fi

rm -f "$md" "$csv" "$png"
"${pin[@]}" "$bin" "${defaults[@]}" "$@"
if [ ! -f "$md" ] || [ ! -f "$csv" ]; then
  echo "benchmark.sh: no summary written (output options overridden?); docs/ left alone" >&2
  exit 0
fi

# Debian's interpreter, where python3-matplotlib lives, before any other.
python=python3
[ -x /usr/bin/python3 ] && python=/usr/bin/python3
"$python" tools/plot_benchmark.py "$csv" "$png"
echo "chart: $png"

# A codec that did not run has a speed of 0 in the CSV.
if awk -F, '!/^#/ && $1 != "codec" && ($4 + 0 == 0 || $5 + 0 == 0) { partial = 1 }
            END { exit !partial }' "$csv"; then
  echo "benchmark.sh: not every codec ran; docs/ left alone" >&2
  exit 0
fi
mkdir -p docs
cp "$md" docs/benchmarks.md
cp "$png" docs/benchmarks.png
echo "updated docs/benchmarks.md and docs/benchmarks.png"
