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
  usr/share/icons/hicolor/scalable/apps/trellick.svg \
  usr/share/man/man1/trellick.1.gz usr/share/man/man1/trellick-cli.1.gz \
  usr/share/bash-completion/completions/trellick-cli usr/share/zsh/vendor-completions/_trellick-cli \
  usr/share/doc/trellick/copyright usr/share/doc/trellick/changelog.Debian.gz; do
  [ -f "$work/root/$f" ] || fail "missing /$f"
done
# The manual pages hold the programs' help, rendered by man's own formatter.
for page in trellick trellick-cli; do
  text="$(MANWIDTH=100 man -l "$work/root/usr/share/man/man1/$page.1.gz" 2>"$work/man.err")" ||
    fail "$page(1) does not render: $(cat "$work/man.err")"
  [ ! -s "$work/man.err" ] || fail "$page(1) renders with warnings: $(cat "$work/man.err")"
  echo "$text" | grep -q "postgresql:HOST" || fail "$page(1) lacks the server forms"
done
zsh -n "$work/root/usr/share/zsh/vendor-completions/_trellick-cli" || fail "the zsh completion does not parse"
zcat "$work/root/usr/share/doc/trellick/changelog.Debian.gz" | head -n 1 |
  grep -q "^trellick ($(dpkg-deb -f "$deb" Version))" || fail "changelog.Debian names another version"

# lintian: no error; its warnings are printed for the record.
lintian --fail-on error --no-tag-display-limit "$deb" >"$work/lintian.log" 2>&1 ||
  { cat "$work/lintian.log" >&2; fail "lintian found errors"; }
echo "lintian: $(grep -c '^E:' "$work/lintian.log") errors, $(grep -c '^W:' "$work/lintian.log") warnings"
grep '^W:' "$work/lintian.log" || true
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

# Installed and removed for real where this runs as root (CI does): the
# programs from /usr/bin, the completion from where bash looks for it.
if [ "$(id -u)" -eq 0 ] && ! dpkg-query -W trellick >/dev/null 2>&1; then
  dpkg -i "$deb" >"$work/dpkg.log" 2>&1 || { cat "$work/dpkg.log" >&2; fail "dpkg -i failed"; }
  status=0
  {
    [ "$(/usr/bin/trellick-cli --version)" = "trellick-cli $(dpkg-deb -f "$deb" Version | cut -d- -f1)" ] ||
      { echo "installed trellick-cli --version: $(/usr/bin/trellick-cli --version)"; exit 1; }
    man -w trellick-cli >/dev/null || { echo "man does not find trellick-cli(1)"; exit 1; }
    words="$(bash -c '. /usr/share/bash-completion/completions/trellick-cli
      COMP_WORDS=(trellick-cli re); COMP_CWORD=1; _trellick_cli; echo "${COMPREPLY[*]}"
      COMP_WORDS=(trellick-cli find --skip-t); COMP_CWORD=2; _trellick_cli; echo "${COMPREPLY[*]}"')"
    [ "$words" = "$(printf 'replace\n--skip-tables')" ] ||
      { echo "bash completion gave: $words"; exit 1; }
  } >"$work/installed.log" 2>&1 || status=$?
  dpkg -r trellick >>"$work/dpkg.log" 2>&1 || fail "dpkg -r failed: $(cat "$work/dpkg.log")"
  [ ! -e /usr/bin/trellick-cli ] || fail "dpkg -r left /usr/bin/trellick-cli"
  [ "$status" -eq 0 ] || fail "installed package: $(cat "$work/installed.log")"
  echo "installed with dpkg -i, ran from /usr/bin with its manual and completion, removed with dpkg -r"
fi
echo "package OK"
