#!/usr/bin/env bash
# The library's Windows DLL under Wine and the Linux library as peers, inside the throwaway Active
# Directory domain of tests/ad/with-domain.sh: a Java program on the Linux library (the system
# world, with the service's keytab) signs alice on through the DLL under Wine (Wine's Kerberos
# package with her ticket from the same DC), and the other way round, then passes messages (see
# tests/system/KerberosPeers.java, "wine"). The Java side comes from the Linux build. The Linux
# side's administrators' group is the domain's Staff, which alice is in only through Engineers:
# her membership of BUILTIN\Administrators shows that the nesting the DC resolved into her PAC
# reached the server's token of her.
# Exits 77 (skipped) when Samba is not installed or the Linux build is not there.
# Usage: run-domain.sh WINE PREFIX PROGRAM LINUX_BUILD
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
wine=$1 prefix=$2 program=$3 linux=$4
if [ -z "${AD_ACCOUNTS:-}" ]; then
  for file in quentrel.jar quentrel-kerberos-peers.jar lib/libquentrel.so; do
    [ -f "$linux/$file" ] || { echo "$linux/$file is missing: build the Linux library's tests first"; exit 77; }
  done
  exec "$here/../ad/with-domain.sh" "$0" "$@"
fi
QUENTREL_DOMAIN_ADMIN_GROUPS=$(awk '$2 == "Staff" && NF == 2 { print $1 }' "$AD_ACCOUNTS")
export QUENTREL_DOMAIN_ADMIN_GROUPS
java=${JAVA_HOME:+$JAVA_HOME/bin/}java
exec "$java" -Xcheck:jni -Djava.library.path="$linux/lib" -cp "$linux/quentrel.jar:$linux/quentrel-kerberos-peers.jar" \
  KerberosPeers wine "$here/run-under-wine.sh" "$wine" "$prefix" "$program"
