#!/bin/sh
# Builds Trellick and opens its window on the demo database.
set -eu
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"
./scripts/build.sh trellick
./scripts/make-demo.sh

if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ] && [ -z "${QT_QPA_PLATFORM:-}" ]; then
  cat >&2 <<MSG
Trellick is a desktop program and no display was found (DISPLAY and
WAYLAND_DISPLAY are empty). Run this command from a desktop session, or
on a virtual display:

  xvfb-run -a ./scripts/run-demo.sh

The demo database is $root/demo-data/trellick-demo.db.
MSG
  exit 1
fi

# The demo keeps its settings apart from the operator's own.
XDG_CONFIG_HOME="$root/demo-data/config" exec ./build/trellick
