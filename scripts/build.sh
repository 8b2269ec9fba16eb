#!/usr/bin/env bash
# Configures and builds one build folder: scripts/build.sh DIR [CMAKE OPTIONS...]
set -euo pipefail
dir=$1
shift
cmake -S "$(dirname "$0")/.." -B "$dir" -G Ninja "$@" >/dev/null
cmake --build "$dir" --parallel "$(nproc)"
