#!/usr/bin/env bash
# Checks what quentrel.jar carries: the tool, the native library of this platform with the list
# the package reads (the stand-in host first, extracted before the library that needs it), and the
# Windows DLLs of the MinGW-w64 builds beside the sources when those exist. The natives are the
# shipped ones: the library exports its JNI entry points alone, the host only Windows functions
# (no control function, nothing of the simulated host), and neither looks outside its own folder.
set -euo pipefail
jar_tool=$1 jar=$2 platform=$3 source=$4
native=com/tarvex/pelk/quentrel/native
listing=$("$jar_tool" tf "$jar")
need() {
  grep -qx "$1" <<<"$listing" || { echo "missing from $jar: $1"; exit 1; }
}
need com/tarvex/pelk/quentrel/tool/Main.class
need "$native/$platform/files"
need "$native/$platform/libwinhost.so"
need "$native/$platform/libquentrel.so"
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
manifest=$(cd "$scratch" && "$jar_tool" xf "$jar" META-INF/MANIFEST.MF && tr -d '\r' <META-INF/MANIFEST.MF)
grep -qx 'Enable-Native-Access: ALL-UNNAMED' <<<"$manifest" ||
  { echo "the tool is not granted native access by its manifest:"; echo "$manifest"; exit 1; }
files=$(cd "$scratch" && "$jar_tool" xf "$jar" "$native/$platform/files" && cat "$native/$platform/files")
if [ "$files" != $'libwinhost.so\nlibquentrel.so' ]; then
  echo "the list of $platform is not the stand-in host, then the library:"; echo "$files"; exit 1
fi
(cd "$scratch" && "$jar_tool" xf "$jar" "$native/$platform/libwinhost.so" "$native/$platform/libquentrel.so")
"$source/scripts/check-exports.sh" "$scratch/$native/$platform/libquentrel.so"
"$source/scripts/check-exports.sh" "$scratch/$native/$platform/libwinhost.so" "$source/winapi/include"
packed=0
for build in "windows-x86_64=${QUENTREL_WIN64_BUILD_DIR:-build-win64}" "windows-x86=${QUENTREL_WIN32_BUILD_DIR:-build-win32}"; do
  folder=${build#*=}
  [[ $folder = /* ]] || folder=$source/$folder
  if [ -f "$folder/quentrel.dll" ]; then
    need "$native/${build%%=*}/quentrel.dll"
    need "$native/${build%%=*}/files"
    packed=$((packed + 1))
  fi
done
echo "quentrel.jar carries the $platform library and $packed Windows DLL(s)"
