#!/usr/bin/env bash
# Runs a command beside a throwaway Active Directory domain controller (Samba), then stops the DC
# and removes the domain's folder (the DC stops even when this script is killed outright). The DC runs in a network namespace of its own with only a
# loopback; the command runs in that namespace too, so it reaches the DC at 127.0.0.1 and no
# other address is reachable. The domain SAMDOM.TEST (NetBIOS name SAMDOM) has:
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
# With AD_WINBIND=1 the DC's winbindd runs as well, for lookups through nss_wrapper's module mode
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
PATH=$PATH:/usr/sbin:/sbin
for tool in samba samba-tool kinit ip; do
  command -v "$tool" >/dev/null || { echo "$tool is not installed: no domain controller for the test"; exit 77; }
done
/usr/bin/python3 -c 'import samba.samdb' 2>/dev/null || { echo "Samba's Python modules are missing: no domain controller"; exit 77; }
here=$(cd "$(dirname "$0")" && pwd)
source "$here/../harness/env.sh"
started=$EPOCHREALTIME
step() {
  [ "${AD_TIMES:-0}" = 1 ] || return 0
  awk -v what="$1" -v from="${started/,/.}" -v now="${EPOCHREALTIME/,/.}" \
    'BEGIN { printf "with-domain.sh: %s after %.1f s\n", what, now - from }' >&2
}

realm=SAMDOM.TEST domain=SAMDOM dns_domain=samdom.test
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
chmod 755 "$dir"
echo $$ >"$dir/owner"
netns="" samba_pid="" command_pid=""
cleanup() {
  if [ -n "$command_pid" ]; then
    kill -TERM "$command_pid" 2>/dev/null || true
    wait "$command_pid" 2>/dev/null || true
  fi
  exec 4>&-
  if [ -n "$samba_pid" ]; then
    # samba's children (winbindd, the KDC and LDAP workers) are in its process group.
    kill -TERM -- "-$samba_pid" 2>/dev/null || kill -TERM "$samba_pid" 2>/dev/null || true
    for _ in $(seq 50); do kill -0 "$samba_pid" 2>/dev/null || break; sleep 0.1; done
    kill -KILL -- "-$samba_pid" 2>/dev/null || true
    wait "$samba_pid" 2>/dev/null || true
  fi
  if [ -n "$netns" ]; then
    for pid in $(ip netns pids "$netns" 2>/dev/null); do kill -KILL "$pid" 2>/dev/null || true; done
    ip netns delete "$netns" 2>/dev/null || true
  fi
  rm -rf "$dir"
}
trap cleanup EXIT
trap 'exit 143' TERM
trap 'exit 130' INT
# A step that fails stops the script (set -e) without a word of its own: say which one it was.
trap 'echo "with-domain.sh: the command on line $LINENO failed" >&2' ERR

# The namespace, or the fallback: an address of the machine's loopback that no other DC uses.
address=127.0.0.1
netns=quentrel-ad-$$
if ip netns add "$netns" 2>/dev/null && ip -n "$netns" link set lo up 2>/dev/null; then
  in_netns=(ip netns exec "$netns")
else
  ip netns delete "$netns" 2>/dev/null || true
  netns="" in_netns=()
  address=127.0.$((RANDOM % 250 + 1)).$((RANDOM % 250 + 2))
  echo "with-domain.sh: no network namespace here; the DC listens on $address of the machine's loopback" >&2
fi

mkdir -p "$dir/pid" "$dir/winbindd" "$dir/ncalrpc" "$dir/log"
export AD_PASSWORD="Qt-$RANDOM$RANDOM-pw"
services="rpc ldap cldap kdc dns"
[ "${AD_WINBIND:-0}" = 1 ] && services+=" winbindd"
# Folders of the DC's own: a second DC on the machine would otherwise find this one's pid file
# and sockets, and refuse to start.
options=(
  "pid directory=$dir/pid" "winbindd socket directory=$dir/winbindd"
  "ntp signd socket directory=$dir/ntp_signd" "ncalrpc dir=$dir/ncalrpc" "log file=$dir/log/log.%m"
  "interfaces=$address/8" "bind interfaces only=yes" "server services=$services"
  # RC4 off for the whole domain, the KDC's own keys too, as Windows Server 2025 and the 2026
  # defaults have it.
  "kdc default domain supported enctypes=24" "kdc supported enctypes=24")
