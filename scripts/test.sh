#!/usr/bin/env bash
# Sets up, builds and runs every test; ends with CTest's summary.
#
# The x64 build runs the whole suite under 64-bit Wine on every host; the x86 build (the shipped PE32
# program) runs it under 32-bit Wine wherever that can run, and its image is checked without Wine
# everywhere. AGENT_TEST_ARCHS=x86, x64 or "x86 x64" forces the choice.
set -euo pipefail
source "$(dirname "$0")/lib.sh"
"$root/scripts/setup.sh"
choose_test_archs
[ -n "${test_archs// /}" ] || { echo "test: no architecture to run under Wine" >&2; exit 1; }
test_archs="$(echo $test_archs)"
echo "test: under Wine: ${test_archs// /, } ($arch_note)"

in_test_archs() { [[ " $test_archs " == *" $1 "* ]]; }
subdirs=()
for arch in x86 x64; do
  if in_test_archs "$arch"; then
    echo "build: $arch (everything) in $(build_dir "$arch")"
    build_arch "$arch"
    subdirs+=("$arch")
  elif [ "$arch" = x86 ]; then
    # The shipped program is built and its image checked on every host.
    echo "build: x86 (agent.exe only) in $(build_dir x86)"
    build_arch x86 agent
    subdirs+=("x86/tests/image")
  fi
done

# One CTest run over the chosen builds' tests (their names start with the architecture), so that one
# summary, the last thing printed, covers them all.
{
  echo "# Written by scripts/test.sh: the test folders of this run."
  printf 'subdirs("%s")\n' "${subdirs[@]}"
} >"$build_root/CTestTestfile.cmake"

cd "$build_root"
status=0
ctest --output-on-failure -j2 --timeout 600 || status=$?
for arch in $test_archs; do
  WINEPREFIX="$(build_dir "$arch")/wineprefix" wineserver -k 2>/dev/null || true
done
exit $status
