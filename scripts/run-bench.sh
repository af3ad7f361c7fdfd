#!/bin/sh
# Builds Trellick and runs the benchmark at full size (a few minutes; about
# 550 MB of generated databases, kept in build/bench-data for later runs).
set -eu
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"
./scripts/build.sh trellick-bench
QT_QPA_PLATFORM=offscreen ./build/trellick-bench --dir build/bench-data "$@"
