#!/usr/bin/env bash
# Installs what the build and the tests need on a fresh Debian machine, then configures the build.
# Packages already present are left alone, so a second run costs nothing.
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(cmake g++ make openjdk-17-jdk-headless libgtest-dev libbenchmark-dev libssl-dev binutils)
# The system world's registry store.
packages+=(libsqlite3-dev)
# The Windows DLL: MinGW-w64 cross compilers, and Wine to run its test program.
packages+=(g++-mingw-w64-x86-64 g++-mingw-w64-i686 wine64)
# A throwaway Kerberos realm for the tests, and MIT's GSSAPI from Python as a peer in them.
packages+=(krb5-kdc krb5-admin-server krb5-user python3-gssapi)
# The system world: MIT's GSSAPI and krb5 (and NTLM for GSSAPI), and the cwrap libraries that its
# tests preload (accounts, DNS and identity of the tests' own).
packages+=(pkg-config libkrb5-dev gss-ntlmssp libnss-wrapper libresolv-wrapper libuid-wrapper)
# Single sign-on: the servlet container the filter is tested in, the real HTTP client that signs
# on, and the JNA peer of the benchmark.
packages+=(libtomcat10-embed-java curl libjna-java)
# The fuzz targets: clang with libFuzzer and its sanitizer runtimes (gcc's come with g++).
packages+=(clang libclang-rt-14-dev)
missing=()
for package in "${packages[@]}"; do
  dpkg -s "$package" >/dev/null 2>&1 || missing+=("$package")
done
if [ ${#missing[@]} -gt 0 ]; then
  sudo=""; [ "$(id -u)" -ne 0 ] && sudo=sudo
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
fi

build=${QUENTREL_BUILD_DIR:-build}
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j"$(nproc)"
