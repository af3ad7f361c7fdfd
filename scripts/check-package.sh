#!/bin/sh
# Builds the Debian package from a built tree and checks it without
# installing it: its declared dependencies, its files, and that the programs
# it holds start from where it unpacks them.
#   scripts/check-package.sh [BUILD_DIR]   (default: build)
set -eu
root="$(cd "$(dirname "$0")/.." && pwd)"
build="$(cd "${1:-$root/build}" && pwd)"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

fail() {
  echo "check-package: $*" >&2
  exit 1
}

cpack --config "$build/CPackConfig.cmake" -G DEB -B "$work/out" >"$work/cpack.log" 2>&1 ||
  { cat "$work/cpack.log" >&2; fail "cpack failed"; }
deb="$(ls "$work"/out/trellick_*.deb)"
echo "built $(basename "$deb")"

depends="$(dpkg-deb -f "$deb" Depends)"
recommends="$(dpkg-deb -f "$deb" Recommends)"
for p in unixodbc qt6-qpa-plugins libqt6widgets6 libodbc2 libc6; do
  echo "$depends" | grep -q "$p" || fail "Depends lacks $p: $depends"
done
for p in libsqliteodbc tdsodbc odbc-postgresql odbc-mariadb; do
  echo "$recommends" | grep -q "$p" || fail "Recommends lacks $p: $recommends"
done
echo "Depends: $depends"
echo "Recommends: $recommends"

dpkg-deb -x "$deb" "$work/root"
for f in usr/bin/trellick usr/bin/trellick-cli usr/share/applications/trellick.desktop \
  usr/share/icons/hicolor/scalable/apps/trellick.svg; do
  [ -f "$work/root/$f" ] || fail "missing /$f"
done
grep -q '^Exec=trellick$' "$work/root/usr/share/applications/trellick.desktop" ||
  fail "the desktop entry does not start trellick"

cli="$work/root/usr/bin/trellick-cli"
"$cli" --help | grep -q 'Usage: trellick-cli' || fail "trellick-cli --help"
sqlite3 "$work/data.db" "create table t(v text); insert into t values('old'), ('older'), ('new');"
"$cli" find --server sqlite --database "$work/data.db" --find old --json >"$work/find.json" ||
  fail "trellick-cli find failed"
grep -q '"records":2' "$work/find.json" || fail "trellick-cli find counted wrong: $(cat "$work/find.json")"
echo "trellick-cli runs: $(tail -n 1 "$work/find.json")"

# The window opens and waits for the operator; it is ended after 3 s.
status=0
XDG_CONFIG_HOME="$work/config" QT_QPA_PLATFORM=offscreen \
  timeout 3 "$work/root/usr/bin/trellick" >"$work/window.log" 2>&1 || status=$?
[ "$status" -eq 124 ] || { cat "$work/window.log" >&2; fail "trellick ended with $status"; }
echo "trellick opens its window (offscreen) and keeps it open"
echo "package OK"
