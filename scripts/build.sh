#!/usr/bin/env bash
# Sets up the machine (if needed), configures and builds everything into build/.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
"$root/scripts/setup.sh"
build="${AGENT_BUILD_DIR:-$root/build}"
cmake -S "$root" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw32-toolchain.cmake" >/dev/null
cmake --build "$build" -j"$(nproc)"
