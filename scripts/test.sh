#!/usr/bin/env bash
# Sets up, builds and runs every test under the build tree's own Wine prefix; ends with CTest's summary.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
"$root/scripts/build.sh"
build="${AGENT_BUILD_DIR:-$root/build}"
cd "$build"
status=0
ctest --output-on-failure -j2 --timeout 600 || status=$?
WINEPREFIX="$build/wineprefix" wineserver -k 2>/dev/null || true
exit $status
