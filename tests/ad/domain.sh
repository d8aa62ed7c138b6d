# The throwaway Active Directory domain's shell, sourced by with-domain.sh (a domain for one
# command) and shared-domain.sh / in-domain.sh (one domain that a whole ctest run shares): making
# the domain, starting and stopping its DC, and running a command inside it. with-domain.sh's head
# says what the domain holds and which variables a command finds it through.
#   source "$(dirname "$0")/domain.sh"

PATH=$PATH:/usr/sbin:/sbin
domain_here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
source "$domain_here/../harness/env.sh"
domain_realm=SAMDOM.TEST domain_name=SAMDOM domain_dns=samdom.test

# Exits 77 (skipped) when Samba or the Kerberos client tools are not installed.
domain_require_tools() {
  local tool
  for tool in samba samba-tool kinit ip; do
    command -v "$tool" >/dev/null || { echo "$tool is not installed: no domain controller for the test"; exit 77; }
  done
  /usr/bin/python3 -c 'import samba.samdb' 2>/dev/null ||
    { echo "Samba's Python modules are missing: no domain controller"; exit 77; }
}

# AD_TIMES=1 prints how long each step took on standard error.
domain_started=$EPOCHREALTIME
domain_step() {
  [ "${AD_TIMES:-0}" = 1 ] || return 0
  awk -v what="$1" -v from="${domain_started/,/.}" -v now="${EPOCHREALTIME/,/.}" \
    'BEGIN { printf "domain: %s after %.1f s\n", what, now - from }' >&2
}

# domain_netns NAME: makes the network namespace NAME with its loopback up and sets `address` to
# 127.0.0.1; where none can be made, sets `netns` empty and `address` to a random 127.0.0.N of the
# machine's own loopback that no other DC uses.
domain_netns() {
  netns=$1 address=127.0.0.1
  if ip netns add "$netns" 2>/dev/null && ip -n "$netns" link set lo up 2>/dev/null; then
    return 0
  fi
  ip netns delete "$netns" 2>/dev/null || true
  netns="" address=127.0.$((RANDOM % 250 + 1)).$((RANDOM % 250 + 2))
  echo "domain: no network namespace here; the DC listens on $address of the machine's loopback" >&2
}

# domain_provision DIR ADDRESS NETNS: provisions the domain in DIR for a DC at ADDRESS, fills it and
# writes the client's files; exports the variables a command reads and writes them to DIR/env too.
domain_provision() {
  local dir=$1 address=$2 netns=$3 realm=$domain_realm dns=$domain_dns
  mkdir -p "$dir/pid" "$dir/winbindd" "$dir/ncalrpc" "$dir/log"
  chmod 755 "$dir"
  export AD_PASSWORD="Qt-$RANDOM$RANDOM-pw"
  # Folders of the DC's own: a second DC on the machine would otherwise find this one's pid file
  # and sockets, and refuse to start. winbindd is always a service: only a process that is given
  # its socket folder reaches it.
  local options=(
    "pid directory=$dir/pid" "winbindd socket directory=$dir/winbindd"
    "ntp signd socket directory=$dir/ntp_signd" "ncalrpc dir=$dir/ncalrpc" "log file=$dir/log/log.%m"
    "interfaces=$address/8" "bind interfaces only=yes" "server services=rpc ldap cldap kdc dns winbindd"
    # RC4 off for the whole domain, the KDC's own keys too, as Windows Server 2025 and the 2026
    # defaults have it.
    "kdc default domain supported enctypes=24" "kdc supported enctypes=24")
  local provision=(samba-tool domain provision --realm="$realm" --domain="$domain_name" --server-role=dc
                   --dns-backend=SAMBA_INTERNAL --host-name=dc1 --host-ip="$address"
                   --adminpass="$AD_PASSWORD" --targetdir="$dir") option
  for option in "${options[@]}"; do provision+=(--option="$option"); done
  "${provision[@]}" >"$dir/provision.log" 2>&1 ||
    { echo "provisioning the domain failed:"; cat "$dir/provision.log"; exit 1; }
  export AD_SMB_CONF=$dir/etc/smb.conf
  domain_step provisioned
  # Settings provisioning does not write: no TLS key to generate (nothing here binds simply), and
  # winbind's accounts with a shell and no home. No DNS forwarder: provisioning copies the
  # machine's name server, and the DC must ask nobody else.
  sed -i -e '/^\tdns forwarder = /d' -e '/^\[global\]/a\
\ttls enabled = no\
\ttemplate shell = /bin/sh\
\ttemplate homedir = /nonexistent' "$AD_SMB_CONF"
  /usr/bin/python3 "$domain_here/populate.py" "$AD_SMB_CONF" "$AD_PASSWORD" "$dir" "$address" >"$dir/populate.log" 2>&1 ||
    { echo "filling the domain failed:"; cat "$dir/populate.log"; exit 1; }
  domain_step "accounts and keytabs made"
  domain_client_files "$dir" "$address"
  export AD_REALM=$realm AD_DOMAIN=$domain_name AD_DNS_DOMAIN=$dns AD_DIR=$dir AD_NETNS=$netns
  export AD_DC_ADDRESS=$address AD_DC_NAME=dc1.$dns
  export AD_BACKEND_KEYTAB=FILE:$dir/backend.keytab AD_PROXY_KEYTAB=FILE:$dir/proxy.keytab
  export AD_HOSTS=$dir/hosts AD_RESOLV_HOSTS=$dir/resolv-hosts AD_ACCOUNTS=$dir/accounts
  AD_DOMAIN_SID=$(sed -n 's/.*DOMAIN SID: *\(S-[0-9-]*\).*/\1/p' "$dir/provision.log")
  export AD_DOMAIN_SID
  local name
  for name in KRB5_CONFIG KRB5CCNAME KRB5_KTNAME KRB5RCACHEDIR AD_PASSWORD AD_SMB_CONF AD_REALM AD_DOMAIN \
              AD_DNS_DOMAIN AD_DIR AD_NETNS AD_DC_ADDRESS AD_DC_NAME AD_BACKEND_KEYTAB AD_PROXY_KEYTAB AD_HOSTS \
              AD_RESOLV_HOSTS AD_ACCOUNTS AD_DOMAIN_SID; do
    printf 'export %s=%q\n' "$name" "${!name}"
  done >"$dir/env"
}

