#!/usr/bin/env bash
# Runs a command inside a throwaway MIT Kerberos realm on loopback, then stops the KDC and removes
# the realm's folder. The realm QTEST.TEST lives in a temporary folder with:
#   alice        a user with a password (in QTEST_PASSWORD) and a ticket in the cache; krb5's
#                auth_to_local maps her to an unprivileged account (QTEST_ALICE names it): the
#                account running this script when that is no system account, else "qtest-alice",
#                an account of the realm's own that nss_wrapper gives the command (a uid from
#                UID_MIN up that the machine does not use)
#   bob          a user mapped to the account "nobody"
#   carol        a user whose principal maps to no account of this machine
#   root, daemon users that krb5's default rule maps to those system accounts
#   HTTP/localhost, host/localhost   services whose keys are in the keytab (HTTP first)
#   HTTP/stale   a service whose key in the keytab is one version behind the KDC's
# With --trusted-realm, a second realm QTEST.EVIL on the same KDC, which QTEST.TEST trusts (its
# users get tickets for QTEST.TEST's services), issues no PACs, and has the users alice and józef
# and users whose names are no well-formed text: alice\xF0, al\xC0\x80ice, sur\xED\xA0\x80,
# nul\0byte, ctl\x1B[31m, line\nbreak (the bytes as written; for kinit, krb5 spells NUL and the
# line break \0 and \n), all with the same password.
# The command finds it all through KRB5_CONFIG, KRB5_KDC_PROFILE, KRB5CCNAME, KRB5_KTNAME and
# KRB5RCACHEDIR; QTEST_REALM_DIR names the folder. The krb5.conf also names the keytab, so the
# JDK's Kerberos finds it. Exits 77 (skipped) when the KDC tools are not installed.
# Usage: with-realm.sh [--trusted-realm] COMMAND [ARGUMENT...]
set -euo pipefail
for tool in krb5kdc kdb5_util kadmin.local kinit; do
  command -v "$tool" >/dev/null || PATH=$PATH:/usr/sbin
  command -v "$tool" >/dev/null || { echo "$tool is not installed: no Kerberos realm for the test"; exit 77; }
done

realm=QTEST.TEST
trusted=""
if [ "${1:-}" = --trusted-realm ]; then
  trusted=QTEST.EVIL
  shift
fi
source "$(cd "$(dirname "$0")" && pwd)/../harness/env.sh"
dir=$(harness_scratch)
kdc=""
stop_kdc() {
  if [ -n "$kdc" ]; then kill "$kdc" 2>/dev/null || true; wait "$kdc" 2>/dev/null || true; fi
}
harness_on_exit stop_kdc
harness_export_krb5 "$dir"
export KRB5_KDC_PROFILE=$dir/kdc.conf QTEST_REALM_DIR=$dir

# alice's account: never a system account, which the library refuses to make a client's identity.
uid_min=$(awk '$1 == "UID_MIN" { print $2 }' /etc/login.defs 2>/dev/null || true)
uid_min=${uid_min:-1000}
user=$(id -un)
if [ "$(id -u)" -lt "$uid_min" ]; then
  nss_wrapper=""
  for folder in /usr/lib/x86_64-linux-gnu /usr/lib64 /usr/lib; do
    [ -e "$folder/libnss_wrapper.so" ] && nss_wrapper=$folder/libnss_wrapper.so && break
  done
  [ -n "$nss_wrapper" ] || { echo "libnss_wrapper is not installed: no unprivileged account for alice"; exit 77; }
  uid=$uid_min
  while getent passwd "$uid" >/dev/null || getent group "$uid" >/dev/null; do uid=$((uid + 1)); done
  user=qtest-alice
  { getent passwd; echo "$user:x:$uid:$uid:QTEST alice:/nonexistent:/usr/sbin/nologin"; } >"$dir/passwd"
  { getent group; echo "$user:x:$uid:"; } >"$dir/group"
  export NSS_WRAPPER_PASSWD=$dir/passwd NSS_WRAPPER_GROUP=$dir/group
  export LD_PRELOAD=$nss_wrapper${LD_PRELOAD:+:$LD_PRELOAD}
