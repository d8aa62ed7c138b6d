#!/usr/bin/env bash
# Runs the Wine suite's Kerberos authentication inside a throwaway MIT KDC on loopback (the realm
# of tests/kdc/with-realm.sh): a user with a ticket and a service with a keytab, all found by
# Wine's Kerberos package through KRB5_CONFIG, KRB5CCNAME and KRB5_KTNAME. Exits 77 (skipped)
# when the KDC tools are not installed.
# Usage: run-kerberos.sh WINE PREFIX PROGRAM
set -euo pipefail
here=$(dirname "$0")
exec "$here/../kdc/with-realm.sh" "$here/run-under-wine.sh" "$1" "$2" "$3" --kerberos host/localhost
