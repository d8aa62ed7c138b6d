#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (AddressSanitizer and UndefinedBehaviorSanitizer too).
#   scripts/fuzz.sh                      each target briefly, as the test command does
#   scripts/fuzz.sh TARGET [SECONDS]     one target (tokens, names, registry, strings, pac) for
#                                        long, on both cores, its corpus kept in build-fuzz
set -euo pipefail
cd "$(dirname "$0")/.."
build=${QUENTREL_FUZZ_BUILD_DIR:-build-fuzz}
CXX=${QUENTREL_FUZZ_CXX:-clang++} cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DQUENTREL_SANITIZE=address,undefined -DQUENTREL_FUZZ=ON >/dev/null
cmake --build "$build" -j"$(nproc)" --target tokens_fuzz names_fuzz registry_fuzz strings_fuzz pac_fuzz >/dev/null
export WINHOST_COMMON_APPDATA="$PWD/$build/tests/fuzz/ProgramData"
if [ $# -eq 0 ]; then
  exec ctest --test-dir "$build" -R '^fuzz-' --output-on-failure
fi
target=$1
seconds=${2:-3600}
corpus="$build/tests/fuzz/corpus/$target"
mkdir -p "$corpus"
exec "$build/tests/fuzz/${target}_fuzz" -max_total_time="$seconds" -timeout=10 -jobs="$(nproc)" \
  -workers="$(nproc)" -print_final_stats=1 "$corpus" "tests/fuzz/corpus/$target"
