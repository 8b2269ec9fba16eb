#!/usr/bin/env bash
# The Debian package of a Linux build: made with CPack, installed with
# apt-get as a user would, and run from its installed place: both programs'
# --version (the window's without a display), the simulated update of the
# installed example package, the port remembered in the user's configuration
# folder, the man page and the desktop entry. The package stays installed.
#   scripts/deb-test.sh BUILD_FOLDER
set -euo pipefail
[ $# -eq 1 ] || { echo "usage: $0 BUILD_FOLDER" >&2; exit 2; }
build=$(cd "$1" && pwd)
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"

rm -f "$build"/kt-flash_*.deb
(cd "$build" && cpack -G DEB >/dev/null)
deb=$(ls "$build"/kt-flash_*.deb)
echo "-- $(basename "$deb"): $(dpkg-deb -f "$deb" Depends)"
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --reinstall "$deb" >/dev/null

work=$(mktemp -d "${TMPDIR:-/tmp}/kt-deb.XXXXXX")
sim_pid=""
cleanup() {
  [ -z "$sim_pid" ] || { kill -TERM "$sim_pid" 2>/dev/null || true; wait "$sim_pid" 2>/dev/null || true; }
  rm -rf "$work"
}
trap cleanup EXIT
# A user of the installed programs: settings go to their configuration folder.
export HOME=$work/home XDG_CONFIG_HOME=""
mkdir -p "$HOME"

[ "$(/usr/bin/kt-flash-cli --version)" = "kt-flash-cli $(cat "$build/kt-version.txt")" ]
env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM /usr/bin/kt-flash --version
log=$(/usr/bin/kt-flash-cli --simulate --yes update /usr/share/kt-flash/examples/telviks-m2-3.0.12.kvf 2>/dev/null)
grep -qx "ОБНОВЛЕНИЕ завершено успешно!" <<<"$log"

# The installed simulator on a pseudo-terminal: the port it was found on is remembered.
/usr/bin/kt-device-sim --link "$work/ttyKT0" >/dev/null &
sim_pid=$!
for _ in $(seq 200); do [ -L "$work/ttyKT0" ] && break; sleep 0.05; done
/usr/bin/kt-flash-cli --port "$work/ttyKT0" info >/dev/null 2>&1
grep -qx "PORT=$work/ttyKT0" <(tr -d '\r' <"$HOME/.config/kt-flash/kt-flash.INI")
[ ! -e /usr/bin/kt-flash-cli.INI ] || { echo "settings were written into /usr/bin" >&2; exit 1; }

man -w kt-flash-cli >/dev/null
desktop-file-validate /usr/share/applications/kt-flash.desktop
echo "Debian package test passed"
