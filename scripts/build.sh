#!/bin/sh
# Installs what is missing and builds into build/: the given targets, or all.
#   scripts/build.sh [target ...]
set -eu
cd "$(dirname "$0")/.."
./scripts/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
if [ "$#" -eq 0 ]; then
  cmake --build build -j"$(nproc)"
else
  for target in "$@"; do
    cmake --build build -j"$(nproc)" --target "$target" >/dev/null
  done
fi
