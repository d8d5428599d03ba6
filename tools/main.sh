#!/usr/bin/env bash
# The main job: builds the library and its jar, then compresses and
# uncompresses real files through Java with every codec, printing sizes,
# ratio and throughput per file and in total. Arguments are files or
# folders (and optionally --codec NAME, --rounds N); without paths, the
# sample corpus beside the project is used when present.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/install_deps.sh
tools/build.sh release >/dev/null

# Without arguments: every codec on the sample corpus, when it is there.
if [ $# -eq 0 ] && [ -d ../shared/corpus ]; then
  set -- --codec all ../shared/corpus
fi
exec java -Djava.library.path=build/release -cp build/release/tavro.jar \
  com.tavro.common.compression.tools.CompressFiles "$@"