# The client's side: krb5.conf naming the KDC by address, the hosts and DNS records of the domain,
# and the resolv.conf a command gets.
domain_client_files() {
  local dir=$1 address=$2 realm=$domain_realm dns=$domain_dns service
  harness_export_krb5 "$dir"
  cat >"$KRB5_CONFIG" <<CONF
$(harness_krb5_libdefaults "$realm" "$dir" "forwardable = true" \
  "permitted_enctypes = aes256-cts-hmac-sha1-96 aes128-cts-hmac-sha1-96")
[realms]
  $realm = {
    kdc = $address
    admin_server = $address
    kpasswd_server = $address
  }
[domain_realm]
  localhost = $realm
  .$dns = $realm
  $dns = $realm
CONF
  {
    echo "127.0.0.1 localhost"
    echo "$address dc1.$dns dc1"
    echo "127.0.0.1 web.$dns backend.$dns proxy.$dns"
  } >"$dir/hosts"
  {
    echo "A dc1.$dns $address"
    for service in _ldap._tcp.dc._msdcs _ldap._tcp; do echo "SRV $service.$dns dc1.$dns 389"; done
    for service in _kerberos._tcp _kerberos._udp; do echo "SRV $service.$dns dc1.$dns 88"; done
  } >"$dir/resolv-hosts"
  # No search domain: krb5 would qualify a short host name such as localhost with it.
  printf 'nameserver %s\noptions timeout:1 attempts:2\n' "$address" >"$dir/resolv.conf"
}

# domain_start_dc DIR NETNS [winbind]: starts the DC of DIR in NETNS (or on the machine's loopback
# when NETNS is empty) in a session of its own, so that one signal stops all of it, and waits until
# it gives alice her ticket (into KRB5CCNAME) and, with "winbind", until winbindd answers. The DC
# reads its standard input from DIR/samba.stdin and stops when the last writer closes it: whoever
# owns the DC holds it open. Sets `samba_pid`, also written to DIR/samba.pid.
domain_start_dc() {
  local dir=$1 netns=$2 in_netns=() ready="" password
  [ -n "$netns" ] && in_netns=(ip netns exec "$netns")
  [ -p "$dir/samba.stdin" ] || mkfifo "$dir/samba.stdin"
  # One process for every service: the machine is small and the tests ask little. No descriptor
  # of the caller's is left open in it (a lock, ctest's output pipe).
  setsid "${in_netns[@]}" samba --interactive -M single -s "$dir/etc/smb.conf" -d1 \
    <"$dir/samba.stdin" >>"$dir/log/samba.out" 2>&1 3>&- 4>&- 9>&- &
  samba_pid=$!
  echo "$samba_pid" >"$dir/samba.pid"
  password=$(. "$dir/env" && printf '%s' "$AD_PASSWORD")
  for _ in $(seq 300); do
    kill -0 "$samba_pid" 2>/dev/null || break
    if printf '%s\n' "$password" | "${in_netns[@]}" kinit alice >/dev/null 2>&1; then ready=1; break; fi
    sleep 0.1
  done
  # A DC that found another one on its folder gives up, and the other one answers.
  [ -n "$ready" ] && kill -0 "$samba_pid" 2>/dev/null ||
    { echo "the domain controller did not start:"; cat "$dir/log/samba.out"; return 1; }
  domain_step "the DC gave alice her ticket"
  [ "${3:-}" = winbind ] || return 0
  (
    domain_export_winbind "$dir"
    for _ in $(seq 300); do
      LD_PRELOAD=$AD_NSS_WRAPPER wbinfo -n "$domain_name\\alice" >/dev/null 2>&1 && exit 0
      sleep 0.1
    done
    echo "winbindd did not answer:"; cat "$dir/log/samba.out"; exit 1
  ) || return
  domain_step "winbindd answered"
}

