# Shared by the scripts: build folders, toolchains and the choice of architectures. Sourced, not run.
# Two builds of one source: x86 (PE32, the shipped program) and x64 (PE32+). Each has its own build
# folder, build/<arch>, with its own Wine prefix inside.

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build_root="${AGENT_BUILD_ROOT:-$root/build}"

build_dir() { printf '%s/%s' "$build_root" "$1"; }

# 32-bit Wine is a 32-bit Linux program: on a kernel without IA-32 emulation it cannot start at all.
x86_wine_runs() { /usr/lib/wine/wine --version >/dev/null 2>&1; }

# Sets test_archs (the architectures whose builds run under Wine) and arch_note (why, for the log).
choose_test_archs() {
  if [ -n "${AGENT_TEST_ARCHS:-}" ]; then
    test_archs="$(printf '%s' "$AGENT_TEST_ARCHS" | tr ',' ' ')"
    arch_note="chosen by AGENT_TEST_ARCHS"
    local arch
    for arch in $test_archs; do
      case "$arch" in x86|x64) ;; *) echo "AGENT_TEST_ARCHS: unknown architecture '$arch' (x86, x64)" >&2; return 2 ;; esac
    done
  elif x86_wine_runs; then
    test_archs="x86 x64"
    arch_note="this host runs 32-bit Wine"
  else
    test_archs="x64"
    arch_note="x86 skipped: 32-bit Wine cannot run on this host (/usr/lib/wine/wine --version failed)"
  fi
}

build_in() {  # build_in DIR ARCH [TARGET...]: configures DIR for ARCH and builds the targets (all without)
  local dir="$1" arch="$2"
  shift 2
  # CMake keeps the resource compiler it found first: a folder configured before the toolchain files
  # named llvm-windres still has GNU windres, which is not installed. Such a folder starts afresh.
  if ls "$dir"/CMakeFiles/*/CMakeRCCompiler.cmake >/dev/null 2>&1 &&
     ! grep -qs 'CMAKE_RC_COMPILER "llvm-windres' "$dir"/CMakeFiles/*/CMakeRCCompiler.cmake; then
    rm -rf "$dir/CMakeCache.txt" "$dir/CMakeFiles"
  fi
  cmake -S "$root" -B "$dir" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-$arch.cmake" >/dev/null
  local targets=()
  local target
  for target in "$@"; do targets+=(--target "$target"); done
  cmake --build "$dir" -j"$(nproc)" "${targets[@]}"
}

build_arch() {  # build_arch ARCH [TARGET...]: the same in build/ARCH
  build_in "$(build_dir "$1")" "$@"
}
