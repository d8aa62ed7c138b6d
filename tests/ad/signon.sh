#!/usr/bin/env bash
# Domain users sign on over HTTP Negotiate: `java -jar JAR serve` authenticates Debian's curl for
# each user of the table below, with a ticket from the domain's KDC, and its JSON answer must
# hold every expected text of that user's rows. Without a ticket the server answers 401. An
# acceptor of MIT's GSSAPI finds an authenticated PAC in alice's ticket. The tool's doctor
# reports the domain. Then alice's ticket with its PAC rewritten and signed again with the
# service's key (REWRITE, tests/ad/pac_rewrite.cpp), as a trusted domain's KDC would write it or
# anyone with the keytab could: what the server makes of each.
# Headless Chromium, from a profile prepared as docs/browsers.md tells users, signs on as alice to
# that server and to the servlet filter on Tomcat, and the page it renders shows her name.
# Runs inside tests/ad/with-domain.sh. Usage: signon.sh JAR REWRITE [HTTP_TEST_JAR SERVLET_API_JAR]
set -euo pipefail
jar=$1 rewrite=$2 test_jar=${3:-} servlet_jar=${4:-}
unset QUENTREL_WORLD
source "$(cd "$(dirname "$0")" && pwd)/../harness/env.sh"
log=$(harness_scratch)/server.log
harness_on_exit sh -c 'rm -rf "$1"/ccache-* "$1"/chromium-*' - "$AD_DIR"
passed=0 failed=0
check() {
  if [ "$1" = ok ]; then passed=$((passed + 1)); echo "ok   $2"; else failed=$((failed + 1)); echo "FAIL $2"; fi
}

groups=('SAMDOM\Engineers' 'SAMDOM\Staff' 'SAMDOM\Printers' 'SAMDOM\Domain Admins' 'BUILTIN\Users'
        'BUILTIN\Administrators')
arguments=()
for group in "${groups[@]}"; do arguments+=(--group "$group"); done
QUENTREL_TRACE=1 harness_start_server "$log" '.*listening on port \([0-9]*\).*' \
  java -Xcheck:jni -jar "$jar" serve --port 0 "${arguments[@]}"

