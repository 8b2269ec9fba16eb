#!/usr/bin/env bash
# The block round trip of kt-flash-cli.exe under Wine beside the Linux build,
# in the same run, against the simulator paced at the device's 1,000,000 baud
# (Linux kt-device-sim on a pseudo-terminal: COM16 to Wine, ./COM16 to Linux).
# Each side updates a small and a large package (made by kt-make-package),
# Linux and Wine in turn; the difference of the median update times divided
# by the difference in blocks is the time of one block, with program start
# (Wine's included), the search, the readout and the loader's restart gone.
# Prints both sides and Wine/Linux.
#   bench/windows/wine_roundtrip.sh WINDOWS_CLI.exe LINUX_BUILD_FOLDER [RUNS]
# WINEPREFIX names a prefix inside the Windows build folder (made by
# scripts/wine-run.sh --prepare).
set -euo pipefail
scripts=$(cd "$(dirname "$0")/../../scripts" && pwd)
: "${WINEPREFIX:?WINEPREFIX must name a folder inside the build folder}"
export WINEPREFIX
[ $# -ge 2 ] || { echo "usage: $0 WINDOWS_CLI.exe LINUX_BUILD_FOLDER [RUNS]" >&2; exit 2; }
win_cli=$(realpath "$1")
linux_build=$(realpath "$2")
runs=${3:-5}
linux_cli=$linux_build/src/cli/kt-flash-cli
device_sim=$linux_build/tools/sim/kt-device-sim
make_package=$linux_build/tools/gen/kt-make-package

work=$(mktemp -d "${TMPDIR:-/tmp}/kt-wine-bench.XXXXXX")
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
  rm -f "$WINEPREFIX/dosdevices/com16"
  rm -rf "$work"
}
trap cleanup EXIT

# For the simulator's model (0x21).
"$make_package" "$work/small.kvf" --generate --device 33 --core-size 1024 --flash-size 1024 >/dev/null
"$make_package" "$work/large.kvf" --generate --device 33 --core-size 16384 --flash-size 65536 >/dev/null

now() { date +%s.%N; }
# seconds SIDE PACKAGE: the wall time of one update.
seconds() {
  local side=$1 package=$2 start end status=0
  start=$(now)
  if [ "$side" = linux ]; then
    (cd "$work" && timeout 300 "$linux_cli" --settings "$work/l.INI" --port COM16 --yes update "$package") \
      >/dev/null 2>&1 </dev/null || status=$?
  else
    (cd "$work" && KT_WINE_TIMEOUT=300 bash "$scripts/wine-run.sh" "$win_cli" --settings "$work/w.INI" --port COM16 \
      --yes update "$package") >/dev/null 2>&1 </dev/null || status=$?
  fi
  end=$(now)
  if [ "$status" -ne 0 ]; then
    echo "wine_roundtrip: the $side update of $(basename "$package") failed (exit $status)" >&2
    return 1
  fi
  awk -v a="$end" -v b="$start" 'BEGIN {print a - b}'
}
median() { sort -g | awk '{a[NR]=$1} END {print (NR % 2) ? a[(NR + 1) / 2] : (a[NR / 2] + a[NR / 2 + 1]) / 2}'; }

declare -A time blocks
for size in small large; do
  rm -f "$work/COM16"
  "$device_sim" --baud 1000000 --link "$work/COM16" --dump-frames "$work/$size.frames" >/dev/null &
  sim_pid=$!
  for _ in $(seq 200); do [ -L "$work/COM16" ] && break; sleep 0.05; done
  ln -sfn "$work/COM16" "$WINEPREFIX/dosdevices/com16"
  : >"$work/linux.$size" && : >"$work/windows.$size"
  for _ in $(seq "$runs"); do
    seconds linux "$work/$size.kvf" >>"$work/linux.$size" || exit 1
    seconds windows "$work/$size.kvf" >>"$work/windows.$size" || exit 1
  done
  WINEDEBUG=-all timeout 120 wineserver -w
  stop_sim
  # Frames that carry a block: W (core) and F (media), over all 2 * runs updates.
  blocks[$size]=$(($(grep -c -E '^(W|F)' "$work/$size.frames") / (2 * runs)))
  time[linux.$size]=$(median <"$work/linux.$size")
  time[windows.$size]=$(median <"$work/windows.$size")
done

extra=$((blocks[large] - blocks[small]))
per_block() { awk -v l="${time[$1.large]}" -v s="${time[$1.small]}" -v n="$extra" 'BEGIN {print (l - s) * 1000 / n}'; }
linux_ms=$(per_block linux)
windows_ms=$(per_block windows)
printf 'block round trip at 1000000 baud (median of %d updates of %d and of %d blocks, Linux and Wine in turn)\n' \
  "$runs" "${blocks[small]}" "${blocks[large]}"
printf '  Linux kt-flash-cli:          %.3f ms   (updates %.2f s and %.2f s)\n' "$linux_ms" "${time[linux.small]}" "${time[linux.large]}"
printf '  kt-flash-cli.exe under Wine: %.3f ms   (updates %.2f s and %.2f s)\n' "$windows_ms" "${time[windows.small]}" "${time[windows.large]}"
printf '  Wine / Linux:                %.3f\n' "$(awk -v w="$windows_ms" -v l="$linux_ms" 'BEGIN {print w / l}')"
