#!/usr/bin/env bash
# The main job: builds the library and round-trips real files through it,
# printing sizes, ratio and throughput. Arguments are files or folders;
# without any, the sample corpus beside the project is used when present.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/install_deps.sh
tools/build.sh release >/dev/null
exec build/release/sprock_roundtrip "$@"
