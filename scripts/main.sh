#!/usr/bin/env bash
# The main job: build the library and its jar, show it doing its real work (a Kerberos single
# sign-on over HTTP Negotiate: the tool's server authenticates `curl --negotiate` as a domain or
# realm user), then run the tool's report of what the library sees.
#
# With a configured realm or a joined domain (a ticket in the cache and an HTTP/HOST key in a
# keytab this user can read) those are used, and the report is this host's. Otherwise a
# throwaway Active Directory domain is made for the run (a Samba DC in a network namespace of its
# own, tests/ad/with-domain.sh), and the sign-on and the report happen inside it; where Samba is
# not installed, a throwaway MIT Kerberos realm on loopback (tests/kdc/with-realm.sh) instead.
# Either is removed afterwards.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
build=${QUENTREL_BUILD_DIR:-build}
jar=$build/quentrel.jar
domain_groups=('SAMDOM\Engineers' 'SAMDOM\Staff' 'SAMDOM\Printers' 'SAMDOM\Domain Users' 'BUILTIN\Users'
               'BUILTIN\Administrators')

report() {
  echo
  echo "== What the library sees $1: java -jar $jar doctor"
  java -jar "$jar" doctor
}

echo "== Single sign-on over HTTP Negotiate"
service=$(klist -k 2>/dev/null | awk '$2 ~ /^HTTP\// { print $2; exit }' || true)
if [ -n "$service" ] && klist -s 2>/dev/null; then
  host=${service#HTTP/}
  host=${host%@*}
  echo "-- this machine's realm or domain: the ticket cache's user, the keytab's $service"
  scripts/serve-demo.sh "$jar" "$host" 'BUILTIN\Users' 'BUILTIN\Administrators'
  report "on this host"
  exit 0
fi

if [ -x tests/ad/with-domain.sh ] && PATH=$PATH:/usr/sbin command -v samba >/dev/null; then
  echo "-- no configured realm here: making a throwaway Active Directory domain, SAMDOM.TEST (a Samba"
  echo "   domain controller in a network namespace of its own; the domain user alice with a ticket, in"
  echo "   Engineers, which Staff holds, and in the domain-local Printers; HTTP/localhost in a keytab);"
  echo "   it is removed afterwards"
  status=0
  # shellcheck disable=SC2016
  tests/ad/with-domain.sh bash -c '
    scripts/serve-demo.sh "$0" localhost "$@"
    echo
    echo "== What the library sees in the domain: java -jar $0 doctor"
    java -jar "$0" doctor' "$jar" "${domain_groups[@]}" || status=$?
  [ "$status" = 77 ] || exit "$status"
  echo "-- the domain cannot be made here: a throwaway MIT Kerberos realm instead"
fi

if [ -x tests/kdc/with-realm.sh ]; then
  echo "-- a throwaway realm on loopback (MIT krb5, a KDC of its own, the user alice with a ticket,"
  echo "   mapped to an unprivileged account (this machine's $(id -un) unless that is a system account,"
  echo "   else one the realm gives the run), and HTTP/localhost in a keytab); it is removed afterwards"
  tests/kdc/with-realm.sh scripts/serve-demo.sh "$jar" localhost 'BUILTIN\Users' 'BUILTIN\Administrators'
else
  echo "-- skipped: no configured realm and no throwaway-realm set-up (tests/kdc/with-realm.sh) in this tree"
fi
report "on this host"
