#!/usr/bin/env bash
# trellick-cli.exe for 64-bit Windows, cross-built with mingw-w64 on Debian,
# and dist/trellick-cli-VERSION-win64.zip (the program, the README, the
# licences of what is linked into it). No Qt: the command line alone.
#   scripts/build-windows.sh [build-folder]      (default build-win)
# Prints the .exe's path last.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(realpath -m "${1:-$root/build-win}")
jobs=${JOBS:-2}

# SQLite for mingw is not a Debian package: its amalgamation comes from the
# npm registry's sqlite3 package, which carries the official tarball; pinned
# by version and checksum, so every build compiles the same source. (Kept
# out of the repository: 9 MB of generated C that would be edited by no one.)
sqlite_npm=sqlite3@5.1.7
sqlite_npm_sha256=44cc9bdee02705a7b636f76968d745e21c1d0b2f1c62810c678bc3b0ececab1b
sqlite_tarball=sqlite-autoconf-3440200
# PCRE2 from Debian's own source package, checked by apt against the signed
# archive and here against the version this was tried with.
pcre2_orig=pcre2_10.42.orig.tar.gz
pcre2_sha256=c33b418e3b936ee3153de2c61cc638e7e4fe3156022a5c77d0711bcbb9d64f1f

packages="g++-mingw-w64-x86-64-posix mingw-w64-x86-64-dev wine wine64 zip cmake
  pkg-config nlohmann-json3-dev ccache binutils-mingw-w64-x86-64"
missing=""
# npm may come with a Node.js of its own rather than Debian's package.
command -v npm >/dev/null || missing=" npm"
for p in $packages; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || missing="$missing $p"
done
if [ -n "$missing" ]; then
  echo "Installing$missing" >&2
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  # shellcheck disable=SC2086
  apt-get install -y -qq -o DPkg::Lock::Timeout=600 $missing >/dev/null
fi

mingw=x86_64-w64-mingw32
# SQLite and PCRE2 built once per machine and version, outside the tree:
# a fresh clone (CI's) finds them there.
deps=${TRELLICK_WIN_DEPS:-${XDG_CACHE_HOME:-$HOME/.cache}/trellick/win-deps-$sqlite_tarball-pcre2-10.42}
src=$deps/src
mkdir -p "$deps/lib/pkgconfig" "$deps/include" "$src"
export TRELLICK_WIN_DEPS=$deps

if [ ! -f "$deps/lib/libsqlite3.a" ]; then
  (
    cd "$src"
    npm pack --silent "$sqlite_npm" >/dev/null
    echo "$sqlite_npm_sha256  sqlite3-5.1.7.tgz" | sha256sum -c --quiet
    tar xzf sqlite3-5.1.7.tgz "package/deps/$sqlite_tarball.tar.gz"
    tar xzf "package/deps/$sqlite_tarball.tar.gz"
    # The journal's store: threads allowed, as on Linux.
    $mingw-gcc-posix -O2 -DSQLITE_THREADSAFE=1 -DSQLITE_DQS=0 -c "$sqlite_tarball/sqlite3.c" \
      -o sqlite3.o
    $mingw-ar rcs "$deps/lib/libsqlite3.a" sqlite3.o
    cp "$sqlite_tarball/sqlite3.h" "$sqlite_tarball/sqlite3ext.h" "$deps/include/"
  )
  cat >"$deps/lib/pkgconfig/sqlite3.pc" <<PC
Name: sqlite3
Description: SQLite amalgamation ($sqlite_tarball)
Version: 3.44.2
Libs: -L$deps/lib -lsqlite3
Cflags: -I$deps/include
PC
fi

