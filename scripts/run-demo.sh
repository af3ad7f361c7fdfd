#!/bin/sh
# Builds Trellick and opens its window on the demo database.
set -eu
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"

# Asked first: without a display the build would be time spent for nothing.
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ] && [ -z "${QT_QPA_PLATFORM:-}" ]; then
  cat >&2 <<MSG
Trellick is a desktop program and no display was found (DISPLAY and
WAYLAND_DISPLAY are empty). Run this command from a desktop session, or
on a virtual display:

  xvfb-run -a ./scripts/run-demo.sh

Nothing was built or installed.
MSG
  exit 1
fi

echo "run-demo: installing what is missing (Debian packages)..."
./scripts/install-deps.sh
echo "run-demo: building the window (the first build takes several minutes)..."
./scripts/build.sh trellick
echo "run-demo: preparing the demo database..."
./scripts/make-demo.sh
echo "run-demo: opening the window on $root/demo-data/trellick-demo.db"

# The demo keeps its settings apart from the operator's own.
XDG_CONFIG_HOME="$root/demo-data/config" exec ./build/trellick
