#!/usr/bin/env bash
# Sets up the machine (if needed), then configures and builds both architectures: build/x86 (the
# shipped PE32 program) and build/x64 (PE32+), everything in each, tests included.
#
#   scripts/build.sh            both architectures
#   scripts/build.sh x64        only the named ones
set -euo pipefail
source "$(dirname "$0")/lib.sh"
"$root/scripts/setup.sh"
archs=("$@")
[ ${#archs[@]} -gt 0 ] || archs=(x86 x64)
for arch in "${archs[@]}"; do
  echo "build: $arch in $(build_dir "$arch")"
  build_arch "$arch"
done
