# What the builds for Windows from Debian's source packages share
# (wxmsw.sh, sqlite_mingw.sh, libpq_mingw.sh): where their cache lives and
# making the source package visible to apt. Sourced, not run.

# dravel_cache_root [DIR]: DIR when given, else /var/cache/dravel, or
# ~/.cache/dravel when that is not writable; made, and printed.
dravel_cache_root() {
  local root="${1:-}"
  if [ -z "$root" ]; then
    if mkdir -p /var/cache/dravel 2>/dev/null && [ -w /var/cache/dravel ]; then
      root=/var/cache/dravel
    else
      root="${XDG_CACHE_HOME:-$HOME/.cache}/dravel"
    fi
  fi
  mkdir -p "$root"
  echo "$root"
}

# dravel_ensure_deb_src PACKAGE WHO: makes Debian's source package PACKAGE
# visible to apt (as root a deb-src entry for bookworm is added; as another
# user the command that adds it is printed, and WHO names the caller).
dravel_ensure_deb_src() {
  local package="$1" who="$2"
  if apt-cache showsrc "$package" 2>/dev/null | grep -q "^Package: $package"; then
    return 0
  fi
  if [ "$(id -u)" -ne 0 ]; then
    echo "$who: the $package source package is not visible to apt." >&2
    echo "Add a deb-src entry for bookworm main beside your sources and run apt-get update, e.g.:" >&2
    echo "  sudo sh -c 'printf \"Types: deb-src\\nURIs: http://deb.debian.org/debian\\nSuites: bookworm\\nComponents: main\\nSigned-By: /usr/share/keyrings/debian-archive-keyring.gpg\\n\" > /etc/apt/sources.list.d/dravel-src.sources && apt-get update'" >&2
    exit 1
  fi
  cat > /etc/apt/sources.list.d/dravel-src.sources <<'SRC'
Types: deb-src
URIs: http://deb.debian.org/debian
Suites: bookworm
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
SRC
  apt-get update -qq >&2
}

# dravel_cache_entry NAME PACKAGE ROOT SETTING...: sets `version` (of the
# source package), `key` (NAME, the version and a digest of the settings that
# shape the build), `prefix` (ROOT/key) and `stamp` (there once it is whole).
dravel_cache_entry() {
  local name="$1" package="$2" root="$3"
  shift 3
  version="$(apt-cache showsrc "$package" | awk '/^Version:/ {print $2; exit}')"
  key="$name-${version//[^A-Za-z0-9.+-]/_}-$(printf '%s\n' "$@" | sha256sum | cut -c1-12)"
  prefix="$root/$key"
  stamp="$prefix/.complete"
}

# dravel_cache_take: ends the script printing `prefix` when its build is
# whole; otherwise returns holding the entry's lock on descriptor 9 until the
# script ends, since another run may be building the same key (CI and a desk
# on one machine), and looks again once it has the lock.
dravel_cache_take() {
  if [ -f "$stamp" ]; then
    echo "$prefix"
    exit 0
  fi
  exec 9>"$prefix.lock"
  flock 9
  if [ -f "$stamp" ]; then
    echo "$prefix"
    exit 0
  fi
}
