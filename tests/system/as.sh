#!/usr/bin/env bash
# Runs a command of the identity tests inside the realm, as root or as "nobody" (who may not take
# another identity, with the realm's files opened to it). Exits 77 (skipped) unless run as root.
# Usage: as.sh root|nobody COMMAND [ARGUMENT...]
set -euo pipefail
[ "$(id -u)" = 0 ] || { echo "not root: the identity switches are not tested"; exit 77; }
who=$1
shift
if [ "$who" = nobody ]; then
  chmod 1777 "$QTEST_REALM_DIR"
  chmod a+r "$QTEST_REALM_DIR"/*
  exec setpriv --reuid=nobody --regid=nogroup --clear-groups "$@"
fi
exec "$@"
