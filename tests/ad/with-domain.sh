#!/usr/bin/env bash
# Runs a command beside a throwaway Active Directory domain controller (Samba), then stops the DC
# and removes the domain's folder (the DC stops even when this script is killed outright). A ctest
# run shares one such domain among its entries instead (shared-domain.sh, in-domain.sh); this
# script is for a command that wants a domain of its own. The DC runs in a network namespace of
# its own with only a loopback; the command runs in that namespace too, so it reaches the DC at
# 127.0.0.1 and no other address is reachable. The domain SAMDOM.TEST (NetBIOS name SAMDOM) has:
#   alice        a user with a ticket in the cache; in Engineers, so in Staff and Printers too
#   bob          a user in Staff directly, "sensitive and cannot be delegated"
#   carol        a user in no group but Domain Users
#   dave         an administrator: in Domain Admins
#   erin         a user in Protected Users: her tickets are not forwardable
#   dc1          the DC, with ldap/dc1.samdom.test for Kerberos binds to its directory
#   Engineers    a global group; Staff, a global group holding Engineers (nesting); Printers, a
#                domain-local group holding Engineers
#   websvc       the service HTTP/localhost (and HTTP/web.samdom.test), trusted for delegation;
#                its keys in the keytab KRB5_KTNAME names (each keytab also holds the account's
#                own principal, websvc@SAMDOM.TEST, which can get a TGT)
#   backend      the service HTTP/backend.samdom.test, keys in AD_BACKEND_KEYTAB
#   proxysvc     the service HTTP/proxy.samdom.test, which may delegate to the back end alone
#                (constrained, protocol transition allowed), keys in AD_PROXY_KEYTAB
# Every user and service account has the password in AD_PASSWORD (services: AD_PASSWORD-ACCOUNT;
# their keytabs have AES keys). The command finds the rest through:
#   KRB5_CONFIG, KRB5CCNAME, KRB5_KTNAME, KRB5RCACHEDIR   the KDC named by address, forwardable
#   AD_REALM, AD_DOMAIN, AD_DNS_DOMAIN                     SAMDOM.TEST, SAMDOM, samdom.test
#   AD_DC_ADDRESS, AD_DC_NAME                              127.0.0.1, dc1.samdom.test
#   AD_DIR, AD_SMB_CONF, AD_PASSWORD, AD_NETNS             the folder, the DC's smb.conf, the
#                                                          namespace (empty in the fallback below)
#   AD_DOMAIN_SID, AD_ACCOUNTS                             the domain's SID; a file of lines
#                                                          "SID NAME", one per account and group
#   AD_HOSTS                                               a hosts file (nss_wrapper's form)
#                                                          naming the DC and the service hosts
#   AD_RESOLV_HOSTS                                        the domain's SRV records and dc1's
#                                                          address as a resolv_wrapper file, for
#                                                          a test that edits or replaces them
#   AD_SAMBA_PID                                           the DC's process (a test may stop it)
# With AD_WINBIND=1 the command also reaches the DC's winbindd, through nss_wrapper's module mode
# without touching the machine's NSS. The script exports NSS_WRAPPER_PASSWD and NSS_WRAPPER_GROUP
# (root and nobody, then winbind's accounts), NSS_WRAPPER_MODULE_SO_PATH (libnss_winbind.so.2),
# NSS_WRAPPER_MODULE_FN_PREFIX=winbind, WINBINDD_SOCKET_DIR and SELFTEST_WINBINDD_SOCKET_DIR (the
# name Samba's client libraries read), and AD_NSS_WRAPPER, the path of libnss_wrapper.so: they
# take effect in a process that preloads it (LD_PRELOAD=$AD_NSS_WRAPPER getent passwd
# 'SAMDOM\alice'); libwbclient and wbinfo find the DC's winbindd the same way.
# The DC serves the domain's DNS too (its SRV records, dc1, and web, backend and proxy at
# 127.0.0.1), and the command's /etc/resolv.conf names it: the command has a mount namespace of its
# own, so the machine's file is left alone.
# Where no network namespace can be made, the DC listens on a random 127.0.0.N of the machine's
# own loopback instead, and says so on standard error.
# AD_TIMES=1 prints how long each step took to be ready on standard error.
# Exits 77 (skipped) when Samba or the Kerberos client tools are not installed.
# Usage: with-domain.sh COMMAND [ARGUMENT...]
set -euo pipefail
source "$(cd "$(dirname "$0")" && pwd)/domain.sh"
domain_require_tools

# What a run killed outright left: its DC stopped with it (see below), its namespace and folder
# stay. Both carry the run's process number.
for stale in $(ip netns list 2>/dev/null | sed -n 's/^quentrel-ad-\([0-9]*\).*/\1/p'); do
  if ! kill -0 "$stale" 2>/dev/null && [ -z "$(ip netns pids "quentrel-ad-$stale" 2>/dev/null)" ]; then
    ip netns delete "quentrel-ad-$stale" 2>/dev/null || true
  fi
done
for stale in "${TMPDIR:-/tmp}"/quentrel-ad.*/owner; do
  [ -f "$stale" ] && ! kill -0 "$(cat "$stale")" 2>/dev/null && rm -rf "${stale%/owner}"
done
dir=$(mktemp -d "${TMPDIR:-/tmp}/quentrel-ad.XXXXXX")
echo $$ >"$dir/owner"
netns="" samba_pid="" command_pid=""
cleanup() {
  if [ -n "$command_pid" ]; then
    kill -TERM "$command_pid" 2>/dev/null || true
    wait "$command_pid" 2>/dev/null || true
  fi
  exec 4>&-
  [ -n "$samba_pid" ] && domain_stop_dc "$dir" "$samba_pid"
  domain_remove "$dir" "$netns"
}
harness_on_exit cleanup
trap 'exit 143' TERM
trap 'exit 130' INT
# A step that fails stops the script (set -e) without a word of its own: say which one it was.
trap 'echo "with-domain.sh: the command on line $LINENO failed" >&2' ERR

domain_netns "quentrel-ad-$$"
domain_provision "$dir" "$address" "$netns"
# The DC stops when this script's end of its standard input closes: even a script killed
# outright (a test's time-out) leaves no DC behind.
mkfifo "$dir/samba.stdin"
exec 4<>"$dir/samba.stdin"
winbind=""
[ "${AD_WINBIND:-0}" = 1 ] && winbind=winbind
domain_start_dc "$dir" "$netns" $winbind || exit $?
export AD_SAMBA_PID=$samba_pid
[ -n "$winbind" ] && domain_export_winbind "$dir"

# The command in the background, so that a signal to this script reaches the trap at once.
domain_exec "$dir" "$netns" "$@"
status=0
wait "$command_pid" || status=$?
command_pid=""
exit $status
