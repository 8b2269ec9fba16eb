#!/usr/bin/env bash
# Installs what building and testing KT-FLASH needs on Debian 12, if missing;
# packages named as arguments are added to the list.
set -euo pipefail

packages=(cmake ninja-build g++ libgtest-dev qt6-base-dev qt6-qpa-plugins qt6-translations-l10n binutils zlib1g-dev "$@")
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  echo "Installing: ${missing[*]}"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}"
fi
