# The throwaway environments' shell, sourced by the test scripts: one cleanup trap for everything
# a script starts or makes, the servers they start and wait for, and the Kerberos client settings
# every throwaway realm and domain shares.
#   source "$(dirname "$0")/../harness/env.sh"

harness_exit_actions=()
harness_server=""

# Runs COMMAND... when the script exits, however it ends; the last registered runs first.
harness_on_exit() {
  harness_exit_actions+=("$(printf '%q ' "$@")")
}

harness_cleanup() {
  harness_stop_server
  local i
  for ((i = ${#harness_exit_actions[@]} - 1; i >= 0; i--)); do eval "${harness_exit_actions[i]}" || true; done
}
trap harness_cleanup EXIT

# A scratch folder of the script's own, removed on exit.
harness_scratch() {
  local folder
  folder=$(mktemp -d)
  harness_on_exit rm -rf "$folder"
  echo "$folder"
}

# harness_start_server LOG PATTERN COMMAND...: starts COMMAND in the background with its output in
# LOG, and waits up to a minute for a line of LOG to match PATTERN, a sed expression whose first
# group is the port. Sets `server` (its process) and `port`. LOG is emptied before the server
# starts: a line a previous server left there is never taken for this one's.
harness_start_server() {
  local log=$1 pattern=$2
  shift 2
  harness_stop_server
  : >"$log"
  "$@" >"$log" 2>&1 &
  harness_server=$!
  server=$harness_server port=""
  for _ in $(seq 1200); do
    port=$(sed -n "s/$pattern/\\1/p" "$log" | head -n 1)
    [ -n "$port" ] && return 0
    kill -0 "$harness_server" 2>/dev/null || break
    sleep 0.1
  done
  echo "the server did not start:"; cat "$log"; exit 1
}

# Stops the server harness_start_server started, if it runs.
harness_stop_server() {
  if [ -n "$harness_server" ]; then
    kill -TERM "$harness_server" 2>/dev/null || true
    wait "$harness_server" 2>/dev/null || true
  fi
  harness_server="" server=""
}

# The client side of a throwaway realm: krb5's files in DIR, the variables that point at them.
harness_export_krb5() {
  export KRB5_CONFIG=$1/krb5.conf KRB5CCNAME=FILE:$1/ccache KRB5_KTNAME=FILE:$1/keytab KRB5RCACHEDIR=$1
}

# harness_krb5_libdefaults REALM DIR [LINE...]: krb5.conf's [libdefaults] for a realm reached by
# address only (no DNS, no reverse lookups, TCP), its keytab in DIR, then each LINE.
harness_krb5_libdefaults() {
  local realm=$1 dir=$2
  shift 2
  printf '[libdefaults]\n  default_realm = %s\n  default_keytab_name = FILE:%s/keytab\n' "$realm" "$dir"
  printf '  %s\n' "dns_lookup_kdc = false" "dns_lookup_realm = false" "rdns = false" \
    "dns_canonicalize_hostname = false" "udp_preference_limit = 1" "$@"
}
