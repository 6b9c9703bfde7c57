#!/usr/bin/env bash
# Compiler launcher of every C and C++ unit (CMakeLists.txt): runs the compiler with the source and
# build folders named relative to its working folder, the source folder through the link "source" in
# the build folder, so that no compiler argument holds a path of this machine.
#
#   relative-paths.sh SOURCE_DIR BINARY_DIR COMPILER ARGUMENTS...
#
# clang 14 writes its whole command line into the CodeView build record of every object (LF_BUILDINFO;
# -gno-codeview-command-line only came with clang 16), and lld copies those records into the PDB. With
# CMake's absolute paths there, agent.pdb would carry the build folder, and two builds of one source in
# different folders would differ. The prefix maps then turn the relative paths into ones relative to
# the source root ("src/util.cpp", "build/jni-include/jni.h") in the debug information.
set -euo pipefail
source_dir="$1" binary_dir="$2"
shift 2
up="$(realpath -s --relative-to="$PWD" "$binary_dir")"
arguments=()
for argument in "$@"; do
  argument="${argument//"$binary_dir/"/"$up/"}"
  argument="${argument//"$source_dir/"/"$up/source/"}"
  arguments+=("$argument")
done
exec "${arguments[@]}" -ffile-compilation-dir=. "-ffile-prefix-map=$up/source/=" "-ffile-prefix-map=$up/=build/"
