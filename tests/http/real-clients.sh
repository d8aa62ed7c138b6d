#!/usr/bin/env bash
# Real clients that nobody here wrote sign on to both server flavours in a Kerberos realm:
# Debian's curl (SPNEGO through GSSAPI) and the JDK's HttpURLConnection (its own SPNEGO through
# JGSS), and this library's own client helper over HttpClient. Runs inside tests/kdc/with-realm.sh, on the machine's own services (the system world).
# Usage: real-clients.sh JAR TEST_JAR SERVLET_API_JAR
set -euo pipefail
jar=$1 test_jar=$2 servlet_jar=$3
classpath=$jar:$test_jar:$servlet_jar
log=$(mktemp)
server=""
cleanup() {
  if [ -n "$server" ]; then kill -TERM "$server" 2>/dev/null || true; wait "$server" 2>/dev/null || true; fi
  rm -f "$log"
}
trap cleanup EXIT
user=$(id -un)
failed=0

start() {
  "$@" >"$log" 2>&1 &
  server=$!
  for _ in $(seq 150); do
    port=$(sed -n 's/.*listening on port \([0-9]*\).*/\1/p' "$log")
    [ -n "$port" ] && return 0
    kill -0 "$server" 2>/dev/null || break
    sleep 0.1
  done
  echo "the server did not start:"; cat "$log"; exit 1
}

stop() {
  kill -TERM "$server"; wait "$server" || true; server=""
}

# The answer must be a success that names the realm user, alice, or the account she maps to, and
# finds her in BUILTIN\Users as every account is: serve says so in JSON, the servlet as the second
# field of its answer.
expect() {
  local what=$1 answer=$2
  if [[ $answer == 200* ]] && [[ $answer == *alice* || $answer == *"$user"* ]] &&
     [[ $answer == *'"BUILTIN\\Users":true'* || $answer == *'|true|'* ]]; then
    echo "ok   $what: $answer"
  else
    echo "FAIL $what: $answer"; failed=1
  fi
}

for flavour in jdk tomcat; do
  if [ $flavour = jdk ]; then
    start java -Xcheck:jni -jar "$jar" serve --port 0 --group 'BUILTIN\Users'
  else
    start java -Xcheck:jni -cp "$classpath" NegotiateHttpTest --serve tomcat Negotiate
  fi
  url=http://localhost:$port/
  body=$(curl --silent --show-error --negotiate -u : --write-out '\n%{http_code}' "$url" 2>&1 || true)
  expect "$flavour server, curl --negotiate" "${body##*$'\n'} ${body%$'\n'*}"
  expect "$flavour server, JDK HttpURLConnection" "$(java -Djava.security.krb5.conf="$KRB5_CONFIG" \
    -Djavax.security.auth.useSubjectCredsOnly=false -cp "$classpath" NegotiateHttpTest --jdk-client "$url" 2>&1)"
  expect "$flavour server, the client helper over HttpClient" \
    "$(java -Xcheck:jni -cp "$classpath" NegotiateHttpTest --helper-client "$url" 2>&1)"
  # Without a ticket nobody signs on: the server answers 401, not 500.
  refused=$(KRB5CCNAME=FILE:/nonexistent curl --silent --negotiate -u : --output /dev/null --write-out '%{http_code}' "$url" || true)
  [ "$refused" = 401 ] && echo "ok   $flavour server, no ticket: 401" || { echo "FAIL $flavour server, no ticket: $refused"; failed=1; }
  stop
  if grep -E -q 'WARNING in native method|WARNING: JNI local refs' "$log"; then echo "FAIL $flavour server printed a JNI warning:"; cat "$log"; failed=1; fi
done
[ $failed = 0 ] && echo "PASS"
exit $failed
