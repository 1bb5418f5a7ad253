#!/usr/bin/env bash
# Builds SQLite's C library for Windows (a static libsqlite3.a and its
# headers) from Debian's own sqlite3 source package, once, into a cache
# outside the clone; later runs reuse it.
#
#   scripts/lib/sqlite_mingw.sh     prints the install prefix of a finished build
#   DRAVEL_SQLITE_CACHE=dir         where the cache lives (default /var/cache/dravel,
#                                   or ~/.cache/dravel when that is not writable)
#
# The source tree is turned into the one-file amalgamation with the host's
# tclsh, as SQLite's own release process does, and that file is compiled
# with mingw-w64. The cache key holds the source version and a digest of the
# flags; a build counts as finished only when its stamp file exists.
set -euo pipefail

sqlite_flags=(
  -O2
  -DSQLITE_THREADSAFE=1
  -DSQLITE_OMIT_LOAD_EXTENSION
  -DSQLITE_DQS=0
)
cc=x86_64-w64-mingw32-gcc-posix

# shellcheck source=scripts/lib/source_cache.sh
source "$(dirname "${BASH_SOURCE[0]}")/source_cache.sh"
cache_root="$(dravel_cache_root "${DRAVEL_SQLITE_CACHE:-}")"

for tool in tclsh "$cc" dpkg-source gcc make; do
  command -v "$tool" >/dev/null || { echo "sqlite_mingw: $tool is missing" >&2; exit 1; }
done

dravel_ensure_deb_src sqlite3 sqlite_mingw
dravel_cache_entry sqlite-mingw sqlite3 "$cache_root" "${sqlite_flags[@]}" "$cc"
dravel_cache_take

echo "sqlite_mingw: building SQLite $version for Windows into $prefix (once; about a minute)" >&2
rm -rf "$prefix" "$prefix.work"
mkdir -p "$prefix.work" "$prefix/include" "$prefix/lib"
started=$(date +%s)
(
  cd "$prefix.work"
  apt-get source --download-only sqlite3 >/dev/null 2>&1 ||
    apt-get source --download-only sqlite3 >&2
  dpkg-source --no-check -x sqlite3_*.dsc src >/dev/null
  # The amalgamation is made by host tools (lemon, mkkeywordhash, tclsh
  # scripts), so this configure is a native one.
  mkdir amalgamation && cd amalgamation
  ../src/configure --disable-tcl > ../configure.log 2>&1 ||
    { echo "sqlite_mingw: configure failed; see $prefix.work/configure.log" >&2; exit 1; }
  make sqlite3.c > ../amalgamation.log 2>&1 ||
    { echo "sqlite_mingw: the amalgamation failed; see $prefix.work/amalgamation.log" >&2; exit 1; }
  "$cc" "${sqlite_flags[@]}" -c sqlite3.c -o sqlite3.o 2> ../compile.log ||
    { echo "sqlite_mingw: compile failed; see $prefix.work/compile.log" >&2; tail -20 ../compile.log >&2; exit 1; }
  x86_64-w64-mingw32-ar rcs "$prefix/lib/libsqlite3.a" sqlite3.o
  cp sqlite3.h sqlite3ext.h "$prefix/include/"
)
echo "$version $(( $(date +%s) - started ))s" > "$stamp"
rm -rf "$prefix.work"
echo "sqlite_mingw: built in $(( $(date +%s) - started )) s" >&2
echo "$prefix"
