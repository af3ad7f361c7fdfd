#!/bin/sh
# Builds Trellick and runs the whole test suite.
set -eu
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"
./scripts/build.sh
cd build
QT_QPA_PLATFORM=offscreen ctest --output-on-failure
