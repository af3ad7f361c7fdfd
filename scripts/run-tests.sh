#!/bin/sh
# Builds Trellick and runs the whole test suite; then builds the tree without
# Qt (the core, trellick-cli and their tests) in build-core/ and runs its
# tests; then builds trellick-cli.exe for Windows and runs the command
# line's tests against it under wine (scripts/run-wine-tests.sh). Fails if
# any of the three does.
set -eu
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"
./scripts/build.sh
status=0
(cd build && QT_QPA_PLATFORM=offscreen ctest --output-on-failure) || status=1

cmake -S . -B build-core -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DTRELLICK_GUI=OFF -DTRELLICK_BENCH=OFF >/dev/null
cmake --build build-core -j"$(nproc)"
(cd build-core && ctest --output-on-failure) || status=1

./scripts/run-wine-tests.sh || status=1
exit $status
