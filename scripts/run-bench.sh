#!/bin/sh
# Builds Trellick and runs the benchmark at full size (a few minutes; about
# 550 MB of generated databases, kept in build/bench-data for later runs),
# then the same find and replace on PostgreSQL and MariaDB servers that it
# starts and stops itself (up to ten minutes more).
set -eu
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"
./scripts/build.sh trellick-bench
QT_QPA_PLATFORM=offscreen ./build/trellick-bench --dir build/bench-data "$@"
QT_QPA_PLATFORM=offscreen ./build/trellick-bench --servers "$@"
