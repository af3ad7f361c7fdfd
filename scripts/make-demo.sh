#!/bin/sh
# Creates the demo database and the demo's own settings when missing; the
# operator's saved settings are never touched.
set -eu
root="$(cd "$(dirname "$0")/.." && pwd)"
data="$root/demo-data"
db="$data/trellick-demo.db"
config="$data/config"
mkdir -p "$data" "$config"

if [ ! -f "$db" ]; then
  sqlite3 "$db" < "$root/demo/demo.sql"
  echo "Created the demo database $db"
fi

ini="$config/ZUZIDEREZ.ini"
if [ ! -f "$ini" ]; then
  umask 077
  cat > "$ini" <<INI
[MYDATA]
txtServerName=sqlite
txtUsername=demo
txtPassword=
txtDatabaseName="$db"
txt1=old.example.com
txt2=new.example.org
INI
fi
