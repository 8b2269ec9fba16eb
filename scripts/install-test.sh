#!/usr/bin/env bash
# `cmake --install` of a Linux build into a temporary prefix: the installed
# tree must be the one in EXPECTED_TREE, the desktop entry valid, the man
# pages free of warnings, the completion must complete, and the installed
# programs must run from there.
#   scripts/install-test.sh BUILD_FOLDER EXPECTED_TREE
set -euo pipefail
[ $# -eq 2 ] || { echo "usage: $0 BUILD_FOLDER EXPECTED_TREE" >&2; exit 2; }
build=$1 expected=$2
prefix=$(mktemp -d "${TMPDIR:-/tmp}/kt-install.XXXXXX")
trap 'rm -rf "$prefix"' EXIT

cmake --install "$build" --prefix "$prefix" >/dev/null
echo "-- the installed tree"
diff -u "$expected" <(cd "$prefix" && find . \( -type f -o -type l \) | sed 's|^\./||' | LC_ALL=C sort)

echo "-- the desktop entry"
desktop-file-validate "$prefix/share/applications/kt-flash.desktop"

echo "-- the man pages"
for page in "$prefix"/share/man/man1/*.1; do
  warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null)
  if [ -n "$warnings" ]; then
    echo "$page: $warnings" >&2
    exit 1
  fi
done

echo "-- the completion"
complete_line() {
  # complete_line WORD...: what the completion offers for the last word.
  bash -c 'source /usr/share/bash-completion/bash_completion
           source "$0"
           COMP_WORDS=("$@"); COMP_CWORD=$(($# - 1)); COMP_LINE="$*"; COMP_POINT=${#COMP_LINE}
           _kt_flash_cli; printf "%s\n" "${COMPREPLY[@]}"' \
    "$prefix/share/bash-completion/completions/kt-flash-cli" "$@"
}
[ "$(complete_line kt-flash-cli up)" = "update" ]
[ "$(complete_line kt-flash-cli --si)" = "--simulate" ]
[ "$(complete_line kt-flash-cli --baud 96)" = "9600" ]

echo "-- the installed programs"
[ "$("$prefix/bin/kt-flash-cli" --version)" = "kt-flash-cli $(cat "$build/kt-version.txt")" ]
log=$("$prefix/bin/kt-flash-cli" --settings "$prefix/test.INI" --simulate --yes update \
  "$prefix/share/kt-flash/examples/telviks-m2-3.0.12.kvf" 2>/dev/null)
grep -qx "ОБНОВЛЕНИЕ завершено успешно!" <<<"$log"
env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "$prefix/bin/kt-flash" --version >/dev/null
echo "install test passed"
