#!/usr/bin/env bash
# Sets up, builds and runs agent.exe under Wine in a freshly laid-out sample agent home.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
"$root/scripts/build.sh" >/dev/null
build="${AGENT_BUILD_DIR:-$root/build}"
home="$(mktemp -d /tmp/agent-demo.XXXXXX)"
trap 'rm -rf "$home"; WINEPREFIX="$build/wineprefix" wineserver -k 2>/dev/null || true' EXIT
mkdir -p "$home/bin" "$home/conf/agent" "$home/lib" "$home/var/log" "$home/var/temp"
cp "$build/src/agent.exe" "$home/bin/agent.exe"

step() {
  echo
  echo "\$ $*"
  set +e
  "$@" 2>&1
  echo "(exit code $?)"
  set -e
}

echo "Sample agent home: $home"
step "$build/wine-run" "$home/bin/agent.exe"
step env QUENDA_SERVICE_LOGGING_LEVEL=debug "$build/wine-run" "$home/bin/agent.exe" run
step "$build/wine-run" "$home/bin/agent.exe" no-such-command
