#!/usr/bin/env bash
# The Windows download: kt-flash.exe (the window), kt-flash-cli.exe, the
# example package and a short README in one zip.
#   scripts/windows-zip.sh WINDOWS_BUILD_FOLDER   -> WINDOWS_BUILD_FOLDER/kt-flash-windows.zip
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:?usage: $0 WINDOWS_BUILD_FOLDER}" && pwd)
stage="$build/kt-flash-windows"
rm -rf "$stage" "$build/kt-flash-windows.zip"
mkdir -p "$stage"
cp "$build/src/app_win32/kt-flash.exe" "$build/src/cli/kt-flash-cli.exe" "$stage/"
cp "$root"/examples/*.kvf "$stage/"
# Windows' Notepad shows either line end; CR LF suits every Windows reader.
sed 's/$/\r/' "$root/dist/windows/README.txt" >"$stage/README.txt"
x86_64-w64-mingw32-strip "$stage"/*.exe
(cd "$build" && cmake -E tar cf kt-flash-windows.zip --format=zip kt-flash-windows)
echo "$build/kt-flash-windows.zip"
