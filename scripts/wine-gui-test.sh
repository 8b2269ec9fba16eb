#!/usr/bin/env bash
# Runs a Windows window program under Wine on a virtual display (Xvfb), with
# the device simulator on COM ports as scripts/wine-com-test.sh sets them up.
#   scripts/wine-gui-test.sh PROGRAM.exe [ARGS...]
# KT_SCREENSHOT, when set, is the Linux path of a picture the program may
# save; the program gets it as a Windows path.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
: "${WINEPREFIX:?WINEPREFIX must name a folder inside the build folder}"

if [ -n "${KT_SCREENSHOT:-}" ]; then
  mkdir -p "$(dirname "$KT_SCREENSHOT")"
  rm -f "$KT_SCREENSHOT"
  # Wine's drive Z: is the Linux root.
  KT_SCREENSHOT="Z:$(printf '%s' "$KT_SCREENSHOT" | tr / '\\')"
  export KT_SCREENSHOT
fi
# A display of its own for each run (-a), no network listener.
exec xvfb-run -a -s "-screen 0 1024x768x24 -nolisten tcp" bash "$here/wine-com-test.sh" "$@"
