#!/usr/bin/env bash
# Runs the vorn-devserver throughput benchmark when the build placed it in the
# bench/ subfolder of the build directory (scripts/bench runs top-level
# *_bench executables itself).
set -euo pipefail
dir=${VORN_BIN_DIR:-build-bench}
if [ -x "$dir/devserver_bench" ]; then
  exit 0 # already run by scripts/bench
fi
exec "$dir/bench/devserver_bench" "$@"
