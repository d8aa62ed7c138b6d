#!/usr/bin/env bash
# Runs the Wine suite's Kerberos authentication against a throwaway MIT KDC on loopback: a realm
# in a temporary folder, a user with a ticket and a service with a keytab, all found by Wine's
# Kerberos package through KRB5_CONFIG, KRB5CCNAME and KRB5_KTNAME. The KDC is stopped and the
# folder removed at the end. Exits 77 (skipped) when the KDC tools are not installed.
# Usage: run-kerberos.sh WINE PREFIX PROGRAM
set -euo pipefail
wine=$1 prefix=$2 program=$3
for tool in krb5kdc kdb5_util kadmin.local kinit; do
  command -v "$tool" >/dev/null || PATH=$PATH:/usr/sbin
  command -v "$tool" >/dev/null || { echo "$tool is not installed: Kerberos under Wine not run"; exit 77; }
done

realm=QUENTREL.TEST
dir=$(mktemp -d)
kdc=""
cleanup() {
  if [ -n "$kdc" ]; then kill "$kdc" 2>/dev/null || true; wait "$kdc" 2>/dev/null || true; fi
  rm -rf "$dir"
}
trap cleanup EXIT
export KRB5_CONFIG=$dir/krb5.conf KRB5_KDC_PROFILE=$dir/kdc.conf KRB5CCNAME=FILE:$dir/ccache KRB5_KTNAME=FILE:$dir/keytab

write_config() {
  cat >"$dir/krb5.conf" <<CONF
[libdefaults]
  default_realm = $realm
  dns_lookup_kdc = false
  dns_lookup_realm = false
  rdns = false
  dns_canonicalize_hostname = false
  udp_preference_limit = 1
[realms]
  $realm = {
    kdc = 127.0.0.1:$1
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
password="user-$RANDOM$RANDOM"
kadmin.local -q "addprinc -pw $password alice" >/dev/null
kadmin.local -q "addprinc -randkey host/localhost" >/dev/null
kadmin.local -q "ktadd -k $dir/keytab host/localhost" >/dev/null

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
echo "$password" | kinit alice >/dev/null

"$(dirname "$0")/run-under-wine.sh" "$wine" "$prefix" "$program" --kerberos host/localhost
