#!/usr/bin/env bash
# kt-flash-cli.exe under Wine beside the Linux kt-flash-cli, end to end.
# Last, the Windows search: with the port announced as Windows drivers do,
# `info` without --port finds the device there and remembers the port.
# The simulator (the Linux kt-device-sim on a pseudo-terminal, its clock
# frozen) is COM15 to Wine and ./COM15, a link in a work folder, to Linux, so
# that both logs name the same port. `info`, `update` and `--simulate update`
# run on both: standard output and standard error must match line by line
# (Windows ends its lines with CR LF), the exit statuses too, and the images
# and frames the simulator received from Windows must equal Linux's.
#   scripts/wine-cli-test.sh WINDOWS_CLI.exe LINUX_CLI KT_DEVICE_SIM PACKAGE
# WINEPREFIX names the prefix inside the build folder.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
: "${WINEPREFIX:?WINEPREFIX must name a folder inside the build folder}"
export WINEPREFIX
[ $# -eq 4 ] || { echo "usage: $0 WINDOWS_CLI.exe LINUX_CLI KT_DEVICE_SIM PACKAGE" >&2; exit 2; }
# The commands run in a work folder: every path is made absolute first.
win_cli=$(realpath "$1") linux_cli=$(realpath "$2") device_sim=$(realpath "$3") package=$(realpath "$4")

work=$(mktemp -d "${TMPDIR:-/tmp}/kt-wine-cli.XXXXXX")
sim_pid=""
stop_sim() {
  [ -n "$sim_pid" ] || return 0
  kill -TERM "$sim_pid" 2>/dev/null || true
  wait "$sim_pid" 2>/dev/null || true
  sim_pid=""
}
cleanup() {
  WINEDEBUG=-all timeout 120 wineserver -w || true
  stop_sim
  rm -f "$WINEPREFIX/dosdevices/com15"
  rm -rf "$work"
}
trap cleanup EXIT

clock=0A0C1A0C222C04  # 10.12.2026 12:34:44, frozen
# start_sim LINK DUMP_PREFIX: a fresh simulator for each side.
start_sim() {
  local link=$1 dump=$2
  rm -f "$link"
  "$device_sim" --link "$link" --clock "$clock" --dump-core "$dump.core" --dump-media "$dump.media" \
    --dump-frames "$dump.frames" >/dev/null &
  sim_pid=$!
  for _ in $(seq 200); do
    [ -L "$link" ] && return 0
    sleep 0.05
  done
  echo "wine-cli-test: the simulator did not start" >&2
  exit 1
}

# run SIDE NAME ARGS...: one command of one side, its output and status kept.
run() {
  local side=$1 name=$2
  shift 2
  local status=0
  if [ "$side" = linux ]; then
    (cd "$work" && timeout 300 "$linux_cli" --settings "$work/linux.INI" "$@") \
      >"$work/$side.$name.out" 2>"$work/$side.$name.err" </dev/null || status=$?
  else
    (cd "$work" && KT_WINE_TIMEOUT=300 bash "$here/wine-run.sh" "$win_cli" --settings "$work/windows.INI" "$@") \
      >"$work/$side.$name.out" 2>"$work/$side.$name.err" </dev/null || status=$?
    # Windows writes CR LF; the texts must be the same.
    sed -i 's/\r$//' "$work/$side.$name.out" "$work/$side.$name.err"
  fi
  echo "$status" >"$work/$side.$name.status"
}

start_sim "$work/COM15" "$work/linux"
run linux info --port COM15 info
run linux update --port COM15 --yes update "$package"
stop_sim
run linux simulate --simulate --yes update "$package"

start_sim "$WINEPREFIX/dosdevices/com15" "$work/windows"
run windows info --port COM15 info
run windows update --port COM15 --yes update "$package"
# Wine lets go of the port before the simulator goes.
WINEDEBUG=-all timeout 120 wineserver -w
stop_sim
run windows simulate --simulate --yes update "$package"

# The device inside the program keeps the computer's time: its clock reading
# is the moment of each run.
sed -i -E 's/(Показания часов: ).*/\1(the time of the run)/' "$work"/*.simulate.out
# The clock is set to the computer's time at the end of an update.
sed -i -E 's/^T[0-9A-F]+$/T(the time of the run)/' "$work/linux.frames" "$work/windows.frames"
# The closing summary line tells how long each run took and how fast it went.
sed -i -E 's/^(kt-flash-cli: [a-z]+ (done|failed)).*/\1 (the time and speed of the run)/' "$work"/*.err

failed=0
for name in info update simulate; do
  for stream in out err status; do
    if ! diff -u "$work/linux.$name.$stream" "$work/windows.$name.$stream"; then
      echo "wine-cli-test: '$name' differs on standard ${stream/out/output}" >&2
      failed=1
    fi
  done
  echo "$name: exit $(cat "$work/windows.$name.status"), $(wc -l <"$work/windows.$name.out") log lines alike"
done
[ "$(cat "$work/linux.update.status")" = 0 ] || { echo "wine-cli-test: the Linux update failed" >&2; failed=1; }
for part in core media frames; do
  if ! cmp "$work/linux.$part" "$work/windows.$part"; then
    echo "wine-cli-test: the simulator received another $part from Windows" >&2
    failed=1
  fi
done
[ -s "$work/windows.core" ] && [ -s "$work/windows.media" ] || { echo "wine-cli-test: no image arrived" >&2; failed=1; }
echo "images: core $(stat -c %s "$work/windows.core") bytes, media $(stat -c %s "$work/windows.media") bytes, $(wc -l <"$work/windows.frames") frames alike"
# The search over the ports Windows announces (Wine lists its own COM1 too).
start_sim "$WINEPREFIX/dosdevices/com15" "$work/search"
bash "$here/wine-run.sh" reg add 'HKLM\HARDWARE\DEVICEMAP\SERIALCOMM' /v KtFlashTestSim /t REG_SZ /d COM15 /f \
  >/dev/null 2>&1
rm -f "$work/windows.INI"  # nothing remembered yet
run windows search info
run windows ports ports
WINEDEBUG=-all timeout 120 wineserver -w
stop_sim
if [ "$(head -n 1 "$work/windows.search.out")" != "ТЕЛВИКС обнаружен на порту COM15" ] ||
  [ "$(cat "$work/windows.search.status")" != 0 ]; then
  echo "wine-cli-test: the search did not find the device on COM15:" >&2
  cat "$work/windows.search.out" "$work/windows.search.err" >&2
  failed=1
fi
if ! grep -qx 'PORT=COM15' <(sed 's/\r$//' "$work/windows.INI") || [ "$(head -n 1 "$work/windows.ports.out")" != COM15 ]; then
  echo "wine-cli-test: the port found was not remembered and listed first" >&2
  failed=1
fi
echo "search: $(head -n 1 "$work/windows.search.out"); ports: $(tr '\n' ' ' <"$work/windows.ports.out")"
exit "$failed"
