#!/usr/bin/env bash
# Builds the optimized flavour and runs the Java benchmark: every available
# native codec through the Java API (byte[] and direct-buffer paths) next to
# java.util.zip at level 1, on slices of the sample corpus, with 1 and 2
# threads. Arguments go to the benchmark: [--quick] [corpus-folder].
#
# -XX:+AlwaysPreTouch touches the whole heap at start-up (a few seconds):
# on this VM the first touch of each heap page costs ~10 us, which otherwise
# lands in whichever timed rounds first allocate into fresh heap and makes
# the allocating operations look several times slower in those rounds.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/install_deps.sh
tools/build.sh release >/dev/null
exec java -Xms1g -XX:+AlwaysPreTouch -Djava.library.path=build/release \
  -cp build/release/tavro.jar com.tavro.common.compression.tools.JavaBenchmark "$@"
