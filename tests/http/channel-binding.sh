#!/usr/bin/env bash
# Channel binding over HTTPS in both server flavours, inside tests/kdc/with-realm.sh (or the test
# domain, whose tickets carry a PAC and are AES only) on the machine's own services: MIT's GSSAPI as a browser's SPNEGO (bound_client.py) binds its token to
# the certificate the server showed, to another certificate (as a token relayed from another TLS
# server would be), or to nothing; and the library's client helper, which binds by itself.
# Then HTTP Basic checked against the KDC, in both flavours: curl's password over HTTPS, a wrong
# one, plain HTTP refused unless allowed, and a fake KDC of another realm of the same name that
# accepts the password it is given, whose ticket our key does not decrypt.
# In the domain, Basic signs alice on with her groups from the PAC.
# Usage: channel-binding.sh JAR TEST_JAR SERVLET_API_JAR
set -euo pipefail
jar=$1 test_jar=$2 servlet_jar=$3
classpath=$jar:$test_jar:$servlet_jar
here=$(cd "$(dirname "$0")" && pwd)
source "$here/../harness/env.sh"
work=$(harness_scratch)
failed=0

basic() {  # basic WHERE USER:PASSWORD -> "STATUS BODY", from the server start_basic started; keeps its cookies
  local scheme=https
  [ "$1" = tls ] || scheme=http
  curl -s -o "$work/body" -w '%{http_code} ' --cacert "$work/server.pem" -c "$work/cookies" -u "$2" "$scheme://localhost:$port/"
  head -n 1 "$work/body"
}

in_session() {  # in_session -> "STATUS BODY" of a request over TLS with only the cookies basic kept
  curl -s -o "$work/body" -w '%{http_code} ' --cacert "$work/server.pem" -b "$work/cookies" "https://localhost:$port/"
  head -n 1 "$work/body"
}

start_basic() {
  log=$work/server-$1-basic-$2.log
  QUENTREL_HTTP_TEST_LOG=1 harness_start_server "$log" '.*listening on port \([0-9]*\).*' \
    java -Xcheck:jni -cp "$classpath" NegotiateHttpTest --serve-basic "$1" "$work/server.p12" changeit "$2"
}

check_logged() {
  if ! grep -q "$2" "$log"; then echo "FAIL $1: no log line saying so"; cat "$log"; failed=1; fi
}

# Inside a second realm QTEST.TEST on a KDC of its own, whose krb5.conf the server now reads, with
# the keytab of the first realm: that KDC takes the password it set, and its ticket is refused.
if [ -n "${QTEST_TRUSTED_KEYTAB:-}" ]; then
  work=$QTEST_CERTIFICATES
  for flavour in jdk tomcat; do
    KRB5_KTNAME=$QTEST_TRUSTED_KEYTAB start_basic "$flavour" tls
    answer=$(basic tls "alice:$QTEST_PASSWORD")
    if [[ $answer == 401* ]]; then echo "ok   $flavour: a fake KDC's ticket is refused"; else
      echo "FAIL $flavour: a fake KDC signed alice on: $answer"; failed=1; fi
    check_logged "$flavour, fake KDC" 'alice could not sign on: .*80090322.*ticket is for HTTP/localhost'
    harness_stop_server
  done
  exit $failed
fi

# This server's certificate and another one, both for localhost; the key store the servers use and
# the trust store the client helper uses.
for name in server other; do
  openssl req -x509 -newkey rsa:2048 -sha256 -nodes -days 1 -subj /CN=localhost -addext subjectAltName=DNS:localhost \
    -keyout "$work/$name.key" -out "$work/$name.pem" 2>/dev/null
done
openssl pkcs12 -export -in "$work/server.pem" -inkey "$work/server.key" -name server -passout pass:changeit \
  -out "$work/server.p12"
keytool -importcert -noprompt -alias server -file "$work/server.pem" -keystore "$work/trust.p12" \
  -storetype PKCS12 -storepass changeit >/dev/null 2>&1

start() {
  log=$work/server-$1-$2.log
  QUENTREL_HTTP_TEST_LOG=1 harness_start_server "$log" '.*listening on port \([0-9]*\).*' \
    java -Xcheck:jni -cp "$classpath" NegotiateHttpTest --serve-tls "$1" "$work/server.p12" changeit "$2"
}

stop() {
  harness_stop_server
  if grep -E -q 'WARNING in native method|WARNING: JNI local refs' "$log"; then echo "FAIL JNI warning:"; cat "$log"; failed=1; fi
}

check() {
  local what=$1 expected=$2 answer=$3
  if [[ $answer == "$expected"* ]]; then echo "ok   $what: $answer"; else echo "FAIL $what: $answer"; failed=1; fi
}

