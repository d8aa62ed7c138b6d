#!/usr/bin/env bash
# Builds everything and runs every test: the suite, the Windows builds, then the suite under
# sanitizers, the fault sweep and the stress there, and a short run of each fuzz target. Says how
# long each part took.
set -euo pipefail
cd "$(dirname "$0")/.."
part() {
  local name=$1 start=$SECONDS
  shift
  "$@"
  echo "== $name: $((SECONDS - start)) s"
}
part setup scripts/setup.sh
build=${QUENTREL_BUILD_DIR:-build}
part "windows builds" scripts/build-windows.sh
# The jars (CMake's and the Maven artifacts) carry the DLLs just built, beside the Linux library.
cmake --build "$build" --target quentrel_jar_repack >/dev/null
mvn -B -q -f maven/pom.xml "-Dquentrel.build=$(cd "$build" && pwd)" -DskipTests install
part suite ctest --test-dir "$build" --output-on-failure
part "wine 64" ctest --test-dir "${QUENTREL_WIN64_BUILD_DIR:-build-win64}" --output-on-failure
part "wine 32" ctest --test-dir "${QUENTREL_WIN32_BUILD_DIR:-build-win32}" --output-on-failure
part sanitizers scripts/sanitize.sh
part fuzzing scripts/fuzz.sh
