#!/usr/bin/env bash
# Builds the example applications as their users would (the quentrel artifacts installed into the
# local Maven repository first, from this build's natives), then signs domain users on to them in
# a throwaway domain, which has no network (tests/spring/signon.sh inside the shared domain of
# DOMAIN_DIR, or inside a domain of its own without it).
#   run.sh BUILD JAVA [DOMAIN_DIR]
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
in_domain=("$source/tests/ad/with-domain.sh")
[ -n "${3:-}" ] && in_domain=("$source/tests/ad/in-domain.sh" "$3")
exec "${in_domain[@]}" "$source/tests/spring/signon.sh" "$java" "$build/quentrel.jar" \
  "$apps/servlet-app.jar" "$apps/webflux-app.jar"
