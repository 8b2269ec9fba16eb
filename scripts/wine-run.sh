#!/usr/bin/env bash
# Runs a Windows program under Wine as the tests need it:
#   scripts/wine-run.sh PROGRAM.exe [ARGS...]   run it, its exit status passed on
#   scripts/wine-run.sh --prepare               make the prefix (once, before the first run)
# WINEPREFIX must name a folder inside a build folder: Wine's state never goes
# to the home folder. Wine's own messages are off, its crash debugger is
# disabled (a crash must fail, not hang or pass as exit 0), and every call has
# a time limit (KT_WINE_TIMEOUT seconds, 600 by default).
set -euo pipefail
: "${WINEPREFIX:?WINEPREFIX must name a folder inside the build folder}"
export WINEPREFIX
export WINEDEBUG=-all
# winedbg: no crash dialog or debugger; mscoree/mshtml: no .NET or Gecko installer prompts.
export WINEDLLOVERRIDES="winedbg.exe=d;mscoree=d;mshtml=d"
limit=${KT_WINE_TIMEOUT:-600}

if [ "${1:-}" = "--prepare" ]; then
  mkdir -p "$WINEPREFIX"
  timeout "$limit" wineboot -i >/dev/null 2>&1
  # The crash dialog off for good, in the prefix's registry.
  timeout "$limit" wine reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f >/dev/null 2>&1
  # Windows draw their own title bars: a virtual display has no window manager to do it.
  timeout "$limit" wine reg add 'HKCU\Software\Wine\X11 Driver' /v Decorated /t REG_SZ /d N /f >/dev/null 2>&1
  # Wine's own fonts (fonts-wine) in the prefix: "MS Sans Serif" with its
  # Cyrillic bitmap font, Tahoma, and Marlett for the title bar's buttons.
  fonts="$WINEPREFIX/drive_c/windows/Fonts"
  mkdir -p "$fonts"
  for font in /usr/share/wine/fonts/*; do
    [ -e "$font" ] && ln -sf "$font" "$fonts/"
  done
  timeout "$limit" wineserver -w
  exit 0
fi
exec timeout "$limit" wine "$@"
