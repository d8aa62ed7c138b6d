#!/usr/bin/env bash
# The main job: build the library and run a Java program against it.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
build=${QUENTREL_BUILD_DIR:-build}
java -Djava.library.path="$build/lib" -cp "$build/quentrel.jar:$build/quentrel-demo.jar" Demo
