#!/usr/bin/env bash
# Demonstrates agent.exe under Wine in a freshly laid-out sample agent home: the banner, "run" ended by
# "stop", "start" and "stop" with the log file, and the Windows service commands through Wine's service
# manager. Each step shows what the program handed to the Java side and the log lines that matter.
#
#   scripts/demo.sh            set up the machine, build agent.exe and the stand-in Java runtime, run
#   scripts/demo.sh --fast     use the existing build as it is; compact output (the test suite runs this)
#   scripts/demo.sh --keep     leave the sample home in place afterwards, to look around in it
#   scripts/demo.sh --home DIR lay the sample home out in DIR (default: build/demo/agent home)
#   scripts/demo.sh --arch A   run the x86 (PE32) or the x64 build; by default x86 where 32-bit Wine
#                              runs, x64 elsewhere
#
# The Java side is played by a stand-in runtime built with the tests (a jvm.dll and a java.exe); it
# writes down everything it was given in var\stub-jvm.record, which is what the steps below print.
set -euo pipefail
source "$(dirname "$0")/lib.sh"

fast=0
keep=0
home=""
arch="${AGENT_ARCH:-}"
while [ $# -gt 0 ]; do
  case "$1" in
    --fast) fast=1 ;;
    --keep) keep=1 ;;
    --home) home="$2"; shift ;;
    --arch) arch="$2"; shift ;;
    *) echo "usage: scripts/demo.sh [--fast] [--keep] [--home DIR] [--arch x86|x64]" >&2; exit 2 ;;
  esac
  shift
done
case "$arch" in
  ""|x86|x64) ;;
  *) echo "demo: unknown architecture '$arch' (x86, x64)" >&2; exit 2 ;;
esac
# Wine is installed by the set-up: only then can the probe for 32-bit Wine answer.
[ "$fast" = 1 ] || "$root/scripts/setup.sh"
if [ -z "$arch" ]; then
  if x86_wine_runs; then arch=x86; else arch=x64; fi
fi
case "$arch" in
  x86) arch_text="x86 build (PE32, the shipped program) under 32-bit Wine" ;;
  x64) arch_text="x64 build (PE32+) under 64-bit Wine" ;;
esac
build="$(build_dir "$arch")"
home="${home:-$build_root/demo/agent home}"

if [ "$fast" = 0 ]; then
  echo "Building agent.exe and the stand-in Java runtime ($arch) ..."
  build_arch "$arch" agent stub_jvm stub_java >/dev/null
fi
echo "Demonstration of the $arch_text"

wine_run="${WINE_RUN:-$build/wine-run}"
agent_source="${AGENT_EXE:-$build/src/agent.exe}"
jvm_source="${STUB_JVM_DLL:-$build/tests/support/stub_jvm/jvm.dll}"
java_source="${STUB_JAVA_EXE:-$build/tests/support/stub_jvm/java.exe}"
for f in "$wine_run" "$agent_source" "$jvm_source" "$java_source"; do
  [ -e "$f" ] || { echo "demo: $f is missing; run scripts/demo.sh without --fast to build it" >&2; exit 1; }
done

# The program reads these; the demonstration sets only what each step names.
unset QUENDA_SERVICE_LOGGING_LEVEL QUENDA_SERVICE_LOG_PER_PID UPGRADE_SET_AGENT_HOME UPGRADE_PARENT_HANDLE \
      UPGRADE_JAVA_OPTS TESTJVM_JAVA_HOME JAVA_DEBUG_OPTS QUENDA_CHECK_JNI

bound=60            # no wait of this script lasts longer (seconds)
exe="$home/bin/agent.exe"
record="$home/var/stub-jvm.record"
# Scratch files live beside the home. TMPDIR is left alone: Wine keeps its server's socket under it,
# and a Wine program that sees another TMPDIR starts a second server, with a service manager of its own.
mkdir -p "$(dirname "$home")"
scratch="$(mktemp -d "$(dirname "$home")/demo-scratch.XXXXXX")"
run_pid=""
started_background=0
service_installed=0
failed=1

winpath() { printf 'Z:%s' "$(printf '%s' "$1" | sed 's|/|\\|g')"; }

