#!/usr/bin/env bash
# Runs the Java tests through Maven against the natives of a CMake build, on the JDK that Maven
# runs on or on another one, and fails on any JNI or native-access warning of their JVMs.
#   run.sh BUILD [JAVA_HOME]
# With a JAVA_HOME of a JDK that can deny native access (24 and later), every test JVM denies it,
# so only a real grant lets the library load. A JAVA_HOME that holds no JDK skips the run (77).
set -euo pipefail
source=$(cd "$(dirname "$0")/../.." && pwd)
build=$(cd "$1" && pwd) java_home=${2:-}
args=(-B -f "$source/maven/pom.xml" "-Dquentrel.build=$build")
if [ -n "$java_home" ]; then
  if [ ! -x "$java_home/bin/java" ]; then
    echo "SKIPPED: no JDK at $java_home, so the tests did not run there"
    exit 77
  fi
  args+=("-Dquentrel.jvm=$java_home/bin/java")
  feature=$("$java_home/bin/java" -XshowSettings:properties -version 2>&1 |
            sed -n 's/^ *java\.specification\.version = //p')
  if [ "${feature:-0}" -ge 24 ]; then
    args+=("-Dquentrel.jvmArgs=--illegal-native-access=deny")
  fi
fi
# The JVM writes its JNI warnings to the native stream, which Surefire keeps in the reports'
# dump files: those of this run only.
reports=$source/maven/quentrel-tests/target/surefire-reports
rm -rf "$reports"
log=$(mktemp)
trap 'rm -f "$log"' EXIT
status=0
mvn "${args[@]}" clean verify >"$log" 2>&1 || status=$?
grep -v '^\[INFO\] Download' "$log"
warnings='WARNING in native method|WARNING: JNI local refs|Warning: Calling other JNI|WARNING: A restricted method|WARNING: Restricted methods'
if grep -rEn "$warnings" "$log" "$reports" 2>/dev/null; then
  echo "FAILED: the JVM warned (above)"
  exit 1
fi
exit $status
