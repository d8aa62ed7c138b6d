#!/usr/bin/env bash
# The domain of with-domain.sh, made once and shared by the entries of a ctest run (in-domain.sh
# runs each entry's command inside it). The domain lives in DIR and its DC in the network
# namespace named after DIR's last component, both removed by "down".
#   up DIR     removes what a run killed outright left in DIR, then provisions the domain and
#              starts its DC (winbindd with it). The DC outlives this script and stops by itself
#              when the process that ran "up" (ctest) ends, so a run killed outright leaves no DC
#              behind either. Exits 77, and leaves DIR/skipped saying why, where Samba is missing.
#   down DIR   stops the DC and removes the namespace and DIR.
# AD_TIMES=1 prints how long each step took on standard error.
# Usage: shared-domain.sh up|down DIR
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
source "$here/domain.sh"
verb=$1 dir=$2
netns=$(basename "$dir")

# The watcher holds the DC's standard input open while the owner runs, then takes the domain down.
watch() {
  local owner=$1
  exec 4<>"$dir/samba.stdin"
  while kill -0 "$owner" 2>/dev/null; do sleep 1; done
  exec 4>&-
  "$here/shared-domain.sh" down "$dir"
}

down() {
  local watcher owner
  watcher=$(cat "$dir/watcher.pid" 2>/dev/null || true)
  owner=$(cat "$dir/owner" 2>/dev/null || true)
  # A run still going on this build tree keeps its domain: taking it down would fail that run.
  if [ -n "$owner" ] && [ "$owner" != "$PPID" ] && kill -0 "$owner" 2>/dev/null && domain_runs "$watcher" "$dir"; then
    echo "shared-domain.sh: the domain in $dir serves another run (process $owner), which is still going"
    exit 1
  fi
  # The watcher's command line names the folder: a number left by an earlier boot is not killed.
  if domain_runs "$watcher" "$dir" && [ "$watcher" != "$PPID" ]; then kill -TERM "$watcher" 2>/dev/null || true; fi
  domain_stop_dc "$dir" "$(cat "$dir/samba.pid" 2>/dev/null || true)"
  domain_remove "$dir" "$(ip netns list 2>/dev/null | awk -v name="$netns" '$1 == name { print $1 }')"
}

up() {
  down
  mkdir -p "$dir"
  (domain_require_tools) >"$dir/skipped" || { status=$?; cat "$dir/skipped"; exit $status; }
  rm "$dir/skipped"
  trap 'echo "shared-domain.sh: the command on line $LINENO failed" >&2' ERR
  domain_netns "$netns"
  echo "$netns" >"$dir/netns"
  echo "$PPID" >"$dir/owner"
  domain_provision "$dir" "$address" "$netns"
  mkfifo "$dir/samba.stdin"
  # Detached from this script's descriptors: ctest waits for its output pipe to close.
  setsid "$here/shared-domain.sh" watch "$dir" "$PPID" </dev/null >/dev/null 2>&1 &
  echo $! >"$dir/watcher.pid"
  domain_start_dc "$dir" "$netns" winbind || { status=$?; down; exit $status; }
  echo "the domain $AD_REALM is up in $dir${netns:+ (network namespace $netns)}"
}

case $verb in
  up) up ;;
  down) down ;;
  watch) watch "$3" ;;
  *) echo "shared-domain.sh: up or down, not $verb" >&2; exit 2 ;;
esac
