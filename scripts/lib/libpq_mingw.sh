#!/usr/bin/env bash
# Builds PostgreSQL's client library libpq for Windows (static: libpq.a with
# the libpgcommon and libpgport it needs, and its headers) from Debian's own
# postgresql-15 source package, once, into a cache outside the clone; later
# runs reuse it.
#
#   scripts/lib/libpq_mingw.sh      prints the install prefix of a finished build
#   DRAVEL_PQ_CACHE=dir             where the cache lives (default /var/cache/dravel,
#                                   or ~/.cache/dravel when that is not writable)
#
# Without OpenSSL (Debian has none for mingw-w64): a Windows station talks to
# the server in clear, and sslmode=require is refused by libpq itself.
#
# libpq brings its own small pthread stand-in for Windows, whose names clash
# with the winpthreads that the posix compilers link; its names are changed
# in the archive, so that libpq keeps its own and the program the real ones.
# The cache key holds the source version and a digest of the flags; a build
# counts as finished only when its stamp file exists.
set -euo pipefail

pq_flags=(
  --host=x86_64-w64-mingw32
  --without-readline --without-zlib --without-icu --without-openssl
  --without-ldap --without-gssapi
)
cc=x86_64-w64-mingw32-gcc-posix
renamed=(pthread_self pthread_setspecific pthread_getspecific pthread_mutex_init pthread_mutex_lock
         pthread_mutex_unlock)

# shellcheck source=scripts/lib/source_cache.sh
source "$(dirname "${BASH_SOURCE[0]}")/source_cache.sh"
cache_root="$(dravel_cache_root "${DRAVEL_PQ_CACHE:-}")"

for tool in "$cc" x86_64-w64-mingw32-ar x86_64-w64-mingw32-objcopy dpkg-source make; do
  command -v "$tool" >/dev/null || { echo "libpq_mingw: $tool is missing" >&2; exit 1; }
done

dravel_ensure_deb_src postgresql-15 libpq_mingw
dravel_cache_entry libpq-mingw postgresql-15 "$cache_root" "${pq_flags[@]}" "$cc" "${renamed[@]}"
dravel_cache_take

echo "libpq_mingw: building libpq $version for Windows into $prefix (once; some minutes)" >&2
rm -rf "$prefix" "$prefix.work"
mkdir -p "$prefix.work" "$prefix/include" "$prefix/lib"
started=$(date +%s)
(
  cd "$prefix.work"
  apt-get source --download-only postgresql-15 >/dev/null 2>&1 ||
    apt-get source --download-only postgresql-15 >&2
  dpkg-source --no-check -x postgresql-15_*.dsc src >/dev/null
  mkdir build && cd build
  ../src/configure "${pq_flags[@]}" CC="$cc" > ../configure.log 2>&1 ||
    { echo "libpq_mingw: configure failed; see $prefix.work/configure.log" >&2; exit 1; }
  for dir in src/include src/common src/port src/interfaces/libpq; do
    make -j "$(nproc)" -C "$dir" >> ../make.log 2>&1 ||
      { echo "libpq_mingw: $dir failed; see $prefix.work/make.log" >&2; tail -20 ../make.log >&2; exit 1; }
  done
  # The objects of the DLL, as a static archive (the libpq.a that make
  # leaves is the DLL's import library); the version resource stays out.
  objects=()
  for object in src/interfaces/libpq/*.o; do
    [ "$(basename "$object")" = win32ver.o ] || objects+=("$object")
  done
  x86_64-w64-mingw32-ar rcs "$prefix/lib/libpq.a" "${objects[@]}"
  redefine=()
  for symbol in "${renamed[@]}"; do redefine+=(--redefine-sym "$symbol=dravel_pq_$symbol"); done
  x86_64-w64-mingw32-objcopy "${redefine[@]}" "$prefix/lib/libpq.a"
  cp src/common/libpgcommon_shlib.a src/port/libpgport_shlib.a "$prefix/lib/"
  cp ../src/src/interfaces/libpq/libpq-fe.h ../src/src/include/postgres_ext.h src/include/pg_config_ext.h \
    "$prefix/include/"
)
echo "$version $(( $(date +%s) - started ))s" > "$stamp"
rm -rf "$prefix.work"
echo "libpq_mingw: built in $(( $(date +%s) - started )) s" >&2
echo "$prefix"
