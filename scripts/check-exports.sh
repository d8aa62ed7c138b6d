#!/usr/bin/env bash
# Checks that a built libquentrel.so defines and exports the package's JNI entry points and
# nothing else.
set -euo pipefail
library=$1
exported=$(nm -D --defined-only "$library" | awk '{print $3}' | sort)
others=$(grep -v '^Java_com_tarvex_pelk_quentrel_\(SSPI\|UserAuth\|WinUtil\)_[A-Za-z]*$' <<<"$exported" || true)
count=$(grep -c '^Java_' <<<"$exported" || true)
if [ -n "$others" ]; then
  echo "exported besides the JNI entry points:"; echo "$others"; exit 1
fi
echo "$count JNI entry points exported, nothing else"
if [ -n "${EXPECTED_EXPORTS:-}" ] && [ "$count" -ne "$EXPECTED_EXPORTS" ]; then
  echo "expected $EXPECTED_EXPORTS"; exit 1
fi
