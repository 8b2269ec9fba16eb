#!/usr/bin/env bash
# Runs a Windows program under Wine with the device simulator on COM ports.
# Each simulator is the Linux kt-device-sim on a pseudo-terminal, linked into
# the Wine prefix as dosdevices/comN before Wine opens it; the program learns
# the port names from KT_COM_PLAIN (as it comes), KT_COM_PACED (9600 baud),
# KT_COM_VANISH (vanishes at its second frame) and KT_COM_DEAF (reads nothing).
#   scripts/wine-com-test.sh PROGRAM.exe [ARGS...]
# WINEPREFIX names the prefix inside the build folder; KT_DEVICE_SIM the
# Linux build's kt-device-sim.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
: "${WINEPREFIX:?WINEPREFIX must name a folder inside the build folder}"
: "${KT_DEVICE_SIM:?KT_DEVICE_SIM must name the Linux build of kt-device-sim}"
export WINEPREFIX

sims=()
links=()
stop_all() {
  # Wine lets go of the ports before their far ends go away.
  WINEDEBUG=-all timeout 120 wineserver -w || true
  for pid in "${sims[@]}"; do kill -TERM "$pid" 2>/dev/null || true; done
  for pid in "${sims[@]}"; do wait "$pid" 2>/dev/null || true; done
  rm -f "${links[@]}"
}
trap stop_all EXIT

# start_sim VARIABLE COMn [SIMULATOR OPTIONS...]
start_sim() {
  local variable=$1 port=$2
  shift 2
  local link="$WINEPREFIX/dosdevices/${port,,}"
  mkdir -p "$WINEPREFIX/dosdevices"
  rm -f "$link"
  "$KT_DEVICE_SIM" --link "$link" "$@" >/dev/null &
  sims+=($!)
  links+=("$link")
  for _ in $(seq 200); do
    [ -L "$link" ] && break
    sleep 0.05
  done
  if [ ! -L "$link" ]; then
    echo "wine-com-test: the simulator for $port did not start" >&2
    exit 1
  fi
  export "$variable=$port"
}

start_sim KT_COM_PLAIN COM11
start_sim KT_COM_PACED COM12 --baud 9600
start_sim KT_COM_VANISH COM13 --vanish-after-frames 1
start_sim KT_COM_DEAF COM14 --deaf

status=0
bash "$here/wine-run.sh" "$@" || status=$?
exit "$status"
