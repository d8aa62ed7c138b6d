#!/usr/bin/env bash
# Builds the example applications as their users would (the quentrel artifacts installed into the
# local Maven repository first, from this build's natives), then signs domain users on to them in
# a throwaway domain (tests/spring/signon.sh inside tests/ad/with-domain.sh, which has no network).
#   run.sh BUILD JAVA
set -euo pipefail
source=$(cd "$(dirname "$0")/../.." && pwd)
build=$(cd "$1" && pwd) java=$2
apps=$build/spring-apps
rm -rf "$apps"
mkdir -p "$apps"
mvn -B -q -f "$source/maven/pom.xml" "-Dquentrel.build=$build" -DskipTests install
for app in servlet-app webflux-app; do
  mvn -B -q -f "$source/tests/spring/$app/pom.xml" -DskipTests clean package
  cp "$source/tests/spring/$app/target/$app-1.jar" "$apps/$app.jar"
done
exec "$source/tests/ad/with-domain.sh" "$source/tests/spring/signon.sh" "$java" "$build/quentrel.jar" \
  "$apps/servlet-app.jar" "$apps/webflux-app.jar"