sid() { awk -v name="$1" '{ sid = $1; $1 = ""; if (substr($0, 2) == name) print sid }' "$AD_ACCOUNTS"; }
# USER, then a text its answer holds (JSON: a backslash is written twice; {sid:NAME} stands for
# the domain SID of the account or group NAME). As the library learns more of the domain, add
# rows: alice "sid":"{sid:alice}", alice "SAMDOM\\Staff":true. The built-in aliases come from the
# ticket's PAC: Users through Domain Users, Administrators through Domain Admins.
while read -r user want; do
  [ -n "$user" ] || continue
  while [[ $want =~ \{sid:([^}]*)\} ]]; do want=${want//"${BASH_REMATCH[0]}"/$(sid "${BASH_REMATCH[1]}")}; done
  cache=FILE:$AD_DIR/ccache-$user
  [ "$user" = alice ] && cache=$KRB5CCNAME
  if [ "$cache" != "$KRB5CCNAME" ] && ! klist -s -c "$cache" 2>/dev/null; then
    echo "$AD_PASSWORD" | KRB5CCNAME=$cache kinit "$user" >/dev/null
  fi
  answer=$(KRB5CCNAME=$cache curl --silent --show-error --negotiate -u : --write-out '\n%{http_code}' \
           "http://localhost:$port/" 2>&1 || true)
  status=${answer##*$'\n'} body=${answer%$'\n'*}
  if [ "$status" = 200 ] && [[ $body == *"$want"* ]]; then check ok "$user: $want"; else
    check FAIL "$user: $want: HTTP $status $body"; fi
done <<'TABLE'
alice "name":"SAMDOM\\alice"
alice "package":"Negotiate"
alice "BUILTIN\\Users":true
alice "BUILTIN\\Administrators":false
carol "BUILTIN\\Users":true
dave  "BUILTIN\\Administrators":true
bob   "name":"SAMDOM\\bob"
carol "name":"SAMDOM\\carol"
dave  "name":"SAMDOM\\dave"
TABLE

# Chromium as users run it on Linux: the site in its allow list, a profile of its own that has met
# a Negotiate challenge once (Chromium loads GSSAPI only after that), then the page as alice.
browse() {
  timeout 90 chromium --headless --no-sandbox --disable-gpu --disable-quic --no-first-run \
    --disable-background-networking --disable-component-update --disable-sync --user-data-dir="$1" \
    --auth-server-allowlist='*.samdom.test' --dump-dom "$2" 2>/dev/null || true
}
chromium_signs_on() {
  local what=$1 url=$2 want=$3 profile page
  profile=$(mktemp -d "$AD_DIR/chromium-XXXXXX")
  browse "$profile" "$url" >/dev/null
  page=$(browse "$profile" "$url")
  [[ $page == *"$want"* ]] && check ok "Chromium renders alice's name, $what" ||
    check FAIL "Chromium renders alice's name, $what: $page"
}
if command -v chromium >/dev/null; then
  chromium_signs_on "the JDK server" "http://web.samdom.test:$port/" '"name":"SAMDOM\\alice"'
fi

# USER's answer with a rewritten PAC: the changes (pac_rewrite's), then the texts the answer holds,
# separated by " | ". alice's cache holds her ticket for the server from the table above.
# PARTNER stands for a trusted domain of another realm (S-1-5-21-111-222-333).
partner="domain=PARTNER domain-sid=S-1-5-21-111-222-333"
while IFS='|' read -r changes wants; do
  [ -n "$changes" ] || continue
  eval "set -- ${changes//"{home}"/$AD_DOMAIN_SID}"
  cache=FILE:$AD_DIR/ccache-rewritten
  if ! "$rewrite" "$KRB5CCNAME" "$cache" "$KRB5_KTNAME" "$@" >/dev/null; then
    check FAIL "rewriting alice's PAC: $changes"; continue
  fi
  answer=$(KRB5CCNAME=$cache curl --silent --show-error --negotiate -u : --write-out '\n%{http_code}' \
           "http://localhost:$port/" 2>&1 || true)
  status=${answer##*$'\n'} body=${answer%$'\n'*}
  IFS='|' read -r -a texts <<<"$wants"
  for want in "${texts[@]}"; do
    want=${want# } want=${want% }
    if [ "$status" = 200 ] && [[ $body == *"$want"* ]]; then check ok "rewritten ($changes): $want"; else
      check FAIL "rewritten ($changes): $want: HTTP $status $body"; fi
  done
done <<TABLE
$partner group=512 | "name":"PARTNER\\\\alice" | "BUILTIN\\\\Administrators":false | "BUILTIN\\\\Users":false
client-realm=PARTNER.TEST $partner group=512 extra-sid={home}-512 | "name":"PARTNER\\\\alice" | "BUILTIN\\\\Administrators":false
client-realm=PARTNER.TEST domain=samdom.test | "name":"alice@PARTNER.TEST" | "BUILTIN\\\\Users":false
client-realm=PARTNER.TEST | "name":"alice@PARTNER.TEST" | "SAMDOM\\\\Engineers":false
client-realm=PARTNER.TEST domain=PARTNER | "name":"PARTNER\\\\alice" | "sid":null | "BUILTIN\\\\Users":false
name=dave | "name":"SAMDOM\\\\alice" | "BUILTIN\\\\Administrators":false
TABLE
# The server's trace says which of the PAC's signatures it checked, and which it cannot.
want="signatures present: server, KDC, ticket, full PAC; checked here: server (with the service's key)"
grep -q "$want" "$log" && check ok "traced: $want" || check FAIL "not traced: $want"
for refusal in "its domain name is no NetBIOS name" "its account name is not the ticket's client" \
               "claims this computer's domain's SID"; do
  grep -q "$refusal" "$log" && check ok "refusal traced: $refusal" || check FAIL "refusal not traced: $refusal"
done

refused=$(KRB5CCNAME=FILE:/nonexistent curl --silent --negotiate -u : --output /dev/null --write-out '%{http_code}' \
          "http://localhost:$port/" || true)
[ "$refused" = 401 ] && check ok "no ticket: 401" || check FAIL "no ticket: $refused"
harness_stop_server

if [ -n "$test_jar" ] && command -v chromium >/dev/null; then
  harness_start_server "$log" '.*listening on port \([0-9]*\).*' \
    java -Xcheck:jni -cp "$jar:$test_jar:$servlet_jar" NegotiateHttpTest --serve tomcat Negotiate
  chromium_signs_on "the servlet filter on Tomcat" "http://web.samdom.test:$port/" 'SAMDOM\alice|true|'
  harness_stop_server
fi

# The doctor names the domain, the controller that answered, the keytab's principals and which of
# the PAC's signatures a member server can check.
report=$(java -Xcheck:jni -jar "$jar" doctor 2>&1 || true)
for want in "check code: 0 NERR_Success" "domain: samdom.test" \
            "controller: dc1.samdom.test answered an LDAP read of its rootDSE on port 389" \
            "keytab principal: HTTP/localhost@SAMDOM.TEST (kvno 3 aes256-cts-hmac-sha1-96, kvno 3 aes128" \
            "established client name: SAMDOM\alice" "client token: from its ticket's verified PAC" \
            "directory lookups: SASL GSSAPI with a security layer" \
            "service account of HTTP/localhost@SAMDOM.TEST: websvc, kvno " \
            ", msDS-SupportedEncryptionTypes 0x18 (AES128, AES256)" \
            "signatures present: server, KDC, ticket, full PAC" "checked here: the server's signature, with the" \
            "not checked here: the KDC's, the ticket and the full PAC signatures are keyed with the domain's krbtgt"; do
  [[ $report == *"$want"* ]] && check ok "doctor: $want" || check FAIL "doctor: $want: $report"
done
[[ $report != *"warning: "*"has no AES key"* ]] && check ok "doctor: no warning for the AES keytab" ||
  check FAIL "doctor warns of the AES keytab: $report"
# A keytab made long ago, of RC4 keys alone, which a domain without RC4 issues no ticket for.
old_keytab=$(mktemp -u)
printf 'addent -password -p HTTP/legacy@SAMDOM.TEST -k 2 -e arcfour-hmac\nlegacy-password\nwkt %s\nq\n' "$old_keytab" |
  ktutil >/dev/null 2>&1
report=$(KRB5_KTNAME=FILE:$old_keytab java -Xcheck:jni -jar "$jar" doctor 2>&1 || true)
rm -f "$old_keytab"
want="warning: HTTP/legacy@SAMDOM.TEST has no AES key (kvno 2 arcfour-hmac (RC4))"
[[ $report == *"$want"* ]] && check ok "doctor: $want" || check FAIL "doctor: $want: $report"

# What the library's acceptor has to go on: MIT's GSSAPI gives it the ticket's PAC, authenticated.
pacs=$(mktemp -d)
dump=$(/usr/bin/python3 "$(dirname "$0")/pac_dump.py" "$pacs" alice 2>&1 || true)
rm -rf "$pacs"
[[ $dump == *"urn:mspac:logon-info: "*" bytes, authenticated True"* ]] && check ok "alice's PAC, authenticated" ||
  check FAIL "alice's PAC: $dump"
# The directory against the keytab: a password set again after the keytab was exported (the same
# password: new key version, the same keys), then an account that allows RC4 alone. Each change
# is undone, the keytab given the new key version, so the domain stays as the other tests expect.
account() { /usr/bin/python3 "$(dirname "$0")/account.py" "$AD_SMB_CONF" websvc "$@"; }
# The domain may be shared with other tests, which may have run this already: the newest kvno.
kvno=$(klist -k "$KRB5_KTNAME" | awk '$2 == "websvc@SAMDOM.TEST" && $1 > max { max = $1 } END { print max }')
account password "$AD_PASSWORD-websvc"
report=$(java -Xcheck:jni -jar "$jar" doctor 2>&1 || true)
for principal in HTTP/localhost HTTP/web.samdom.test websvc; do
  want="warning: the keytab's newest key of $principal@SAMDOM.TEST is kvno $kvno, but the directory's websvc is at"
  want+=" kvno $((kvno + 1))"
  [[ $report == *"$want"* ]] && check ok "doctor: $want" || check FAIL "doctor: $want: $report"
done
account export "$KRB5_KTNAME" HTTP/localhost HTTP/web.samdom.test websvc >/dev/null
account set msDS-SupportedEncryptionTypes 4
report=$(java -Xcheck:jni -jar "$jar" doctor 2>&1 || true)
account set msDS-SupportedEncryptionTypes 24
want="warning: websvc allows no AES (msDS-SupportedEncryptionTypes 0x4 (RC4))"
[[ $report == *"$want"* ]] && check ok "doctor: $want" || check FAIL "doctor: $want: $report"
[[ $report != *", but the directory's websvc is at kvno"* ]] && check ok "doctor: the keytab exported anew is not stale" ||
  check FAIL "doctor: the keytab exported anew is stale: $report"
# No controller to ask: the doctor says so and goes on.
report=$(QUENTREL_LDAP_SERVERS=127.0.0.1:1 java -Xcheck:jni -jar "$jar" doctor 2>&1 || true)
want="warning: the service account was not read: no controller answered an authenticated LDAP read: 127.0.0.1:1"
[[ $report == *"$want"* ]] && check ok "doctor: $want" || check FAIL "doctor: $want: $report"

if grep -E -q 'WARNING in native method|WARNING: JNI local refs' "$log"; then
  check FAIL "the server printed a JNI warning"; cat "$log"
fi
echo "$passed passed, $failed failed"
[ "$failed" = 0 ]
