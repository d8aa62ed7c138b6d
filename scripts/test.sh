#!/usr/bin/env bash
# Builds everything and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
build=${QUENTREL_BUILD_DIR:-build}
scripts/build-windows.sh
# The jar carries the DLLs just built, beside the Linux library.
cmake --build "$build" --target quentrel_jar_repack >/dev/null
ctest --test-dir "$build" --output-on-failure
ctest --test-dir "${QUENTREL_WIN64_BUILD_DIR:-build-win64}" --output-on-failure
ctest --test-dir "${QUENTREL_WIN32_BUILD_DIR:-build-win32}" --output-on-failure
