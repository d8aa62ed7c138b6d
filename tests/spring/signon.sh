#!/usr/bin/env bash
# Domain users sign on to the example applications (servlet, then WebFlux) with curl --negotiate:
# the name and authorities a controller sees, method security by group (nested membership
# included), the session that serves the next request with no ticket at all, the login page for a
# client without a ticket, and 401 for a bad token. Then each over TLS with channel binding
# required: a token bound to its certificate, to another one and to none.
# A controller takes the second hop as alice, with the ticket she delegated, to the tool's server
# as the back end.
# Runs inside tests/ad/with-domain.sh. Usage: signon.sh JAVA TOOL.jar APP.jar...
set -euo pipefail
java=$1 tool=$2
shift 2
unset QUENTREL_WORLD
server="" backend="" scratch=$(mktemp -d)
cleanup() {
  for process in $server $backend; do
    kill -TERM "$process" 2>/dev/null || true; wait "$process" 2>/dev/null || true
  done
  rm -rf "$scratch" "$AD_DIR"/ccache-*
}
trap cleanup EXIT
passed=0 failed=0
check() {
  if [ "$1" = ok ]; then passed=$((passed + 1)); echo "ok   $2"; else failed=$((failed + 1)); echo "FAIL $2"; fi
}
sid() { awk -v name="$1" '{ sid = $1; $1 = ""; if (substr($0, 2) == name) print sid }' "$AD_ACCOUNTS"; }
ticket() {
  local cache=FILE:$AD_DIR/ccache-$1
  [ "$1" = alice ] && cache=$KRB5CCNAME
  if [ "$cache" != "$KRB5CCNAME" ] && ! klist -s -c "$cache" 2>/dev/null; then
    echo "$AD_PASSWORD" | KRB5CCNAME=$cache kinit "$1" >/dev/null
  fi
  echo "$cache"
}
# get USER PATH [curl options]: "STATUS BODY" of one request; USER "-" has no ticket.
get() {
  local user=$1 path=$2 cache=FILE:/nonexistent
  shift 2
  [ "$user" = - ] || cache=$(ticket "$user")
  local answer
  answer=$(KRB5CCNAME=$cache curl --silent --show-error "$@" --write-out '\n%{http_code}' \
           "http://localhost:$port$path" 2>&1 || true)
  echo "${answer##*$'\n'} ${answer%$'\n'*}"
}
# expect LABEL STATUS TEXT ANSWER: the answer has the status, and the text in its body.
expect() {
  local label=$1 status=$2 text=$3 got=$4
  [[ $got == "$status "* && $got == *"$text"* ]] && check ok "$app: $label" || check FAIL "$app: $label: $got"
}

# started PID LOG PATTERN: the port the process's own log names, once it does; empty if it ends first.
started() {
  local found=""
  for _ in $(seq 600); do
    found=$(sed -n "s/.*$3 \\([0-9]*\\).*/\\1/p" "$2" | head -n 1)
    [ -n "$found" ] && break
    kill -0 "$1" 2>/dev/null || break
    sleep 0.1
  done
  echo "$found"
}
# The applications' certificate for TLS and another one, both for localhost.
bound_client=$(cd "$(dirname "$0")/../http" && pwd)/bound_client.py
for name in server other; do
  openssl req -x509 -newkey rsa:2048 -sha256 -nodes -days 1 -subj /CN=localhost -addext subjectAltName=DNS:localhost \
    -keyout "$scratch/$name.key" -out "$scratch/$name.pem" 2>/dev/null
done
openssl pkcs12 -export -in "$scratch/server.pem" -inkey "$scratch/server.key" -name server -passout pass:changeit \
  -out "$scratch/server.p12"
: >"$scratch/backend.log"
KRB5_KTNAME=$AD_BACKEND_KEYTAB "$java" -jar "$tool" serve --port 0 >"$scratch/backend.log" 2>&1 &
backend=$!
backend_port=$(started "$backend" "$scratch/backend.log" "listening on port")
[ -n "$backend_port" ] || { echo "the back end did not start:"; cat "$scratch/backend.log"; exit 1; }

