#!/usr/bin/env bash
# Runs a command inside a throwaway MIT Kerberos realm on loopback, then stops the KDC and removes
# the realm's folder. The realm QTEST.TEST lives in a temporary folder with:
#   alice        a user with a password (in QTEST_PASSWORD) and a ticket in the cache; krb5's
#                auth_to_local maps her to the account running this script
#   bob          a user mapped to the account "nobody"
#   carol        a user whose principal maps to no account of this machine
#   HTTP/localhost, host/localhost   services whose keys are in the keytab (HTTP first)
#   HTTP/stale   a service whose key in the keytab is one version behind the KDC's
# The command finds it all through KRB5_CONFIG, KRB5_KDC_PROFILE, KRB5CCNAME, KRB5_KTNAME and
# KRB5RCACHEDIR; QTEST_REALM_DIR names the folder. The krb5.conf also names the keytab, so the
# JDK's Kerberos finds it. Exits 77 (skipped) when the KDC tools are not installed.
# Usage: with-realm.sh COMMAND [ARGUMENT...]
set -euo pipefail
for tool in krb5kdc kdb5_util kadmin.local kinit; do
  command -v "$tool" >/dev/null || PATH=$PATH:/usr/sbin
  command -v "$tool" >/dev/null || { echo "$tool is not installed: no Kerberos realm for the test"; exit 77; }
done

realm=QTEST.TEST
dir=$(mktemp -d)
kdc=""
cleanup() {
  if [ -n "$kdc" ]; then kill "$kdc" 2>/dev/null || true; wait "$kdc" 2>/dev/null || true; fi
  rm -rf "$dir"
}
trap cleanup EXIT
export KRB5_CONFIG=$dir/krb5.conf KRB5_KDC_PROFILE=$dir/kdc.conf KRB5CCNAME=FILE:$dir/ccache \
  KRB5_KTNAME=FILE:$dir/keytab KRB5RCACHEDIR=$dir QTEST_REALM_DIR=$dir
user=$(id -un)

write_config() {
  cat >"$dir/krb5.conf" <<CONF
[libdefaults]
  default_realm = $realm
  default_keytab_name = FILE:$dir/keytab
  dns_lookup_kdc = false
  dns_lookup_realm = false
  rdns = false
  dns_canonicalize_hostname = false
  udp_preference_limit = 1
[realms]
  $realm = {
    kdc = 127.0.0.1:$1
    auth_to_local = RULE:[1:\$1@\$0](alice@QTEST\.TEST)s/.*/$user/
    auth_to_local = RULE:[1:\$1@\$0](bob@QTEST\.TEST)s/.*/nobody/
    auth_to_local = DEFAULT
  }
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
[logging]
  kdc = FILE:$dir/kdc.log
CONF
}

write_config 0
kdb5_util create -s -r "$realm" -P "master-$RANDOM$RANDOM" >/dev/null
export QTEST_PASSWORD="user-$RANDOM$RANDOM"
for principal in alice bob carol; do
  kadmin.local -q "addprinc -pw $QTEST_PASSWORD $principal" >/dev/null 2>&1
done
for service in HTTP/localhost host/localhost HTTP/stale; do
  kadmin.local -q "addprinc -randkey $service" >/dev/null 2>&1
  kadmin.local -q "ktadd -k $dir/keytab $service" >/dev/null
done
# A new key for HTTP/stale that the keytab never gets.
kadmin.local -q "cpw -randkey HTTP/stale" >/dev/null

# A free port: the KDC either binds it and keeps running, or exits at once.
for attempt in 1 2 3 4 5; do
  write_config $((20000 + RANDOM % 20000))
  krb5kdc -n >"$dir/kdc.out" 2>&1 &
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
