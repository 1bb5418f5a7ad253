#!/usr/bin/env bash
# The Windows installer and the zip, under Wine, in a Wine prefix made fresh
# for the run: a silent install (/S), the installed dravel-cli.exe answers
# --help and downloads an image to the device simulator, the Start-menu
# shortcut is there, a silent uninstall leaves no file and no registry key
# behind. The zip holds both programs, and its dravel-cli.exe runs.
#
# usage: installer_test.sh INSTALLER.exe ZIP PREFIX_DIR
# Needs (CTest sets them): DRAVEL_WINE_RUN, DRAVEL_HOST_BIN_DIR.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
installer="${1:?installer}"
zip="${2:?zip}"
WINEPREFIX_DIR="${3:?prefix dir}"
HOST_BIN="${DRAVEL_HOST_BIN_DIR:?}"
WINE_RUN="${DRAVEL_WINE_RUN:?}"
for package in "$installer" "$zip"; do
  [ -f "$package" ] || { echo "installer_test: $package is missing; run cpack in the build folder (scripts/windows does)" >&2; exit 1; }
done
export DRAVEL_WINEPREFIX="$WINEPREFIX_DIR"
# shellcheck source=tests/wine/device.sh
source "$here/device.sh"

WORK="$(mktemp -d /tmp/dravel-wine-install.XXXXXX)"
finish() {
  device_cleanup
  WINEPREFIX="$WINEPREFIX_DIR" wineserver -k >/dev/null 2>&1 || true
  rm -rf "$WORK"
}
trap finish EXIT
fail() { echo "installer_test: FAIL: $*" >&2; exit 1; }
# Everything but the scratch places Windows and Wine write to on their own.
snapshot() {
  (cd "$WINEPREFIX_DIR/drive_c" && find . -path ./windows -prune -o -path './users/*/AppData/Local/Temp' -prune \
    -o -path './users/*/Temp' -prune -o -print | sort) >"$1.files"
  grep -ih '^\[.*dravel' "$WINEPREFIX_DIR"/system.reg "$WINEPREFIX_DIR"/user.reg | sed 's/ [0-9]*$//' | sort >"$1.keys" || true
}
settle() { WINEPREFIX="$WINEPREFIX_DIR" wineserver -w >/dev/null 2>&1 || true; }

rm -rf "$WINEPREFIX_DIR" "$WINEPREFIX_DIR.lock"
"$WINE_RUN" cmd /c exit >/dev/null 2>&1 </dev/null || true  # makes the prefix
settle
snapshot "$WORK/before"

"$WINE_RUN" "$installer" /S >"$WORK/install.out" 2>&1 </dev/null || fail "the installer ended with $?"
settle
folder="$WINEPREFIX_DIR/drive_c/Program Files/dravel"
for program in dravel.exe dravel-cli.exe Uninstall.exe; do
  [ -f "$folder/$program" ] || fail "$program is not in $folder"
done
shortcut="$(find "$WINEPREFIX_DIR/drive_c" -path '*Start Menu/Programs/dravel/dravel.lnk' | head -n1)"
[ -n "$shortcut" ] || fail "no Start-menu shortcut for dravel"
snapshot "$WORK/installed"
# Only the program's folder and its Start-menu folder are new.
outside="$(comm -13 "$WORK/before.files" "$WORK/installed.files" |
  grep -v -e '^./Program Files/dravel' -e '/Start Menu/Programs/dravel' || true)"
[ -z "$outside" ] || fail "the installer wrote outside its folder and the shortcut: $outside"

"$WINE_RUN" "$folder/dravel-cli.exe" --help >"$WORK/help.out" 2>&1 </dev/null || fail "installed dravel-cli.exe --help ended with $?"
grep -q -- '--port' "$WORK/help.out" || fail "installed dravel-cli.exe --help does not describe --port"

# A download from the installed copy.
claim_port ""
device_start
head -c $((5 * 1024 + 17)) /dev/urandom >"$WORK/image.bin"
status=0
"$WINE_RUN" "$folder/dravel-cli.exe" --port "COM$PORT" --sync-timeout 20 "Z:${WORK//\//\\}\\image.bin" \
  >"$WORK/download.out" 2>"$WORK/download.err" </dev/null || status=$?
[ "$status" -eq 0 ] || { cat "$WORK/download.err" >&2; fail "the installed dravel-cli.exe ended with $status"; }
device_wait 30 || fail "the device simulator ended with $?"
cp "$WORK/image.bin" "$WORK/expected.bin"
truncate -s $((6 * 1024)) "$WORK/expected.bin"
cmp -s "$WORK/expected.bin" "$DEVICE_DIR/image.out" || fail "the device's image differs from the padded file"
device_cleanup

"$WINE_RUN" "$folder/Uninstall.exe" /S >"$WORK/uninstall.out" 2>&1 </dev/null || fail "the uninstaller ended with $?"
settle  # the uninstaller runs on from a copy of itself
snapshot "$WORK/after"
[ ! -e "$folder" ] || fail "the program folder is still there: $(ls -A "$folder")"
left="$(comm -13 "$WORK/before.files" "$WORK/after.files" || true)"
[ -z "$left" ] || fail "the uninstall left files behind: $left"
keys="$(comm -13 "$WORK/before.keys" "$WORK/after.keys" || true)"
[ -z "$keys" ] || fail "the uninstall left registry keys behind: $keys"

# The zip: both programs, and its command line runs where it is unpacked.
unzip -q "$zip" -d "$WORK/unzipped"
for program in dravel.exe dravel-cli.exe; do
  [ -n "$(find "$WORK/unzipped" -name "$program")" ] || fail "the zip holds no $program"
done
version="$("$WINE_RUN" "$(find "$WORK/unzipped" -name dravel-cli.exe | head -n1)" --version </dev/null 2>&1)" ||
  fail "the zip's dravel-cli.exe --version ended with $?"
case "$version" in "dravel-cli "*) ;; *) fail "the zip's dravel-cli.exe --version said [$version]" ;; esac

echo "installer_test: PASS"
