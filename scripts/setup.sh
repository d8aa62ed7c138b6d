#!/usr/bin/env bash
# Installs what the build and the tests need on a fresh Debian machine, then configures the build.
# Packages already present are left alone, so a second run costs nothing.
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(cmake g++ make openjdk-17-jdk-headless libgtest-dev libbenchmark-dev libssl-dev binutils)
# The Java artifacts and their tests: Maven (which downloads its plugins and the test libraries).
packages+=(maven)
# The system world's registry store.
packages+=(libsqlite3-dev)
# The Windows DLL: MinGW-w64 cross compilers, and Wine to run its test program.
packages+=(g++-mingw-w64-x86-64 g++-mingw-w64-i686 wine64)
# A throwaway Kerberos realm for the tests, and MIT's GSSAPI from Python as a peer in them.
packages+=(krb5-kdc krb5-admin-server krb5-user python3-gssapi)
# The system world: MIT's GSSAPI and krb5 (and NTLM for GSSAPI), and the cwrap libraries that its
# tests preload (accounts, DNS and identity of the tests' own).
packages+=(pkg-config libkrb5-dev gss-ntlmssp libnss-wrapper libresolv-wrapper libuid-wrapper)
# Single sign-on: the servlet container the filter is tested in (with the annotation API its
# start-up reads, which Debian packs apart), the real HTTP client and browser that sign on, and the
# JNA peer of the benchmark.
packages+=(libtomcat10-embed-java libjakarta-annotation-api-java curl chromium libjna-java)
# The fuzz targets: clang with libFuzzer and its sanitizer runtimes (gcc's come with g++).
packages+=(clang libclang-rt-14-dev)
# Active Directory: a throwaway Samba domain controller and its winbind for the tests (run in a
# network namespace: iproute2), and the client libraries the library uses in a domain.
packages+=(samba samba-dsdb-modules winbind libnss-winbind libwbclient-dev libldap-dev
           libsasl2-modules-gssapi-mit ldap-utils iproute2)
# The system world's LDAP client of a domain's controllers: libldap's and Cyrus SASL's headers
# (both libraries are loaded at run time).
packages+=(libsasl2-dev)
missing=()
for package in "${packages[@]}"; do
  dpkg -s "$package" >/dev/null 2>&1 || missing+=("$package")
done
if [ ${#missing[@]} -gt 0 ]; then
  sudo=""; [ "$(id -u)" -ne 0 ] && sudo=sudo
  # The packages must leave the machine as it was: Samba's and winbind's services are not
  # started (invoke-rc.d asks policy-rc.d, and 101 says no), and libnss-winbind's install, which
  # adds winbind to the machine's name service, is undone. Both are put back however the install
  # ends.
  policy=/usr/sbin/policy-rc.d nsswitch=/etc/nsswitch.conf
  made_policy="" saved=$(mktemp)
  had_nsswitch=""
  if [ -e "$nsswitch" ]; then $sudo cp -p "$nsswitch" "$saved"; had_nsswitch=1; fi
  restore() {
    if [ -n "$had_nsswitch" ]; then
      cmp -s "$saved" "$nsswitch" || $sudo cp -p "$saved" "$nsswitch"
    elif [ -e "$nsswitch" ]; then
      $sudo rm -f "$nsswitch"
    fi
    if [ -n "$made_policy" ]; then $sudo rm -f "$policy"; fi
    $sudo rm -f "$saved"
  }
  trap restore EXIT
  if [ ! -e "$policy" ]; then
    printf '#!/bin/sh\n# Made by quentrel scripts/setup.sh while it installs packages.\nexit 101\n' |
      $sudo tee "$policy" >/dev/null
    $sudo chmod 755 "$policy"
    made_policy=1
  fi
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
  restore
  trap - EXIT
fi

build=${QUENTREL_BUILD_DIR:-build}
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j"$(nproc)"
# The Java artifacts with this build's natives, into the local Maven repository, so a project on
# this machine resolves com.tarvex.pelk:quentrel and the rest. Their tests run with the suite.
mvn -B -q -f maven/pom.xml "-Dquentrel.build=$(cd "$build" && pwd)" -DskipTests install