if [ ! -f "$deps/lib/libpcre2-8.a" ]; then
  (
    cd "$src"
    # A private list of Debian's source packages: the system's apt set-up
    # is left as it is.
    mkdir -p apt/lists/partial
    # The machine's own Debian mirror and release.
    mirror=$(sed -n 's/^URIs: *//p' /etc/apt/sources.list.d/debian.sources 2>/dev/null | head -1)
    [ -n "$mirror" ] || mirror=$(awk '$1 == "deb" { print $2; exit }' /etc/apt/sources.list)
    . /etc/os-release
    cat >apt/src.sources <<SRC
Types: deb-src
URIs: $mirror
Suites: $VERSION_CODENAME
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
SRC
    apt_src=(-o Dir::Etc::SourceList="$src/apt/src.sources" -o Dir::Etc::SourceParts=/nonexistent
      -o Dir::State::Lists="$src/apt/lists" -o APT::Sandbox::User=root)
    apt-get "${apt_src[@]}" update -qq
    apt-get "${apt_src[@]}" source --download-only -qq pcre2=10.42-1 2>/dev/null
    echo "$pcre2_sha256  $pcre2_orig" | sha256sum -c --quiet
    tar xzf "$pcre2_orig"
    cmake -S pcre2-10.42 -B pcre2-build -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-mingw64.cmake" \
      -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$deps" -DBUILD_SHARED_LIBS=OFF \
      -DPCRE2_BUILD_PCRE2GREP=OFF -DPCRE2_BUILD_TESTS=OFF -DPCRE2_SUPPORT_JIT=ON \
      -DCMAKE_C_COMPILER_LAUNCHER=ccache >/dev/null
    cmake --build pcre2-build -j"$jobs" >/dev/null
    cmake --install pcre2-build >/dev/null
    # Its pkg-config file leaves out that the library is the static one.
    sed -i 's/^Cflags: .*/& -DPCRE2_STATIC/' "$deps/lib/pkgconfig/libpcre2-8.pc"
  )
fi

# The JSON library is headers alone: the host's copy serves.
if [ ! -d "$deps/share/cmake/nlohmann_json" ]; then
  mkdir -p "$deps/share/cmake"
  cp -r /usr/include/nlohmann "$deps/include/"
  cp -r /usr/share/cmake/nlohmann_json "$deps/share/cmake/"
fi
# ODBC is the system's odbc32.dll.
cat >"$deps/lib/pkgconfig/odbc.pc" <<PC
Name: odbc
Description: Windows ODBC driver manager
Version: 3.80
Libs: -lodbc32
PC

cmake -S "$root" -B "$build/cli" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-mingw64.cmake" \
  -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_FLAGS_RELEASE="-O2 -DNDEBUG" \
  -DTRELLICK_GUI=OFF -DTRELLICK_BENCH=OFF \
  -DCMAKE_CXX_COMPILER_LAUNCHER=ccache >/dev/null
cmake --build "$build/cli" -j"$jobs" --target trellick-cli >/dev/null
exe=$build/cli/trellick-cli.exe
$mingw-strip "$exe"

version=$(sed -n 's/^project(Trellick VERSION \([0-9.]*\).*/\1/p' "$root/CMakeLists.txt")
stage=$build/zip/trellick-cli-$version-win64
rm -rf "$build/zip" && mkdir -p "$stage/licences"
cp "$exe" "$root/README.md" "$stage/"
cp "$src/pcre2-10.42/LICENCE" "$stage/licences/PCRE2.txt"
cp /usr/share/doc/nlohmann-json3-dev/copyright "$stage/licences/nlohmann-json.txt"
cp /usr/share/doc/mingw-w64-common/copyright "$stage/licences/mingw-w64-runtime.txt"
cp /usr/share/doc/gcc-mingw-w64-x86-64-posix-runtime/copyright "$stage/licences/gcc-runtime.txt"
cat >"$stage/licences/SQLite.txt" <<TXT
SQLite ($sqlite_tarball) is in the public domain: https://sqlite.org/copyright.html
TXT
mkdir -p "$root/dist"
zip_file=$root/dist/trellick-cli-$version-win64.zip
rm -f "$zip_file"
(cd "$build/zip" && zip -qr "$zip_file" "trellick-cli-$version-win64")
echo "$zip_file" >&2
echo "$exe"
