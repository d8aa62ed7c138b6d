#!/usr/bin/env bash
# Cross-builds quentrel.dll for 64-bit and 32-bit Windows with MinGW-w64 from the same sources,
# each in a build directory of its own, with its checks (and, for 64-bit, the Wine suite) ready
# for ctest there.
set -euo pipefail
cd "$(dirname "$0")/.."
# The Linux build, whose library and Java classes the 64-bit suite's domain test talks to.
linux=${QUENTREL_BUILD_DIR:-build}
[[ $linux == /* ]] || linux=$PWD/$linux
for target in x86_64:${QUENTREL_WIN64_BUILD_DIR:-build-win64} i686:${QUENTREL_WIN32_BUILD_DIR:-build-win32}; do
  arch=${target%%:*} dir=${target#*:}
  cmake -S . -B "$dir" -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw-$arch.cmake -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DQUENTREL_LINUX_BUILD_DIR="$linux" >/dev/null
  cmake --build "$dir" -j"$(nproc)"
done
