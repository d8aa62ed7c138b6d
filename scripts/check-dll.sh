#!/usr/bin/env bash
# Inspects a cross-built quentrel.dll the way Windows and the JVM will meet it:
#  - its export table holds the JNI names of the native methods declared in java/, and nothing
#    else (no JNI_OnLoad, no runtime symbols); with --all, every one of them;
#  - on x86 those names are plain (the 32-bit JVM finds Java_... after _Java_...@N), and each
#    function is stdcall with as many argument bytes as its Java declaration gives it;
#  - its import table names only system DLLs, so no MinGW runtime DLL has to ship beside it;
#  - its entry point is the C runtime's DLL start-up, which calls our DllMain.
# Usage: check-dll.sh [--all] DLL JAVA_PACKAGE_DIR OBJDUMP NM
set -euo pipefail
require_all=false
if [ "${1:-}" = "--all" ]; then require_all=true; shift; fi
dll=$1 java_dir=$2 objdump=$3 nm=$4
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

headers=$("$objdump" -p "$dll")
symbols=$("$nm" "$dll")
case "$headers" in
  *"file format pei-i386"*) x86=true ;;
  *"file format pei-x86-64"*) x86=false ;;
  *) echo "not a PE DLL this script knows: $dll"; exit 1 ;;
esac

# Every native method: its JNI name and, for x86, the bytes its arguments take on the stack
# (JNIEnv* and the class, then one 4-byte slot per parameter, two for long and double).
declared=$(for source in "$java_dir"/*.java; do
  class=$(basename "$source" .java)
  awk -v class="$class" '
    /^[ \t]*(public|protected|private|static|final|synchronized| )* native [A-Za-z\[\]]+ [A-Za-z0-9_]+ *\(/ {
      if (index($0, ")") == 0) { print "UNREADABLE " FILENAME ": " $0; next }
      head = substr($0, 1, index($0, "(") - 1); n = split(head, words, " "); method = words[n]
      params = substr($0, index($0, "(") + 1); params = substr(params, 1, index(params, ")") - 1)
      slots = 2
      if (params ~ /[^ ]/) {
        count = split(params, list, ",")
        for (i = 1; i <= count; i++) { split(list[i], parts, " "); t = parts[1]; if (t == "") t = parts[2]
          slots += (t == "long" || t == "double") ? 2 : 1 }
      }
      print "Java_com_tarvex_pelk_quentrel_" class "_" method, slots * 4
    }' "$source"
done | sort)
if grep -q '^UNREADABLE' <<<"$declared"; then grep '^UNREADABLE' <<<"$declared"; exit 1; fi
declared_names=$(cut -d' ' -f1 <<<"$declared")

# ---- exports ------------------------------------------------------------------------------------
exported=$(sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' <<<"$headers" | sed -n 's/^\s*\[ *[0-9]*\] //p' | sort)
extra=$(comm -23 <(echo "$exported") <(echo "$declared_names") | grep . || true)
missing=$(comm -13 <(echo "$exported") <(echo "$declared_names") | grep . || true)
duplicates=$(uniq -d <<<"$exported")
[ -z "$extra" ] || fail "exported besides the JNI entry points: $(echo $extra)"
[ -z "$duplicates" ] || fail "exported twice: $(echo $duplicates)"
if [ -n "$missing" ]; then
  if $require_all; then fail "native methods the DLL does not export: $(echo $missing)"
  else echo "not exported yet: $(sed 's/^Java_com_tarvex_pelk_quentrel_//' <<<"$missing" | tr '\n' ' ')"; fi
fi
if grep -q 'JNI_On' <<<"$symbols"; then fail "the DLL defines $(grep -o 'JNI_On[A-Za-z]*' <<<"$symbols" | sort -u | tr '\n' ' ')"; fi
echo "$(grep -c . <<<"$exported") of $(grep -c . <<<"$declared_names") JNI entry points exported"

if $x86; then
  while read -r name bytes; do
    grep -qx "$name" <<<"$exported" || continue
    grep -q " T _${name}@${bytes}\$" <<<"$symbols" ||
      fail "$name is not a stdcall function of $bytes argument bytes: $(grep -o "_${name}@[0-9]*\$" <<<"$symbols" | head -1)"
  done <<<"$declared"
fi

# ---- imports ------------------------------------------------------------------------------------
imports=$(sed -n 's/^\s*DLL Name: //p' <<<"$headers" | tr 'A-Z' 'a-z' | sort -u)
for import in $imports; do
  case "$import" in
    kernel32.dll | advapi32.dll | secur32.dll | authz.dll | shell32.dll | netapi32.dll) ;;
    msvcrt.dll | ucrtbase.dll | api-ms-win-crt-*.dll) ;;
    *) fail "imports $import, which is not a system DLL" ;;
  esac
done
echo "imports: $(echo $imports)"

# ---- entry point --------------------------------------------------------------------------------
if $x86; then startup=_DllMainCRTStartup@12 dllmain=_DllMain@12; else startup=DllMainCRTStartup dllmain=DllMain; fi
base=$(awk '$1 == "ImageBase" {print $2}' <<<"$headers")
entry=$(awk '$1 == "AddressOfEntryPoint" {print $2}' <<<"$headers")
entry_address=$(printf '%x' $((0x$base + 0x$entry)))
entry_symbol=$(awk -v a="$entry_address" '$2 == "T" && ($1 ~ ("^0*" a "$")) {print $3}' <<<"$symbols")
[ "$entry_symbol" = "$startup" ] || fail "the entry point is ${entry_symbol:-an unnamed address} ($entry_address), not $startup"
grep -q " T ${dllmain}\$" <<<"$symbols" || fail "no $dllmain in the DLL"
# The exported start-up jumps to the runtime's inner one, which runs the constructors and DllMain.
startup_code=$("$objdump" -d --disassemble="$startup" "$dll"; "$objdump" -d --disassemble="__${startup%@*}" "$dll")
grep -q "call .*<${dllmain}>" <<<"$startup_code" || fail "the start-up code does not call $dllmain"
echo "entry point: $entry_symbol, which calls $dllmain"

[ "$failures" -eq 0 ] || exit 1
