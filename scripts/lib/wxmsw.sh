#!/usr/bin/env bash
# Builds a static wxMSW (wxWidgets for Windows) from Debian's own wxwidgets3.2
# source package, once, into a cache outside the clone; later runs reuse it.
#
#   scripts/lib/wxmsw.sh            prints the install prefix of a finished build
#   DRAVEL_WX_CACHE=dir             where the cache lives (default /var/cache/dravel,
#                                   or ~/.cache/dravel when that is not writable)
#
# The cache key holds the wx version and a digest of the configure flags, so a
# change of either builds anew. A build counts as finished only when its stamp
# file exists; anything else found under the key (a failed configure, a build
# cut short) is removed and built again.
set -euo pipefail

wx_flags=(
  --host=x86_64-w64-mingw32
  --disable-shared --enable-unicode --with-msw
  --with-zlib=sys --without-libpng --without-libjpeg --without-libtiff
  --without-expat --without-liblzma --without-opengl
  --disable-xrc --disable-richtext --disable-svg --disable-stc
  --disable-webview --disable-mediactrl --disable-ribbon --disable-propgrid
  --disable-aui --disable-html --disable-htmlhelp --disable-webrequest
  --disable-debugreport --disable-compat30
)

# shellcheck source=scripts/lib/source_cache.sh
source "$(dirname "${BASH_SOURCE[0]}")/source_cache.sh"
cache_root="$(dravel_cache_root "${DRAVEL_WX_CACHE:-}")"

dravel_ensure_deb_src wxwidgets3.2 wxmsw
dravel_cache_entry wxmsw wxwidgets3.2 "$cache_root" "${wx_flags[@]}" x86_64-w64-mingw32-g++-posix
dravel_cache_take

echo "wxmsw: building wxWidgets $version for Windows into $prefix (once; some minutes)" >&2
rm -rf "$prefix" "$prefix.work"
mkdir -p "$prefix.work"
started=$(date +%s)
(
  cd "$prefix.work"
  apt-get source --download-only wxwidgets3.2 >/dev/null 2>&1 ||
    apt-get source --download-only wxwidgets3.2 >&2
  dpkg-source --no-check -x wxwidgets3.2_*.dsc src >/dev/null
  mkdir build && cd build
  ../src/configure --prefix="$prefix" "${wx_flags[@]}" \
    CC=x86_64-w64-mingw32-gcc-posix CXX=x86_64-w64-mingw32-g++-posix \
    CXXFLAGS="-O2" CFLAGS="-O2" > ../configure.log 2>&1 ||
    { echo "wxmsw: configure failed; see $prefix.work/configure.log" >&2; exit 1; }
  make -j "$(nproc)" > ../make.log 2>&1 ||
    { echo "wxmsw: build failed; see $prefix.work/make.log" >&2; tail -20 ../make.log >&2; exit 1; }
  make install > ../install.log 2>&1
)
echo "$version $(( $(date +%s) - started ))s" > "$stamp"
rm -rf "$prefix.work"
echo "wxmsw: built in $(( $(date +%s) - started )) s" >&2
echo "$prefix"
