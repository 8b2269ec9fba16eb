#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test: a plain build (and
# its Debian package, installed on this machine), then the Windows build
# (mingw-w64) under Wine, then AddressSanitizer with
# UndefinedBehaviorSanitizer, then the threaded parts (platform layer, serial
# port, simulator, device link and operations, command line) under
# ThreadSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
# clang-format checks that the tree follows its one style; mingw-w64 and Wine
# build and run the Windows programs; Xvfb (with xauth) is the display the
# Windows window's tests draw on.
bash scripts/setup.sh clang-format g++-mingw-w64-x86-64-posix wine wine64 fonts-wine xvfb xauth \
  desktop-file-utils man-db bash-completion dpkg-dev python3-jsonschema

jobs=$(nproc)
export QT_QPA_PLATFORM=offscreen

echo "== plain build"
bash scripts/build.sh build -DCMAKE_BUILD_TYPE=RelWithDebInfo
ctest --test-dir build --output-on-failure -j "$jobs"

echo "== Debian package: made with CPack, installed with apt-get, run from /usr"
bash scripts/deb-test.sh build

echo "== Windows: cross-built with mingw-w64, run under Wine against the Linux build"
# The Wine prefix lives in build-win/wineprefix; the COM port tests and the
# log comparison use the plain build's simulator and kt-flash-cli. The
# window's tests leave a picture of it after an update in
# build-win/artifacts/kt-flash-window.bmp.
bash scripts/build.sh build-win -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/mingw-w64-x86_64.cmake" \
  -DCMAKE_BUILD_TYPE=Release -DKT_NATIVE_BUILD="$PWD/build"
ctest --test-dir build-win --output-on-failure -j "$jobs"
bash scripts/windows-zip.sh build-win

echo "== AddressSanitizer + UndefinedBehaviorSanitizer"
bash scripts/build.sh build-asan -DCMAKE_BUILD_TYPE=Debug -DKT_SANITIZE=address,undefined -DKT_BUILD_BENCH=OFF
# Qt and fontconfig keep caches for the whole process; their leaks are not ours.
ASAN_OPTIONS=detect_leaks=1 LSAN_OPTIONS="suppressions=$PWD/scripts/lsan.supp" \
  UBSAN_OPTIONS=print_stacktrace=1 ctest --test-dir build-asan --output-on-failure -j "$jobs"

echo "== ThreadSanitizer (platform layer, serial port, simulator, device link and operations, command line)"
bash scripts/build.sh build-tsan -DCMAKE_BUILD_TYPE=Debug -DKT_SANITIZE=thread -DKT_BUILD_APP=OFF -DKT_BUILD_BENCH=OFF
# kt-flash-cli runs instrumented too: a race in it makes it exit 66, which its tests see.
TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" ctest --test-dir build-tsan --output-on-failure -L 'platform|serial|sim|link|device|cli' -j "$jobs"