fi
export QTEST_ALICE=$user

write_config() {
  cat >"$dir/krb5.conf" <<CONF
$(harness_krb5_libdefaults "$realm" "$dir")
[realms]
  $realm = {
    kdc = 127.0.0.1:$1
    auth_to_local = RULE:[1:\$1@\$0](alice@QTEST\.TEST)s/.*/$user/
    auth_to_local = RULE:[1:\$1@\$0](bob@QTEST\.TEST)s/.*/nobody/
    auth_to_local = DEFAULT
  }
$(trusted_realm_config "$1")
[domain_realm]
  localhost = $realm
CONF
  cat >"$dir/kdc.conf" <<CONF
[kdcdefaults]
  kdc_ports = $1
  kdc_tcp_ports = $1
[realms]
  $realm = {
    database_name = $dir/principal
    key_stash_file = $dir/stash
    acl_file = $dir/kadm5.acl
  }
$(trusted_realm_kdc)
[logging]
  kdc = FILE:$dir/kdc.log
CONF
}

# The trusted realm's parts of krb5.conf and kdc.conf: its KDC, and a direct path to QTEST.TEST.
trusted_realm_config() {
  [ -n "$trusted" ] || return 0
  printf '  %s = {\n    kdc = 127.0.0.1:%s\n  }\n[capaths]\n  %s = {\n    %s = .\n  }\n' "$trusted" "$1" "$trusted" "$realm"
}
trusted_realm_kdc() {
  [ -n "$trusted" ] || return 0
  # Without PACs: MIT's KDC makes none for a name that is no well-formed text, nor issues a
  # ticket without one unless told.
  printf '  %s = {\n    database_name = %s\n    key_stash_file = %s\n    disable_pac = true\n  }\n' \
    "$trusted" "$dir/trusted-principal" "$dir/trusted-stash"
}

write_config 0
kdb5_util create -s -r "$realm" -P "master-$RANDOM$RANDOM" >/dev/null
export QTEST_PASSWORD="user-$RANDOM$RANDOM"
for principal in alice bob carol root daemon; do
  kadmin.local -q "addprinc -pw $QTEST_PASSWORD $principal" >/dev/null 2>&1
done
if [ -n "$trusted" ]; then
  kdb5_util create -s -r "$trusted" -P "master-$RANDOM$RANDOM" >/dev/null
  for principal in alice józef $'alice\xF0' $'al\xC0\x80ice' $'sur\xED\xA0\x80' 'nul\0byte' $'ctl\x1B[31m' 'line\nbreak'; do
    kadmin.local -r "$trusted" -q "addprinc -pw $QTEST_PASSWORD \"$principal\"" >/dev/null 2>&1
  done
  # The trust: the same key for the cross-realm service in both realms.
  trust="trust-$RANDOM$RANDOM"
  for side in "$realm" "$trusted"; do
    kadmin.local -r "$side" -q "addprinc -pw $trust krbtgt/$realm@$trusted" >/dev/null 2>&1
  done
fi
for service in HTTP/localhost host/localhost HTTP/stale; do
  kadmin.local -q "addprinc -randkey $service" >/dev/null 2>&1
  kadmin.local -q "ktadd -k $dir/keytab $service" >/dev/null
done
# A new key for HTTP/stale that the keytab never gets.
kadmin.local -q "cpw -randkey HTTP/stale" >/dev/null

# A free port: the KDC either binds it and keeps running, or exits at once.
for attempt in 1 2 3 4 5; do
  write_config $((20000 + RANDOM % 20000))
  krb5kdc -n -r "$realm" ${trusted:+-r "$trusted"} >"$dir/kdc.out" 2>&1 &
  kdc=$!
  sleep 1
  if kill -0 "$kdc" 2>/dev/null; then break; fi
  wait "$kdc" 2>/dev/null || true
  kdc=""
done
[ -n "$kdc" ] || { echo "the KDC did not start:"; cat "$dir/kdc.out" "$dir/kdc.log" 2>/dev/null; exit 1; }
echo "$QTEST_PASSWORD" | kinit alice >/dev/null

status=0
"$@" || status=$?
exit $status