for jar in "$@"; do
  app=$(basename "$jar" .jar) log=$scratch/$app.log
  : >"$log"
  "$java" -Xcheck:jni "-Djdk.net.hosts.file=$AD_HOSTS" -jar "$jar" --server.port=0 --server.address=127.0.0.1 \
    >"$log" 2>&1 &
  server=$!
  port=$(started "$server" "$log" " started on port")
  [ -n "$port" ] || { echo "$app did not start:"; cat "$log"; exit 1; }

  # JSON writes a backslash twice.
  alice='"name":"SAMDOM\\alice"' engineers="\"SAMDOM\\\\Engineers\",\"$(sid Engineers)\""
  signed=(--negotiate -u : --cookie-jar "$scratch/$app-alice")
  expect "alice signs on" 200 "$alice,\"resumed\":false" "$(get alice / "${signed[@]}")"
  expect "alice's authorities name Engineers and its SID" 200 "$engineers" "$(get alice / --negotiate -u :)"
  expect "alice, nested in Staff" 200 '"SAMDOM\\Staff"' "$(get alice / --negotiate -u :)"
  answer=$(get alice / --negotiate -u :)
  [[ $answer != *"Domain Admins"* ]] && check ok "$app: alice has no Domain Admins authority" ||
    check FAIL "$app: alice has Domain Admins: $answer"
  # The session alone, with no ticket to offer: the request cannot have signed on.
  expect "alice's session serves with no ticket" 200 "$alice,\"resumed\":true" \
    "$(get - / --cookie "$scratch/$app-alice")"
  for row in "alice /engineers 200" "alice /staff 200" "alice /admins 403" "bob /engineers 403" "bob /staff 200" \
             "bob /admins 403" "dave /admins 200" "dave /engineers 403"; do
    read -r user path status <<<"$row"
    expect "$user $path" "$status" "" "$(get "$user" "$path" --negotiate -u :)"
  done
  expect "bob signs on" 200 '"name":"SAMDOM\\bob"' "$(get bob / --negotiate -u :)"
  expect "alice's second hop reaches the back end as alice" 200 '"name":"SAMDOM\\alice"' \
    "$(get alice "/hop?url=http://backend.samdom.test:$backend_port/" --negotiate --delegation always -u :)"
  expect "no ticket: 401 and the login page" 401 "login" "$(get - / --negotiate -u :)"
  expect "bad token: 401" 401 "" "$(get - / -H 'Authorization: Negotiate YWJjZGVmZ2hpamtsbW5vcA==')"
  if grep -E -q 'WARNING in native method|WARNING: JNI local refs|Warning: Calling other JNI' "$log"; then
    check FAIL "$app printed a JNI warning"; cat "$log"
  fi
  kill -TERM "$server"; wait "$server" || true; server=""

  # Over TLS with quentrel.channel-binding=require: MIT's GSSAPI binds alice's token to the
  # certificate the application showed, to another one (a token relayed from another server) or to
  # nothing; only the first signs on.
  log=$scratch/$app-tls.log
  : >"$log"
  "$java" -Xcheck:jni -jar "$jar" --server.port=0 --server.address=127.0.0.1 \
    --server.ssl.key-store="$scratch/server.p12" --server.ssl.key-store-password=changeit \
    --server.ssl.key-store-type=PKCS12 --quentrel.channel-binding=require \
    --quentrel.channel-binding-certificate="$scratch/server.pem" >"$log" 2>&1 &
  server=$!
  port=$(started "$server" "$log" " started on port")
  [ -n "$port" ] || { echo "$app did not start on TLS:"; cat "$log"; exit 1; }
  for row in "server 200" "other 401" "none 401"; do
    read -r bindings status <<<"$row"
    answer=$(/usr/bin/python3 "$bound_client" "https://localhost:$port/" "$scratch/server.pem" "$bindings" \
             "$scratch/other.pem" 2>&1 || true)
    want='' && [ "$status" = 200 ] && want=$alice
    [[ $answer == "$status "* && $answer == *"$want"* ]] && check ok "$app over TLS, require: bound to $bindings: $status" ||
      check FAIL "$app over TLS, require: bound to $bindings: $answer"
  done
  if grep -E -q 'WARNING in native method|WARNING: JNI local refs|Warning: Calling other JNI' "$log"; then
    check FAIL "$app printed a JNI warning over TLS"; cat "$log"
  fi
  kill -TERM "$server"; wait "$server" || true; server=""
done
echo "$passed passed, $failed failed"
[ "$failed" = 0 ]