provision=(samba-tool domain provision --realm="$realm" --domain="$domain" --server-role=dc
           --dns-backend=SAMBA_INTERNAL --host-name=dc1 --host-ip="$address" --adminpass="$AD_PASSWORD"
           --targetdir="$dir")
for option in "${options[@]}"; do provision+=(--option="$option"); done
"${provision[@]}" >"$dir/provision.log" 2>&1 || { echo "provisioning the domain failed:"; cat "$dir/provision.log"; exit 1; }
export AD_SMB_CONF=$dir/etc/smb.conf
step provisioned
# Settings provisioning does not write: no TLS key to generate (nothing here binds simply), and
# winbind's accounts with a shell and no home. No DNS forwarder: provisioning copies the
# machine's name server, and the DC must ask nobody else.
sed -i -e '/^\tdns forwarder = /d' -e '/^\[global\]/a\
\ttls enabled = no\
\ttemplate shell = /bin/sh\
\ttemplate homedir = /nonexistent' "$AD_SMB_CONF"
/usr/bin/python3 "$here/populate.py" "$AD_SMB_CONF" "$AD_PASSWORD" "$dir" "$address" >"$dir/populate.log" 2>&1 ||
  { echo "filling the domain failed:"; cat "$dir/populate.log"; exit 1; }
step "accounts and keytabs made"

harness_export_krb5 "$dir"
export AD_REALM=$realm AD_DOMAIN=$domain AD_DNS_DOMAIN=$dns_domain AD_DIR=$dir AD_NETNS=$netns
export AD_DC_ADDRESS=$address AD_DC_NAME=dc1.$dns_domain
export AD_BACKEND_KEYTAB=FILE:$dir/backend.keytab AD_PROXY_KEYTAB=FILE:$dir/proxy.keytab
cat >"$KRB5_CONFIG" <<CONF
$(harness_krb5_libdefaults "$realm" "$dir" "forwardable = true" \
  "permitted_enctypes = aes256-cts-hmac-sha1-96 aes128-cts-hmac-sha1-96")
[realms]
  $realm = {
    kdc = $address
    admin_server = $address
    kpasswd_server = $address
  }
[domain_realm]
  localhost = $realm
  .$dns_domain = $realm
  $dns_domain = $realm
CONF
export AD_HOSTS=$dir/hosts
{
  echo "127.0.0.1 localhost"
  echo "$address dc1.$dns_domain dc1"
  echo "127.0.0.1 web.$dns_domain backend.$dns_domain proxy.$dns_domain"
} >"$AD_HOSTS"
export AD_RESOLV_HOSTS=$dir/resolv-hosts
{
  echo "A dc1.$dns_domain $address"
  for service in _ldap._tcp.dc._msdcs _ldap._tcp; do echo "SRV $service.$dns_domain dc1.$dns_domain 389"; done
  for service in _kerberos._tcp _kerberos._udp; do echo "SRV $service.$dns_domain dc1.$dns_domain 88"; done
} >"$AD_RESOLV_HOSTS"
# No search domain: krb5 would qualify a short host name such as localhost with it.
printf 'nameserver %s\noptions timeout:1 attempts:2\n' "$address" >"$dir/resolv.conf"
export AD_ACCOUNTS=$dir/accounts
AD_DOMAIN_SID=$(sed -n 's/.*DOMAIN SID: *\(S-[0-9-]*\).*/\1/p' "$dir/provision.log")
export AD_DOMAIN_SID

