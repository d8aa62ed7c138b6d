#!/usr/bin/env bash
# Channel binding over HTTPS in both server flavours, inside tests/kdc/with-realm.sh (or the domain of
# tests/ad/with-domain.sh, whose tickets carry a PAC and are AES only) on the
# machine's own services: MIT's GSSAPI as a browser's SPNEGO (bound_client.py) binds its token to
# the certificate the server showed, to another certificate (as a token relayed from another TLS
# server would be), or to nothing; and the library's client helper, which binds by itself.
# Usage: channel-binding.sh JAR TEST_JAR SERVLET_API_JAR
set -euo pipefail
jar=$1 test_jar=$2 servlet_jar=$3
classpath=$jar:$test_jar:$servlet_jar
here=$(cd "$(dirname "$0")" && pwd)
source "$here/../harness/env.sh"
work=$(harness_scratch)
failed=0

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
[ $failed = 0 ] && echo "PASS"
exit $failed
