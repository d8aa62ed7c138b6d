#!/usr/bin/env bash
# Checks what a built library exports and where it looks for libraries.
#   check-exports.sh libquentrel.so            defines and exports the package's JNI entry points
#                                              and nothing else: the SSPI, UserAuth and WinUtil
#                                              ones (EXPECTED_EXPORTS: how many), and apart from
#                                              them the Extensions class's (EXPECTED_EXTENSIONS)
#   check-exports.sh libwinhost.so HEADERS     the stand-in host: exports only Windows functions
#                                              that the headers under HEADERS declare, no C++ name
# Either way, no run path but the library's own folder ($ORIGIN): a folder of the build machine
# named there would let whoever creates it on a deployment host run code in the server.
set -euo pipefail
library=$1 headers=${2:-}
exported=$(nm -D --defined-only "$library" | awk '{print $3}' | sort)
if [ -n "$headers" ]; then
  declared=$(grep -rhoE '\b[A-Za-z_][A-Za-z0-9_]*[[:space:]]*\(' "$headers" | sed 's/[[:space:]]*($//' | sort -u)
  others=$(comm -23 <(printf '%s\n' "$exported") <(printf '%s\n' "$declared") | grep . || true)
  if [ -n "$others" ]; then
    echo "$library exports besides the Windows functions:"; c++filt <<<"$others"; exit 1
  fi
  echo "$library: $(grep -c . <<<"$exported") Windows functions exported, nothing else"
else
  others=$(grep -v '^Java_com_tarvex_pelk_quentrel_\(SSPI\|UserAuth\|WinUtil\|Extensions\)_[A-Za-z]*$' <<<"$exported" || true)
  count=$(grep -c '^Java_com_tarvex_pelk_quentrel_\(SSPI\|UserAuth\|WinUtil\)_' <<<"$exported" || true)
  extensions=$(grep -c '^Java_com_tarvex_pelk_quentrel_Extensions_' <<<"$exported" || true)
  if [ -n "$others" ]; then
    echo "$library exports besides the JNI entry points:"; c++filt <<<"$others"; exit 1
  fi
  echo "$library: $count JNI entry points and $extensions extensions exported, nothing else"
  if [ -n "${EXPECTED_EXPORTS:-}" ] && [ "$count" -ne "$EXPECTED_EXPORTS" ]; then
    echo "expected $EXPECTED_EXPORTS"; exit 1
  fi
  if [ -n "${EXPECTED_EXTENSIONS:-}" ] && [ "$extensions" -ne "$EXPECTED_EXTENSIONS" ]; then
    echo "expected $EXPECTED_EXTENSIONS extensions"; exit 1
  fi
fi
paths=$(readelf -d "$library" | sed -n 's/.*(\(RPATH\|RUNPATH\)).*\[\(.*\)\]/\2/p')
for path in ${paths//:/ }; do
  if [ "$path" != '$ORIGIN' ]; then echo "$library looks for libraries in $path"; exit 1; fi
done
echo "$library: run path ${paths:-none}"
