#!/usr/bin/env bash
# Runs a command inside the test domain (in-domain.sh, with-domain.sh) as one of two kinds of
# member server:
#   keytab   one that has only the service's keytab, no winbind, no SSSD: it finds the controller
#            in the domain's DNS, as on a real network
#   winbind  one whose NSS and libwbclient reach the DC's winbindd (run with AD_WINBIND=1), and
#            that has no keytab, so that winbind's own answers are the ones seen
# Usage: member-host.sh keytab|winbind COMMAND [ARGUMENT...]
set -euo pipefail
: "${AD_DIR:?run me inside the test domain (in-domain.sh, with-domain.sh)}"
kind=$1
shift
case $kind in
  keytab)
    unset NSS_WRAPPER_MODULE_SO_PATH NSS_WRAPPER_MODULE_FN_PREFIX WINBINDD_SOCKET_DIR SELFTEST_WINBINDD_SOCKET_DIR
    ;;
  winbind)
    : "${WINBINDD_SOCKET_DIR:?run me with AD_WINBIND=1}"
    export LD_PRELOAD=$AD_NSS_WRAPPER KRB5_KTNAME=FILE:$AD_DIR/no-keytab
    ;;
  *) echo "member-host.sh: keytab or winbind, not $kind" >&2; exit 2 ;;
esac
exec "$@"
