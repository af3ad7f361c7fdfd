#!/bin/sh
# Renders the real window, connected to the demo database, under a virtual
# display into docs/screenshot.png.
set -eu
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"
./scripts/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)" --target trellick-screenshot >/dev/null
./scripts/make-demo.sh
mkdir -p docs
XDG_CONFIG_HOME="$root/demo-data/config" QT_QPA_PLATFORM=xcb \
  xvfb-run -a -s "-screen 0 1024x768x24" ./build/trellick-screenshot --connect docs/screenshot.png
echo "Wrote docs/screenshot.png"
