#!/usr/bin/env bash
# Builds everything and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
build=${QUENTREL_BUILD_DIR:-build}
ctest --test-dir "$build" --output-on-failure