agent() {  # runs agent.exe with the given arguments; output to $scratch/out, exit code to $rc
  set +e
  timeout -k 5 "$bound" "$wine_run" "$exe" "$@" </dev/null >"$scratch/out" 2>&1
  rc=$?
  set -e
}

# Everything the sample home's agents and service were doing is undone, whatever state the run is in.
cleanup() {
  local status=$?
  # Every wait below is bounded; a second interrupt must not leave a service behind.
  trap - EXIT
  trap '' INT TERM
  if [ -n "$run_pid" ] && kill -0 "$run_pid" 2>/dev/null; then
    agent stop || true
    for _ in $(seq 50); do kill -0 "$run_pid" 2>/dev/null || break; sleep 0.1; done
    kill "$run_pid" 2>/dev/null || true
  fi
  if [ "$started_background" = 1 ]; then
    agent stop || true
    for _ in $(seq 100); do record_has destroy && break; sleep 0.1; done
  fi
  if [ "$service_installed" = 1 ]; then
    echo "Cleaning up: removing the sample home's service"
    agent uninstall-service || true
  fi
  if [ "$keep" = 0 ]; then
    rm -rf "$home"
  else
    echo "The sample agent home stays in: $home"
  fi
  rm -rf "$scratch"
  # The demonstration owns the Wine server only when it built things itself; under the test suite the
  # server is shared with the other tests.
  if [ "$fast" = 0 ]; then WINEPREFIX="$build/wineprefix" wineserver -k 2>/dev/null || true; fi
  if [ "$failed" = 1 ] && [ "$status" = 0 ]; then status=1; fi
  exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# ---- output helpers ------------------------------------------------------------------------------

heading() { printf '\n==== %s ====\n' "$*"; }
say() { printf '%s\n' "$*" | fold -s -w 100; }
show_command() { printf '\n$ agent.exe%s\n' "${*:+ $*}"; }
show_output() { sed 's/\r$//; s/^/    /' "$scratch/out"; echo "    (exit code $rc)"; }
expect_rc() { [ "$rc" = "$1" ] || fail "exit code $rc, expected $1"; }
fail() { echo "DEMO FAILED: $*" >&2; exit 1; }

# The record of the last process that started the stand-in runtime (processes are separated by ---).
last_block() { [ -f "$record" ] && awk '/^---$/ { block = ""; next } { sub(/\r$/, ""); block = block $0 "\n" } END { printf "%s", block }' "$record"; }
record_has() { grep -q "^$1" <<<"$(last_block)"; }

wait_for() {  # wait_for DESCRIPTION SECONDS COMMAND...: polls until COMMAND succeeds
  local what="$1" limit="$2"
  shift 2
  local deadline=$((SECONDS + limit))
  until "$@"; do
    [ "$SECONDS" -lt "$deadline" ] || fail "timed out after ${limit}s waiting for $what"
    sleep 0.1
  done
}

# What agent.exe handed to the Java side, as the stand-in runtime recorded it; each JVM option is
# labelled with where it came from.
show_java_side() {
  local block conf
  block="$(last_block)"
  conf="$(sed 's/\r$//; s/^[[:space:]]*//; s/[[:space:]]*$//' "$home/conf/agent/javaopts.conf" | grep -v '^$' || true)"
  echo "  What the Java side was given (from var\\stub-jvm.record):"
  echo "    JVM options, in order:"
  printf '%s\n' "$block" | awk -v conf="$conf" '
    BEGIN { n = split(conf, lines, "\n"); for (i = 1; i <= n; i++) from_conf[lines[i]] = 1 }
    /^option=/ {
      option = substr($0, 8); count++
      if (count <= 7) where = "always"
      else if (option in from_conf) where = "javaopts.conf"
      else if (option ~ /^-Dtestjvm\./) where = "self-test"
      else if (option == "-DteskLogToConsole=y") where = "console modes run and _testjvm"
      else if (option == "-Xrs") where = "background modes start and _service"
      else if (option ~ /^-Djava\.class\.path=/) where = "class path"
      else if (option == "exit") where = "exit hook of the service host"
      else where = "debugging options"
      printf "      %-78s [%s]\n", option, where
    }'
  printf '%s\n' "$block" | sed -n 's/^classpath=/    class path:        /p'
  printf '%s\n' "$block" | sed -n 's/^cwd=/    working directory: /p'
  echo "    environment:"
  printf '%s\n' "$block" | sed -n 's/^env\./      /p'
  printf '%s\n' "$block" | sed -n 's/^main\.class=/    main class:        /p'
  printf '%s\n' "$block" | sed -n 's/^hook\.exit=/    exit hook:         /p'
  printf '%s\n' "$block" | sed -n 's/^pid=/    process id:        /p'
}

show_log() {  # show_log LABEL FILE [PATTERN]: the file's lines (those matching PATTERN), indented
  local label="$1" file="$2" pattern="${3:-}"
  echo "  $label:"
  if [ -n "$pattern" ]; then
    sed 's/\r$//' "$file" | grep -E "$pattern" | sed 's/^/    /' || true
  else
    sed 's/\r$//; s/^/    /' "$file"
  fi
}

# ---- the sample agent home -----------------------------------------------------------------------

# A home left by an interrupted earlier run is taken down first, its service included.
if [ -f "$exe" ]; then
  agent uninstall-service || true
  agent stop || true
fi
rm -rf "$home"
mkdir -p "$home/bin" "$home/conf/agent" "$home/lib" "$home/var/log" "$home/var/temp"
cp "$agent_source" "$exe"
java_home="$home/java"
mkdir -p "$java_home/bin/server"
cp "$jvm_source" "$java_home/bin/server/jvm.dll"
cp "$java_source" "$java_home/bin/java.exe"
printf '%s\r\n' "$(winpath "$java_home")" >"$home/conf/agent/javahome.conf"
# A real installation lists the agent's own options here. The -Dstub. lines steer the stand-in
# runtime: like the real agent it runs until the shutdown marker var\shutdown appears.
printf '%s\r\n' "-Xmx256m" "-Dagent.region=demo" "-Dstub.main=wait-shutdown" "-Dstub.poll.ms=50" \
  "-Dstub.env=DEMO_GREETING,DEMO_SITE" >"$home/conf/agent/javaopts.conf"
printf '%s\r\n' "@echo off" "rem Site settings of this agent; agent.exe loads them before Java starts." \
  "set DEMO_GREETING=hello from set_env.cmd" "set DEMO_SITE=%COMPUTERNAME%" >"$home/bin/set_env.cmd"

heading "The sample agent home"
say "Agent home: $home (Windows programs see it as $(winpath "$home"))"
(cd "$home" && find . -type f | sort | sed 's|^\./|    |')
for f in conf/agent/javahome.conf conf/agent/javaopts.conf bin/set_env.cmd; do
  echo "  $f:"
  sed 's/\r$//; s/^/    | /' "$home/$f"
done
say "java\\ stands in for a $([ "$arch" = x64 ] && echo 64 || echo 32)-bit Java runtime (bin\\server\\jvm.dll, bin\\java.exe). The -Dstub. lines of javaopts.conf steer it: like the real agent it runs until var\\shutdown appears, and it writes down what it was given in var\\stub-jvm.record. A real installation lists only the agent's own options there."

# ---- 1. the banner ---------------------------------------------------------------------------------

heading "1. The version banner: agent.exe without a command word"
say "Shows the agent home the executable belongs to, the name of its Windows service, the build and the SHA-256 of the executable. It always ends with exit code 1."
show_command ""
agent
show_output
expect_rc 1
grep -q "service_name=olvar-tesk-agent-" "$scratch/out" || fail "no service name in the banner"
service_name="$(sed -n 's/^  service_name=\([^[:space:]]*\).*/\1/p' "$scratch/out")"

# ---- 2. run, ended by stop ---------------------------------------------------------------------------

heading "2. \"run\": the agent in the foreground, ended by \"stop\" from a second command"
say "\"run\" loads the environment of bin\\set_env.cmd, finds jvm.dll under the Java home of javahome.conf, starts the JVM inside its own process and runs the agent until the agent ends. \"stop\" only creates the empty marker file var\\shutdown, which the agent watches. Here \"run\" logs at DEBUG (QUENDA_SERVICE_LOGGING_LEVEL=debug)."
rm -f "$record"
show_command "run        (in the background of this script)"
QUENDA_SERVICE_LOGGING_LEVEL=debug timeout -k 5 "$bound" "$wine_run" "$exe" run </dev/null >"$scratch/run.out" 2>"$scratch/run.err" &
run_pid=$!
wait_for "the agent's main method to start" "$bound" record_has main.thread
show_java_side
show_command "stop"
agent stop
show_output
expect_rc 0
set +e
wait "$run_pid"
rc=$?
set -e
run_pid=""
echo "  \"run\" ended with exit code $rc once the agent had seen var\\shutdown."
expect_rc 0
record_has shutdown.seen || fail "the agent did not see the shutdown marker"
show_log "standard output of \"run\" (the agent's own output)" "$scratch/run.out"
if [ "$fast" = 1 ]; then
  show_log "standard error of \"run\" (selected lines of the log)" "$scratch/run.err" \
    "set_env|Checking for JVM DLL|JVM created|Java main method returned"
else
  show_log "standard error of \"run\" (the log)" "$scratch/run.err"
fi

# ---- 3. start and stop ---------------------------------------------------------------------------------

heading "3. \"start\" and \"stop\": the agent in the background"
say "\"start\" launches the installed executable again as a detached process (\"_start_continue\") and returns at once. That process has no console: its standard output and error, the program's log lines and the agent's own output, go to var\\log\\stdout."
rm -f "$record"
show_command "start"
# Set before the command: an interrupt that arrives while it runs is handled once it has returned.
started_background=1
agent start
show_output
expect_rc 0
wait_for "the background agent's main method to start" "$bound" record_has main.thread
wait_for "the agent's output in var\\log\\stdout" "$bound" grep -q "main started" "$home/var/log/stdout"
show_java_side
show_log "var\\log\\stdout" "$home/var/log/stdout"
show_command "stop"
agent stop
show_output
expect_rc 0
wait_for "the background agent to end" "$bound" record_has destroy
started_background=0
echo "  The agent saw var\\shutdown and returned; the background process has ended."
show_log "var\\log\\stdout" "$home/var/log/stdout"

# ---- 4. the Windows service ---------------------------------------------------------------------------

heading "4. The Windows service: install-service, start-service, stop-service, uninstall-service"
agent stop-service
if grep -q "Unimplemented command" "$scratch/out"; then
  say "This build does not have the service commands yet; the service steps are skipped."
else
  say "The service of this home is named $service_name. The service manager starts \"agent.exe _service_continue\", which runs the agent on a thread of its own and logs to var\\log\\stdout."
  show_command "install-service --start=manual"
  # Set before the command, as above; removing a service that was never installed does no harm.
  service_installed=1
  agent install-service --start=manual
  show_output
  expect_rc 0
  echo "  The registration, as the service manager keeps it in the registry:"
  set +e
  timeout -k 5 "$bound" "$wine_run" reg query "HKLM\\System\\CurrentControlSet\\Services\\$service_name" </dev/null 2>&1 |
    sed 's/\r$//' | grep -E "DisplayName|ImagePath|ObjectName|Start|Type" | sed 's/^ */    /'
  set -e

  rm -f "$record"
  show_command "start-service"
  agent start-service
  show_output
  expect_rc 0
  wait_for "the service's agent to start" "$bound" record_has main.thread
  timeout -k 5 "$bound" "$wine_run" sc query "$service_name" </dev/null 2>&1 | sed 's/\r$//; s/^/    /'
  show_java_side
  show_log "var\\log\\stdout" "$home/var/log/stdout"

  show_command "stop-service"
  agent stop-service
  show_output
  expect_rc 0
  record_has destroy || fail "the service's agent did not end"
  echo "  The stop request created var\\shutdown; the agent ended and the service process reported stopped."
  show_log "var\\log\\stdout" "$home/var/log/stdout"
  [ ! -e "$home/var/shutdown" ] || fail "the service left var\\shutdown behind"

  show_command "uninstall-service"
  agent uninstall-service
  show_output
  expect_rc 0
  service_installed=0
  show_command "start-service        (the service is gone now)"
  agent start-service
  show_output
  expect_rc 1
fi

heading "Done"
say "Every step above ran the real agent.exe under Wine. The sample home is removed again; run with --keep to look around in it."
failed=0
