#!/usr/bin/env bash
# Runs a command inside the domain that shared-domain.sh keeps in DIR, as with-domain.sh runs one in
# a domain of its own: in the DC's network namespace with the domain's resolv.conf, the same
# variables (with AD_WINBIND=1 also winbind's), AD_SAMBA_PID the DC as it runs now.
# Commands take turns. Each starts from the domain as it was made: a DC that an earlier command
# stopped (SIGSTOP) is woken, one that it killed is started again, and the command has a copy of
# alice's ticket cache and a replay cache of its own, so that what it adds to them is gone after.
# A command that changes the domain's accounts must undo that itself or use with-domain.sh.
# Exits 77 (skipped) when the domain was skipped.
# Usage: in-domain.sh DIR COMMAND [ARGUMENT...]
set -euo pipefail
source "$(cd "$(dirname "$0")" && pwd)/domain.sh"
dir=$1
shift
if [ -f "$dir/skipped" ]; then cat "$dir/skipped"; exit 77; fi
[ -f "$dir/env" ] && [ -f "$dir/netns" ] ||
  { echo "in-domain.sh: no domain in $dir: the ctest entry domain-up makes it (shared-domain.sh up $dir)"; exit 1; }
exec 9>"$dir/lock"
flock 9
source "$dir/env"
netns=$(cat "$dir/netns")
samba_pid=$(cat "$dir/samba.pid")
if domain_runs "$samba_pid" "$dir/samba.stdin"; then
  kill -CONT -- "-$samba_pid" 2>/dev/null || true
else
  echo "in-domain.sh: the domain controller had stopped; it starts again" >&2
  # Nothing of the last DC may answer for the new one (winbindd outlives samba for a moment), and
  # its pid files would stop the new one if their numbers are in use again.
  [ -n "$netns" ] && for pid in $(ip netns pids "$netns" 2>/dev/null); do kill -KILL "$pid" 2>/dev/null || true; done
  rm -f "$dir"/pid/*.pid
  domain_start_dc "$dir" "$netns" winbind || exit $?
fi
export AD_SAMBA_PID=$samba_pid

run=$(mktemp -d "$dir/run.XXXXXX")
chmod 755 "$run"
cp -p "$dir/ccache" "$run/ccache"
export KRB5CCNAME=FILE:$run/ccache KRB5RCACHEDIR=$run
[ "${AD_WINBIND:-0}" = 1 ] && domain_export_winbind "$dir"

command_pid=""
stop_command() {
  if [ -n "$command_pid" ]; then
    kill -TERM "$command_pid" 2>/dev/null || true
    wait "$command_pid" 2>/dev/null || true
  fi
  rm -rf "$run"
}
harness_on_exit stop_command
trap 'exit 143' TERM
trap 'exit 130' INT
# In the background, so that a signal to this script reaches the trap at once.
domain_exec "$dir" "$netns" "$@"
status=0
wait "$command_pid" || status=$?
command_pid=""
exit $status
