#!/usr/bin/env bash
# The README's examples as a reader takes them: every fenced block is cut out of the README; the
# Java ones are compiled and started by the README's own command lines, on the simulated host;
# the web.xml is deployed with the servlet in a WAR. A client signs on to each server, and the
# page it gets must greet the user by name; a client without credentials must get a page too.
# Usage: readme-examples.sh README JAR TEST_JAR SIMULATED_DIR
set -euo pipefail
readme=$(realpath "$1") jar=$(realpath "$2") test_jar=$(realpath "$3") simulated=$(realpath "$4")
tomcat_jars=/usr/share/java/tomcat10-embed-core.jar:/usr/share/java/jakarta-annotation-api.jar
work=$(mktemp -d)
server=""
# The server's group is signalled, and the server itself in case it has not yet made its group.
cleanup() {
  if [ -n "$server" ]; then
    kill -TERM -- "-$server" 2>/dev/null || kill -TERM "$server" 2>/dev/null || true
    wait "$server" 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT
failed=0

# Fenced blocks go to files (a Java block under its public class's name, the XML one as
# web.xml); indented blocks become numbered shell scripts; the two commands are only listed.
python3 - "$readme" "$work" <<'PY'
import glob, os, re, sys
text = open(sys.argv[1]).read()
out = sys.argv[2]
for lang, body in re.findall(r'^```(\w+)\n(.*?)^```$', text, re.M | re.S):
    if lang == 'java':
        name = re.search(r'public class (\w+)', body).group(1)
        open(f'{out}/{name}.java', 'w').write(body)
    elif lang == 'xml' and '<web-app' in body:
        open(f'{out}/web.xml', 'w').write(body)
    elif lang == 'xml' and '<dependency>' in body:
        # A dependency must name an artifact the repository's Maven build makes, at its version.
        coordinates = [re.search(f'<{tag}>([^<]*)</{tag}>', body).group(1) for tag in ('groupId', 'artifactId', 'version')]
        poms = glob.glob(os.path.join(os.path.dirname(sys.argv[1]), 'maven', '*', 'pom.xml'))
        made = any(all(f'>{c}<' in open(pom).read() for c in coordinates) for pom in poms)
        print(('ok   ' if made else 'FAIL ') + 'the dependency ' + ':'.join(coordinates) + ' is built here')
    else:
        sys.exit(f'a {lang} block that no test takes')
text = re.sub(r'^```.*?^```$', '', text, flags=re.M | re.S)
n = 0
for block in re.findall(r'(?:^\n)((?:^    \S.*\n)+)', text, re.M):
    n += 1
    open(f'{out}/block{n}.sh', 'w').write(''.join(l[4:] + '\n' for l in block.splitlines()))
PY

say() { if [ "$1" = ok ]; then echo "ok   $2"; else echo "FAIL $2"; failed=1; fi; }

# Starts a command in its own process group with a log of its own, fresh for this server, and
# waits for the port it prints.
start() {
  local log=$work/server-$RANDOM$RANDOM.log
  # Made before the server starts: the first look for its port must not find no file (under
  # `set -e` a failed look would end the script while the server lives on).
  : >"$log"
  setsid "$@" >"$log" 2>&1 &
  server=$!
  for _ in $(seq 1200); do  # two minutes: a JVM under -Xcheck:jni starts slowly on a busy machine
    port=$(sed -n 's/.*listening on port \([0-9]*\).*/\1/p' "$log")
    [ -n "$port" ] && return 0
    kill -0 "$server" 2>/dev/null || break
    sleep 0.1
  done
  echo "FAIL the server did not start: $*"; cat "$log"; exit 1
}

# Stops the server; a JNI warning in its log fails the run, as -Xcheck:jni cannot make it fatal.
stop() {
  kill -TERM -- "-$server" 2>/dev/null || kill -TERM "$server" 2>/dev/null || true
  for _ in $(seq 100); do kill -0 "$server" 2>/dev/null || break; sleep 0.1; done
  kill -KILL -- "-$server" 2>/dev/null || kill -KILL "$server" 2>/dev/null || true
  wait "$server" 2>/dev/null || true; server=""
  if grep -h -e 'WARNING in native method' -e 'WARNING: JNI local refs' -e 'Warning: Calling other JNI' "$work"/server-*.log; then
    say FAIL "JNI warnings"
  fi
  rm -f "$work"/server-*.log
}

# Signs on with the library's own client and looks at the page (the simulated host's user, by
# name, and the README's group, which that user is not in); then asks without credentials.
visit() {
  local what=$1 answer page
  answer=$(env -u JAVA_TOOL_OPTIONS timeout 120 java -Djava.library.path="$simulated" -cp "$jar:$test_jar:$tomcat_jars" \
    NegotiateHttpTest --helper-client "http://localhost:$port/" 2>&1 || true)
  [[ $answer =~ ^"200 <p>Hello "[A-Za-z0-9_.-]+"; an engineer: false</p>" && $answer != *"Hello null"* ]] &&
    say ok "$what greets the user: $answer" || say FAIL "$what greets the user: $answer"
  page=$(curl --silent --max-time 60 --write-out '%{http_code}' "http://localhost:$port/" || true)
  [[ $page == *"<h1>Sign-on needed</h1>"*401 ]] && say ok "$what: a client without a ticket gets a 401 page" ||
    say FAIL "$what: a client without a ticket gets a 401 page: $page"
}

cd "$work"
cp "$jar" quentrel.jar
export JAVA_TOOL_OPTIONS="-Xcheck:jni -Djava.library.path=$simulated -Dport=0"
for script in block*.sh; do
  if grep -q '^scripts/' "$script"; then
    # The two commands: present and executable at the top of the repository.
    for command in $(cat "$script"); do
      [ -x "$(dirname "$readme")/$command" ] && say ok "$command is there" || say FAIL "$command is missing"
    done
    continue
  fi
  start bash "$script"
  visit "$(tail -1 "$script" | sed 's/.*java .* \([A-Za-z]*\)$/\1/')"
  stop
done
unset JAVA_TOOL_OPTIONS

# The WAR: web.xml and the servlet's class, the library on the container's class path.
mkdir -p war/WEB-INF/classes
cp web.xml war/WEB-INF/
cp Hello.class war/WEB-INF/classes/
start java -Xcheck:jni -Djava.library.path="$simulated" -cp "$jar:$test_jar:$tomcat_jars" NegotiateHttpTest --war war
visit "the WAR's web.xml"
stop

[ $failed = 0 ] && echo PASS
exit $failed
