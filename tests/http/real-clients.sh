#!/usr/bin/env bash
# Real clients that nobody here wrote sign on to both server flavours in a Kerberos realm:
# Debian's curl (SPNEGO through GSSAPI) and the JDK's HttpURLConnection (its own SPNEGO through
# JGSS), and this library's own client helper over HttpClient. Runs inside tests/kdc/with-realm.sh, on the machine's own services (the system world).
# Last, a token written in the simulated host's format, which the shipped jar must refuse.
# Usage: real-clients.sh JAR TEST_JAR SERVLET_API_JAR SIMULATED_DIR
set -euo pipefail
jar=$1 test_jar=$2 servlet_jar=$3 simulated=$4
classpath=$jar:$test_jar:$servlet_jar
source "$(cd "$(dirname "$0")" && pwd)/../harness/env.sh"
log=$(harness_scratch)/server.log
skewed=$(harness_scratch)/skewed-ccache
user=$(id -un)
failed=0

start() {
  harness_start_server "$log" '.*listening on port \([0-9]*\).*' "$@"
}

stop() {
  harness_stop_server
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
    QUENTREL_HTTP_TEST_LOG=1 start java -Xcheck:jni -cp "$classpath" NegotiateHttpTest --serve tomcat Negotiate
  fi
  url=http://localhost:$port/
  body=$(curl --silent --show-error --negotiate -u : --write-out '\n%{http_code}' "$url" 2>&1 || true)
  expect "$flavour server, curl --negotiate" "${body##*$'\n'} ${body%$'\n'*}"
  expect "$flavour server, JDK HttpURLConnection" "$(java -Djava.security.krb5.conf="$KRB5_CONFIG" \
    -Djavax.security.auth.useSubjectCredsOnly=false -cp "$classpath" NegotiateHttpTest --jdk-client "$url" 2>&1)"
  expect "$flavour server, the client helper over HttpClient" \
    "$(java -Xcheck:jni -cp "$classpath" NegotiateHttpTest --helper-client "$url" 2>&1)"
  # One sign-on serves the session: curl signs on and keeps the session cookie, then a curl with
  # the cookie and without Negotiate is still alice.
  cookies=$(mktemp)
  curl --silent --negotiate -u : --cookie-jar "$cookies" --output /dev/null "$url" || true
  body=$(curl --silent --show-error --cookie "$cookies" --write-out '\n%{http_code}' "$url" 2>&1 || true)
  rm -f "$cookies"
  expect "$flavour server, curl with the session cookie alone" "${body##*$'\n'} ${body%$'\n'*}"
  # A session ends with the client's ticket, an hour's lifetime notwithstanding: signed on with a
  # ticket of 12 seconds, the cookie serves until the ticket ends and no longer.
  short=$(mktemp) cookies=$(mktemp)
  echo "$QTEST_PASSWORD" | KRB5CCNAME=FILE:$short kinit -l 12s alice >/dev/null
  ends=$(( $(date +%s) + 12 ))
  KRB5CCNAME=FILE:$short curl --silent --negotiate -u : --cookie-jar "$cookies" --output /dev/null "$url" || true
  during=$(curl --silent --cookie "$cookies" --output /dev/null --write-out '%{http_code}' "$url" || true)
  sleep $(( ends - $(date +%s) + 2 ))
  after=$(curl --silent --cookie "$cookies" --output /dev/null --write-out '%{http_code}' "$url" || true)
  rm -f "$short" "$cookies"
  if [ "$during" = 200 ] && [ "$after" = 401 ]; then
    echo "ok   $flavour server, a session ends with its 12-second ticket: $during, then $after"
  else
    echo "FAIL $flavour server, a session and its 12-second ticket: $during while the ticket lasts, $after after"; failed=1
  fi
  # SPNEGO first tokens that name Kerberos but carry no Kerberos token each make the server wait
  # for a second leg; one address past its bound loses only its own oldest.
  init=$(printf '\x60\x1b\x06\x06\x2b\x06\x01\x05\x05\x02\xa0\x11\x30\x0f\xa0\x0d\x30\x0b\x06\x09\x2a\x86\x48\x86\xf7\x12\x01\x02\x02' | base64 -w0)
  waiting=0
  for _ in $(seq 34); do
    answer=$(curl --silent --include --output - -H "Authorization: Negotiate $init" "$url" | tr -d '\r' | grep -i '^www-authenticate: Negotiate .' || true)
    [ -n "$answer" ] && waiting=$((waiting + 1))
  done
  # The server may write its line after it has answered: give it a moment under load.
  for _ in $(seq 50); do
    dropped=$(grep -c 'exchanges waiting; its oldest' "$log" || true)
    [ "$dropped" -ge 2 ] && break
    sleep 0.1
  done
  if [ "$waiting" = 34 ] && [ "$dropped" = 2 ]; then
    echo "ok   $flavour server, 34 SPNEGO first legs without a Kerberos token: each waits, the address keeps 32"
  else
    echo "FAIL $flavour server, SPNEGO first legs without a Kerberos token: $waiting of 34 waited, $dropped dropped"; failed=1
  fi
  body=$(curl --silent --show-error --negotiate -u : --write-out '\n%{http_code}' "$url" 2>&1 || true)
  expect "$flavour server, curl --negotiate after them" "${body##*$'\n'} ${body%$'\n'*}"
  # Without a ticket nobody signs on: the server answers 401, not 500.
  refused=$(KRB5CCNAME=FILE:/nonexistent curl --silent --negotiate -u : --output /dev/null --write-out '%{http_code}' "$url" || true)
  [ "$refused" = 401 ] && echo "ok   $flavour server, no ticket: 401" || { echo "FAIL $flavour server, no ticket: $refused"; failed=1; }
  # A ticket for a key version the keytab lacks, and a client whose clock is an hour off: both
  # refused, and the server's log says in words which ticket, which keytab, and that clocks differ.
  stale=$(java -cp "$classpath" NegotiateHttpTest --token-client "$url" HTTP/stale 2>&1 || true)
  /usr/bin/python3 "$(dirname "$0")/../system/gss_peer.py" skew "${KRB5CCNAME#FILE:}" "$skewed" 3600
  skew=$(KRB5CCNAME=FILE:$skewed java -cp "$classpath" NegotiateHttpTest --token-client "$url" HTTP/localhost 2>&1 || true)
  for _ in $(seq 50); do grep -q 'SEC_E_TIME_SKEW' "$log" && break; sleep 0.1; done
  if [ "$stale $skew" = "401 401" ] && grep -q 'SEC_E_TIME_SKEW: the client.s clock' "$log" &&
     grep -q "ticket is for HTTP/stale@QTEST.TEST kvno [0-9]*, which the keytab /[^ ]* does not hold (it holds" "$log"; then
    echo "ok   $flavour server, a stale keytab and a skewed clock are logged in words"
  else
    echo "FAIL $flavour server, a stale keytab ($stale) and a skewed clock ($skew) in words:"; grep -i 'negotiate' "$log"; failed=1
  fi
  stop
  if grep -E -q 'WARNING in native method|WARNING: JNI local refs' "$log"; then echo "FAIL $flavour server printed a JNI warning:"; cat "$log"; failed=1; fi
done

# A server without its keytab says so in its first lines, naming the file.
start env KRB5_KTNAME=FILE:/nonexistent/http.keytab java -jar "$jar" serve --port 0
if grep -q 'cannot accept sign-ons with Negotiate: Platform error: 8009030e (SEC_E_NO_CREDENTIALS.*; the keytab /nonexistent/http.keytab cannot be used: it does not exist' "$log"; then
  echo "ok   a server without its keytab names it at start"
else
  echo "FAIL a server without its keytab names it at start:"; cat "$log"; failed=1
fi
stop

# The simulated host takes the client's name from the client's own token, so a hand-written one
# signs on as anybody. The jar's library runs on this machine's services whatever the environment
# says, and refuses it; the same token on the simulated host (the test build of the library) is
# let in as WINHOST\Administrator, which shows it is a token the test double takes.
token='Kerberos:AP-REQ user=WINHOST\Administrator round=1 flags=0x00000000 key=00112233'
forged="Authorization: Negotiate $(printf '%s' "$token" | base64 -w0)"
for host in jar simulated; do
  serve=(serve --port 0 --package Kerberos --group 'BUILTIN\Administrators')
  if [ $host = jar ]; then
    start env QUENTREL_WORLD=simulated java -Xcheck:jni -jar "$jar" "${serve[@]}"
  else
    start java -Xcheck:jni -Djava.library.path="$simulated" -jar "$jar" "${serve[@]}"
  fi
  answer=$(curl --silent --header "$forged" --write-out '\n%{http_code}' "http://localhost:$port/" || true)
  answer="${answer##*$'\n'} ${answer%$'\n'*}"
  if [ $host = jar ] && [[ $answer == 401* ]]; then
    echo "ok   a forged token, the jar with QUENTREL_WORLD=simulated: $answer"
  elif [ $host = simulated ] && [[ $answer == 200* ]] && [[ $answer == *'"BUILTIN\\Administrators":true'* ]]; then
    echo "ok   a forged token, the simulated host: $answer"
  else
    echo "FAIL a forged token, $host: $answer"; failed=1
  fi
  stop
done
[ $failed = 0 ] && echo "PASS"
exit $failed
