#!/usr/bin/env bash
# The main job: build the library and its jar, then run the tool's report of what the library
# sees on this host.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
build=${QUENTREL_BUILD_DIR:-build}
java -jar "$build/quentrel.jar" doctor
