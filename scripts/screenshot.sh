#!/bin/sh
# Renders the real window, connected to the demo database, under a virtual
# display into docs/screenshot.png.
set -eu
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"
./scripts/build.sh trellick-screenshot
./scripts/make-demo.sh
mkdir -p docs
XDG_CONFIG_HOME="$root/demo-data/config" QT_QPA_PLATFORM=xcb \
  xvfb-run -a -s "-screen 0 1024x768x24" ./build/trellick-screenshot --connect docs/screenshot.png
echo "Wrote docs/screenshot.png"
