#!/usr/bin/env bash
# The checks of quentrel.dll must fail a DLL that has the faults of faulty_dll.cpp, each for its
# own reason. Usage: check-dll-catches.sh CHECK-DLL FAULTY-DLL JAVA_PACKAGE_DIR OBJDUMP NM
set -uo pipefail
checker=$1 dll=$2
shift 2
output=$("$checker" --all "$dll" "$@")
status=$?
echo "$output"
missing=0
expect() { grep -q -- "$1" <<<"$output" || { echo "MISSING: a failure for $2"; missing=1; }; }
[ "$status" -ne 0 ] || { echo "MISSING: the check passed a faulty DLL"; missing=1; }
expect "FAIL: exported besides the JNI entry points:.*JNI_OnLoad" "an exported JNI_OnLoad"
expect "FAIL: exported besides the JNI entry points:.*SSPI_Helper" "a name no native method bears"
expect "FAIL: native methods the DLL does not export" "missing entry points"
expect "FAIL: the DLL defines JNI_OnLoad" "a JNI_OnLoad defined"
expect "FAIL: imports libstdc++-6.dll" "the C++ runtime as a DLL"
if grep -q "pei-i386" <<<"$("${@: -2:1}" -f "$dll")"; then
  expect "FAIL: Java_com_tarvex_pelk_quentrel_SSPI_FreeHandle is not a stdcall function of 12 argument bytes" "a wrong stdcall size"
fi
exit $missing
