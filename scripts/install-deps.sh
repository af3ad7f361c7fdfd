#!/bin/sh
# Installs every Debian package Trellick needs to build, run and test.
# Quiet and quick when everything is already there.
set -eu

PACKAGES="build-essential cmake pkg-config clang-format dpkg-dev file \
  libgtest-dev nlohmann-json3-dev libpcre2-dev \
  qt6-base-dev qt6-base-dev-tools libgl-dev \
  qt6-translations-l10n \
  nlohmann-json3-dev \
  unixodbc unixodbc-dev odbcinst tdsodbc freetds-bin libsqliteodbc sqlite3 libsqlite3-dev python3 \
  mariadb-server mariadb-client odbc-mariadb libmariadb-dev \
  postgresql odbc-postgresql libpq-dev odbc-mdbtools \
  fonts-noto-cjk fonts-arphic-uming xvfb xauth \
  help2man lintian zsh man-db"

missing=""
for p in $PACKAGES; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing="$missing $p"
  fi
done

[ -z "$missing" ] && exit 0

SUDO=""
if [ "$(id -u)" -ne 0 ]; then
  SUDO="sudo"
fi

echo "Installing:$missing"
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
# shellcheck disable=SC2086
$SUDO apt-get install -y -qq --no-install-recommends $missing >/dev/null