# Each mode: what a client bound to this server's certificate, to another certificate and to
# nothing gets, then the client helper.
for flavour in jdk tomcat; do
  for row in "require 200 401 401" "accept 200 401 200" "none 200 200 200"; do
    read -r mode right other none <<<"$row"
    start "$flavour" "$mode"
    url=https://localhost:$port/
    check "$flavour, $mode: bound to this server's certificate" "$right" \
      "$(/usr/bin/python3 "$here/bound_client.py" "$url" "$work/server.pem" server 2>&1)"
    check "$flavour, $mode: bound to another certificate" "$other" \
      "$(/usr/bin/python3 "$here/bound_client.py" "$url" "$work/server.pem" other "$work/other.pem" 2>&1)"
    check "$flavour, $mode: bound to nothing" "$none" \
      "$(/usr/bin/python3 "$here/bound_client.py" "$url" "$work/server.pem" none 2>&1)"
    check "$flavour, $mode: the client helper" 200 "$(java -Xcheck:jni -Djavax.net.ssl.trustStore="$work/trust.p12" \
      -Djavax.net.ssl.trustStorePassword=changeit -cp "$classpath" NegotiateHttpTest --helper-client "$url" 2>&1)"
    if [ "$mode" != none ] && ! grep -q 'bound to another TLS channel' "$log"; then
      echo "FAIL $flavour, $mode: the refusal was not logged in words"; cat "$log"; failed=1
    fi
    stop
  done
done
# Basic in the domain: the password goes to the domain's KDC, and the groups come from the PAC of
# the ticket it issues for the site.
if [ -n "${AD_REALM:-}" ]; then
  for flavour in jdk tomcat; do
    start_basic "$flavour" tls
    check "$flavour: alice's password in the domain" "200 $AD_DOMAIN\\alice|true|true|" "$(basic tls "alice:$AD_PASSWORD")"
    harness_stop_server
  done
fi
# Basic in the MIT realm, whose second instance plays the fake KDC.
if [ -n "${QTEST_REALM_DIR:-}" ]; then
  for flavour in jdk tomcat; do
    start_basic "$flavour" tls
    challenges=$(curl -s -o /dev/null -D - --cacert "$work/server.pem" "https://localhost:$port/" | grep -i '^www-authenticate' | tr -d '\r')
    if grep -qix 'WWW-Authenticate: Negotiate' <<<"$challenges" && grep -qi 'WWW-Authenticate: Basic realm="' <<<"$challenges"; then
      echo "ok   $flavour: the 401 offers Negotiate and Basic"; else echo "FAIL $flavour: challenges: $challenges"; failed=1; fi
    # The scheme the application sees: the JDK flavour's own word, the servlet API's constant.
    scheme=Basic
    [ "$flavour" = jdk ] || scheme=BASIC
    answer=$(basic tls "alice:$QTEST_PASSWORD")
    check "$flavour: alice's password over HTTPS" '200 QTEST\alice|' "$answer"
    if [[ $answer == *"|$scheme" ]]; then echo "ok   $flavour: the application is told $scheme"; else
      echo "FAIL $flavour: the application is not told Basic: $answer"; failed=1; fi
    answer=$(in_session)
    if [[ $answer == "200 QTEST\alice|"*"|$scheme" ]]; then echo "ok   $flavour: the session keeps Basic: $answer"; else
      echo "FAIL $flavour: the session's scheme: $answer"; failed=1; fi
    check_logged "$flavour, Basic at start" 'with a ticket for HTTP/localhost@QTEST.TEST that'

    check "$flavour: a wrong password" 401 "$(basic tls "alice:not-$QTEST_PASSWORD")"
    check_logged "$flavour, wrong password" 'alice could not sign on: .*8009030c'
    check "$flavour: an unknown user" 401 "$(basic tls "nobody-here:$QTEST_PASSWORD")"
    start_basic "$flavour" plain
    check "$flavour: a password over plain HTTP" 401 "$(basic plain "alice:$QTEST_PASSWORD")"
    check_logged "$flavour, plain HTTP" 'sent over plain HTTP is refused'
    start_basic "$flavour" plain-allowed
    check "$flavour: plain HTTP where the site allows it" '200 QTEST\alice|' "$(basic plain "alice:$QTEST_PASSWORD")"
    harness_stop_server
  done
  QTEST_TRUSTED_KEYTAB=$KRB5_KTNAME QTEST_CERTIFICATES=$work "$here/../kdc/with-realm.sh" "$0" "$@" || failed=1
  if grep -E -l 'WARNING in native method|WARNING: JNI local refs' "$work"/server-*-basic-*.log; then
    echo "FAIL JNI warning with Basic"; failed=1
  fi
fi
[ $failed = 0 ] && echo "PASS"
exit $failed
