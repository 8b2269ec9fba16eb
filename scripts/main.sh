#!/usr/bin/env bash
# Installs what is missing, builds, and runs the main job: the example package
# written into a simulated device (the controller played inside the program).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
bash scripts/build.sh build -DCMAKE_BUILD_TYPE=RelWithDebInfo
./build/src/cli/kt-flash-cli --simulate --yes update examples/telviks-m2-3.0.12.kvf
