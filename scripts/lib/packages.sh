# The Debian packages the build, the tests and the demo need (ser2net: the
# network ports are tested against the real server; python3 plays a second
# user who takes a port over and reads the CSV export; the ARM binutils and
# srecord make and convert the firmware images the image readers are checked
# on; postgresql: the records are tested against a server the tests start).
dravel_packages=(
  cmake ninja-build g++ pkg-config
  libgtest-dev libgmock-dev
  libwxgtk3.2-dev
  xvfb xauth xdotool imagemagick x11-utils
  clang libclang-rt-14-dev
  lrzsz
  libcli11-dev nlohmann-json3-dev libgcrypt20-dev libudev-dev help2man
  ser2net python3
  binutils-arm-none-eabi srecord
  libsqlite3-dev libpq-dev postgresql
)

# What scripts/windows needs besides: the cross compiler with the posix
# thread model, Wine, GoogleTest's sources to build for Windows, libgcrypt
# built for Windows, the time command its tests measure processor time
# with; dpkg-source and the Windows zlib for wxWidgets built from source;
# tcl and make for SQLite's one-file source, made from Debian's sources;
# makensis and zip for the installer and the archive.
dravel_windows_packages=(
  g++-mingw-w64-x86-64-posix
  wine wine64
  googletest
  time bc
  libgcrypt-mingw-w64-dev libgpg-error-mingw-w64-dev
  dpkg-dev libz-mingw-w64-dev nsis zip unzip
  tcl make
)

# dravel_require_packages [PACKAGE...]: the given packages, by default the
# list above.
dravel_require_packages() {
  local wanted=("$@")
  [ ${#wanted[@]} -eq 0 ] && wanted=("${dravel_packages[@]}")
  local missing=()
  local pkg
  for pkg in "${wanted[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed"; then
      missing+=("$pkg")
    fi
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  if [ "$(id -u)" -eq 0 ]; then
    echo "Installing missing packages: ${missing[*]}" >&2
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq "${missing[@]}" >/dev/null
  else
    echo "Missing packages: ${missing[*]}" >&2
    echo "Install them with:" >&2
    echo "  sudo apt-get install -y ${missing[*]}" >&2
    return 1
  fi
}
