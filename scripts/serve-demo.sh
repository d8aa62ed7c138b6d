#!/usr/bin/env bash
# Single sign-on over HTTP, for real: starts `java -jar JAR serve` on a free port, signs on to it
# with `curl --negotiate -u :` as the Kerberos user of the ticket cache, prints what the server
# answered and its log, and stops the server. The server takes its key from the keytab that
# KRB5_KTNAME (or the krb5 configuration) names, and accepts tickets for HTTP/HOST alone (--spn),
# whatever else the keytab holds; HOST must be the host of that principal.
# Usage: serve-demo.sh JAR HOST [GROUP...]
set -euo pipefail
jar=$1 host=$2
shift 2
groups=()
for group in "$@"; do groups+=(--group "$group"); done
log=$(mktemp)
server=""
cleanup() {
  if [ -n "$server" ]; then kill -TERM "$server" 2>/dev/null || true; wait "$server" 2>/dev/null || true; fi
  rm -f "$log"
}
trap cleanup EXIT

echo "-- starting the server: java -jar $jar serve --port 0 --spn HTTP/$host ${groups[*]}"
java -jar "$jar" serve --port 0 --spn "HTTP/$host" "${groups[@]}" >"$log" 2>&1 &
server=$!
for _ in $(seq 1200); do  # two minutes, for a busy machine
  grep -q 'listening on port' "$log" && break
  kill -0 "$server" 2>/dev/null || { echo "the server did not start:"; cat "$log"; exit 1; }
  sleep 0.1
done
port=$(sed -n 's/.*listening on port \([0-9]*\).*/\1/p' "$log")
[ -n "$port" ] || { echo "the server did not say its port:"; cat "$log"; exit 1; }
echo "-- the client's Kerberos ticket (klist):"
klist 2>&1 | sed 's/^/     /'
echo "-- signing on: curl --negotiate -u : http://$host:$port/"
answer=$(curl --silent --show-error --negotiate -u : --write-out '\n%{http_code}' "http://$host:$port/")
status=${answer##*$'\n'}
echo "-- the server answered HTTP $status:"
echo "${answer%$'\n'*}" | sed '/^$/d; s/^/     /'
echo "-- stopping the server (SIGTERM; Ctrl-C in a terminal does the same)"
kill -TERM "$server"
wait "$server" || true
server=""
echo "-- the server's log:"
sed 's/^/     /' "$log"
[ "$status" = 200 ]
