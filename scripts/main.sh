#!/usr/bin/env bash
# The main job: build the library and its jar, show it doing its real work (a Kerberos single
# sign-on over HTTP Negotiate: the tool's server authenticates `curl --negotiate` as a realm
# user), then run the tool's report of what the library sees on this host.
#
# With a configured realm (a ticket in the cache and an HTTP/HOST key in a keytab this user can
# read) those are used; otherwise a throwaway realm on loopback is made for the run and removed.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
build=${QUENTREL_BUILD_DIR:-build}
jar=$build/quentrel.jar

echo "== Single sign-on over HTTP Negotiate"
service=$(klist -k 2>/dev/null | awk '$2 ~ /^HTTP\// { print $2; exit }' || true)
if [ -n "$service" ] && klist -s 2>/dev/null; then
  host=${service#HTTP/}
  host=${host%@*}
  echo "-- this machine's realm: the ticket cache's user, the keytab's $service"
  scripts/serve-demo.sh "$jar" "$host" 'BUILTIN\Users' 'BUILTIN\Administrators'
elif [ -x tests/kdc/with-realm.sh ]; then
  echo "-- no configured realm here: making a throwaway one on loopback (MIT krb5, a KDC of its own,"
  echo "   the user alice with a ticket, mapped to an unprivileged account (this machine's $(id -un)"
  echo "   unless that is a system account, else one the realm gives the run), and HTTP/localhost in a"
  echo "   keytab); it is removed afterwards"
  tests/kdc/with-realm.sh scripts/serve-demo.sh "$jar" localhost 'BUILTIN\Users' 'BUILTIN\Administrators'
else
  echo "-- skipped: no configured realm and no throwaway-realm set-up (tests/kdc/with-realm.sh) in this tree"
fi

echo
echo "== What the library sees on this host: java -jar $jar doctor"
java -jar "$jar" doctor