# domain_export_winbind DIR: what a process needs to reach the DC's winbindd through nss_wrapper's
# module mode, without touching the machine's NSS. Exits 77 when the modules are not installed.
domain_export_winbind() {
  local dir=$1
  export WINBINDD_SOCKET_DIR=$dir/winbindd
  export NSS_WRAPPER_PASSWD=$dir/passwd NSS_WRAPPER_GROUP=$dir/group
  export NSS_WRAPPER_MODULE_SO_PATH NSS_WRAPPER_MODULE_FN_PREFIX=winbind AD_NSS_WRAPPER
  # awk reads to the end: leaving early would end ldconfig with SIGPIPE, a failure under pipefail.
  NSS_WRAPPER_MODULE_SO_PATH=$(/sbin/ldconfig -p | awk '$1 == "libnss_winbind.so.2" && !found { print $NF; found = 1 }')
  AD_NSS_WRAPPER=$(/sbin/ldconfig -p | awk '$1 == "libnss_wrapper.so" && !found { print $NF; found = 1 }')
  [ -n "$NSS_WRAPPER_MODULE_SO_PATH" ] && [ -n "$AD_NSS_WRAPPER" ] ||
    { echo "libnss-winbind or libnss-wrapper is not installed: no winbind for the test"; exit 77; }
  # The machine's own accounts first, as NSS would give them, then winbind's.
  [ -f "$NSS_WRAPPER_PASSWD" ] || getent passwd root nobody >"$NSS_WRAPPER_PASSWD"
  [ -f "$NSS_WRAPPER_GROUP" ] || getent group root nogroup >"$NSS_WRAPPER_GROUP"
  # Samba's client libraries take the socket's folder from the environment only inside
  # nss_wrapper (a weak symbol of its own tells them so).
  export SELFTEST_WINBINDD_SOCKET_DIR=$WINBINDD_SOCKET_DIR
}

# Whether process PID runs with FILE as its standard input or named on its command line: a process
# number a stopped run wrote down may since belong to someone else. (The DC's own command line is
# no help: samba rewrites it; its standard input is the domain's pipe.)
domain_runs() {
  local pid=$1 file=$2
  [ -n "$pid" ] && [ -e "/proc/$pid" ] || return 1
  [ "$(readlink "/proc/$pid/fd/0" 2>/dev/null)" = "$file" ] && return 0
  tr '\0' ' ' <"/proc/$pid/cmdline" 2>/dev/null | grep -qF -- "$file"
}

# domain_stop_dc DIR PID: stops the DC (samba, winbindd, the KDC and LDAP workers: its session).
domain_stop_dc() {
  local dir=$1 pid=$2
  domain_runs "$pid" "$dir/samba.stdin" || return 0
  kill -TERM -- "-$pid" 2>/dev/null || kill -TERM "$pid" 2>/dev/null || true
  for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
  kill -KILL -- "-$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
}

# domain_remove DIR NETNS: the namespace with every process still in it, then the folder.
domain_remove() {
  local dir=$1 netns=$2 pid
  if [ -n "$netns" ]; then
    for pid in $(ip netns pids "$netns" 2>/dev/null); do kill -KILL "$pid" 2>/dev/null || true; done
    ip netns delete "$netns" 2>/dev/null || true
  fi
  rm -rf "$dir"
}

# domain_exec DIR NETNS COMMAND...: runs COMMAND in the background inside the domain, with the
# domain's resolv.conf over the machine's in a mount namespace of its own (ip netns exec makes one),
# never in the machine's; standard input stays the caller's. Sets `command_pid`.
domain_exec() {
  local dir=$1 netns=$2 in_domain=()
  shift 2
  if [ -n "$netns" ]; then
    in_domain=(ip netns exec "$netns")
  elif unshare -m --propagation slave true 2>/dev/null; then
    in_domain=(unshare -m --propagation slave)
  fi
  exec 3<&0
  if [ ${#in_domain[@]} -gt 0 ]; then
    # shellcheck disable=SC2016
    "${in_domain[@]}" /bin/sh -c 'mount --bind "$1" /etc/resolv.conf ||
      echo "domain: the command has the machine'"'"'s DNS, not the domain'"'"'s" >&2; shift; exec "$@"' \
      sh "$dir/resolv.conf" "$@" <&3 3<&- 4>&- 9>&- &
  else
    echo "domain: no mount namespace here; the command has the machine's DNS, not the domain's" >&2
    "$@" <&3 3<&- 4>&- 9>&- &
  fi
  command_pid=$!
  exec 3<&-
}