# The DC in its own process group, so that the trap stops all of it. It reads its standard input
# from a pipe this script holds open and stops when the pipe closes: even a script killed
# outright (a test's time-out) leaves no DC behind. One process for every service: the machine
# is small and the tests ask little.
mkfifo "$dir/samba.stdin"
set -m
"${in_netns[@]}" samba --interactive -M single -s "$AD_SMB_CONF" -d1 \
  <"$dir/samba.stdin" >"$dir/log/samba.out" 2>&1 &
samba_pid=$!
set +m
exec 4>"$dir/samba.stdin"
export AD_SAMBA_PID=$samba_pid
ready=""
for _ in $(seq 300); do
  kill -0 "$samba_pid" 2>/dev/null || break
  if echo "$AD_PASSWORD" | "${in_netns[@]}" kinit alice >/dev/null 2>&1; then ready=1; break; fi
  sleep 0.1
done
[ -n "$ready" ] || { echo "the domain controller did not start:"; cat "$dir/log/samba.out"; exit 1; }
step "the DC gave alice her ticket"

if [ "${AD_WINBIND:-0}" = 1 ]; then
  export WINBINDD_SOCKET_DIR=$dir/winbindd
  export NSS_WRAPPER_PASSWD=$dir/passwd NSS_WRAPPER_GROUP=$dir/group
  export NSS_WRAPPER_MODULE_SO_PATH NSS_WRAPPER_MODULE_FN_PREFIX=winbind AD_NSS_WRAPPER
  # awk reads to the end: leaving early would end ldconfig with SIGPIPE, a failure under pipefail.
  NSS_WRAPPER_MODULE_SO_PATH=$(/sbin/ldconfig -p | awk '$1 == "libnss_winbind.so.2" && !found { print $NF; found = 1 }')
  AD_NSS_WRAPPER=$(/sbin/ldconfig -p | awk '$1 == "libnss_wrapper.so" && !found { print $NF; found = 1 }')
  [ -n "$NSS_WRAPPER_MODULE_SO_PATH" ] && [ -n "$AD_NSS_WRAPPER" ] ||
    { echo "libnss-winbind or libnss-wrapper is not installed: no winbind for the test"; exit 77; }
  # The machine's own accounts first, as NSS would give them, then winbind's.
  getent passwd root nobody >"$NSS_WRAPPER_PASSWD"
  getent group root nogroup >"$NSS_WRAPPER_GROUP"
  # Samba's client libraries take the socket's folder from the environment only inside
  # nss_wrapper (a weak symbol of its own tells them so).
  export SELFTEST_WINBINDD_SOCKET_DIR=$WINBINDD_SOCKET_DIR
  ready=""
  for _ in $(seq 300); do
    if LD_PRELOAD=$AD_NSS_WRAPPER wbinfo -n "$domain\\alice" >/dev/null 2>&1; then
      ready=1; break
    fi
    sleep 0.1
  done
  [ -n "$ready" ] || { echo "winbindd did not answer:"; cat "$dir/log/samba.out"; exit 1; }
  step "winbindd answered"
fi

# The command, with the domain's resolv.conf over the machine's in a mount namespace of its own
# (ip netns exec makes one), never in the machine's. In the background, so that a signal to this
# script reaches the trap at once; standard input stays the script's.
exec 3<&0
if [ -n "$netns" ]; then
  in_domain=(ip netns exec "$netns")
elif unshare -m --propagation slave true 2>/dev/null; then
  in_domain=(unshare -m --propagation slave)
else
  in_domain=()
fi
if [ ${#in_domain[@]} -gt 0 ]; then
  # shellcheck disable=SC2016
  "${in_domain[@]}" /bin/sh -c 'mount --bind "$1" /etc/resolv.conf ||
    echo "with-domain.sh: the command has the machine'"'"'s DNS, not the domain'"'"'s" >&2; shift; exec "$@"' \
    sh "$dir/resolv.conf" "$@" <&3 3<&- 4>&- &
else
  echo "with-domain.sh: no mount namespace here; the command has the machine's DNS, not the domain's" >&2
  "$@" <&3 3<&- 4>&- &
fi
command_pid=$!
status=0
wait "$command_pid" || status=$?
command_pid=""
exit $status
