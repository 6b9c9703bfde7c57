#!/usr/bin/env bash
# Builds the release package: the stripped agent.exe, its symbol file agent.exe.debug beside it and a
# README for administrators, zipped. Output: build/package/agent-<build>-<revision>-<arch>.zip (and
# the same files unzipped in the folder of that name).
#
#   scripts/package.sh                  set up, build agent.exe (x86), package it
#   scripts/package.sh --arch x64       the same for the x64 build
#   scripts/package.sh --no-build       package the agent.exe of the existing build as it is
#   scripts/package.sh --build DIR      package the build in DIR instead of build/<arch>
#   scripts/package.sh --output DIR     write the package into DIR instead of build/package
#
# The symbol file arrangement: agent.exe keeps no debug information, only a .gnu_debuglink section that
# names agent.exe.debug and its CRC-32; DbgHelp finds the file in the executable's own directory when
# it prints a stack trace. Wine's DbgHelp reads that section only if the executable still has a COFF
# symbol table (a section name longer than eight characters is stored in the string table that follows
# it), so the entry point's symbol is kept: a plain "strip" leaves traces without names.
set -euo pipefail
source "$(dirname "$0")/lib.sh"
output="$build_root/package"
arch=x86
do_build=1
build=""
while [ $# -gt 0 ]; do
  case "$1" in
    --arch) arch="$2"; shift ;;
    --no-build) do_build=0 ;;
    --build) build="$2"; shift ;;
    --output) output="$2"; shift ;;
    *) echo "usage: scripts/package.sh [--arch x86|x64] [--no-build] [--build DIR] [--output DIR]" >&2; exit 2 ;;
  esac
  shift
done
case "$arch" in
  x86) tools=i686-w64-mingw32; bits=32 ;;
  x64) tools=x86_64-w64-mingw32; bits=64 ;;
  *) echo "package: unknown architecture '$arch' (x86, x64)" >&2; exit 2 ;;
esac
build="${build:-$(build_dir "$arch")}"

if [ "$do_build" = 1 ]; then
  "$root/scripts/setup.sh"
  cmake -S "$root" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-$arch.cmake" >/dev/null
  cmake --build "$build" -j"$(nproc)" --target agent >/dev/null
fi
source_exe="$build/src/agent.exe"
[ -f "$source_exe" ] || { echo "package: $source_exe is missing; build first" >&2; exit 1; }

objcopy=$tools-objcopy
strip=$tools-strip
objdump=$tools-objdump
nm=$tools-nm

# The package is named after the build identifier and source revision the banner shows.
revision_header="$build/src/generated/agent_revision.h"
build_life_id="$(sed -n 's/.*AGENT_BUILD_LIFE_ID L"\(.*\)".*/\1/p' "$revision_header" 2>/dev/null || true)"
revision="$(sed -n 's/.*AGENT_GIT_REV_ID L"\(.*\)".*/\1/p' "$revision_header" 2>/dev/null || true)"
name="agent-${build_life_id:-unknown}-$(printf '%.12s' "${revision:-unknown}")-$arch"
folder="$output/$name"
rm -rf "$folder" "$folder.zip"
mkdir -p "$folder"

# The symbol that stays: the one at the entry point.
image_base="$($objdump -p "$source_exe" | awk '$1 == "ImageBase" { print $2 }')"
entry_rva="$($objdump -p "$source_exe" | awk '$1 == "AddressOfEntryPoint" { print $2 }')"
entry_address="$(printf '%0*x' "${#image_base}" $((0x$image_base + 0x$entry_rva)))"
entry_symbol="$($nm "$source_exe" | awk -v a="$entry_address" '$1 == a && ($2 == "T" || $2 == "t") && !found { print $3; found = 1 }')"
[ -n "$entry_symbol" ] || { echo "package: no symbol at the entry point 0x$entry_address" >&2; exit 1; }

$objcopy --only-keep-debug "$source_exe" "$folder/agent.exe.debug"
$strip --strip-all --keep-symbol="$entry_symbol" -o "$folder/agent.exe" "$source_exe"
# The link records the file name only; it is looked for beside the executable.
(cd "$folder" && $objcopy --add-gnu-debuglink=agent.exe.debug agent.exe)
chmod 0644 "$folder/agent.exe.debug"

# The administrator's guide, as in the source distribution.
mkdir -p "$folder/docs"
cp "$root"/docs/*.md "$root"/docs/processes.svg "$root"/docs/processes.dot "$folder/docs/"

# The administrators' README, with Windows line endings.
sed 's/$/\r/' >"$folder/README.txt" <<EOF
Olvar Tesk Agent launcher - $name
================================================================

agent.exe        the launcher and Windows-service host of the agent ($bits-bit console program;
                 it loads the Java VM into its own process, so it needs a $bits-bit Java runtime)
agent.exe.debug  its symbol file: keep it beside agent.exe
README.txt       this file
docs\\            the administrator's guide (start with docs\\README.md)

Installing
  Copy agent.exe and agent.exe.debug into the bin directory of the agent home (for example
  C:\\Agent\\bin). The agent home is the directory above bin; agent.exe finds everything else from
  there: conf\\agent\\javahome.conf, conf\\agent\\javaopts.conf, bin\\set_env.cmd, lib and var.
  Nothing else needs to be installed: the program uses only DLLs that come with Windows.

The symbol file
  When agent.exe meets an error it cannot recover from, it writes a FATAL line followed by a stack
  trace to its log: one "at function(file:line)" line per call. The names, files and lines come from
  agent.exe.debug, which agent.exe names by file name and checksum. Without that file (or with the
  file of another build) every line reads "at <function>(<file>:0)", which support cannot use.
  Always replace both files together.

Commands (run from an elevated command prompt for the service commands)
  agent.exe                      version, agent home, service name, executable checksum (exit code 1)
  agent.exe run [-debug]         run the agent in this console until it ends
  agent.exe start [-debug]       start the agent in the background (output in var\\log\\stdout)
  agent.exe stop                 ask a running agent to stop (creates var\\shutdown)
  agent.exe env                  print the environment the agent would see
  agent.exe install-service [--start=auto|manual|delayed|disabled] [--user=NAME] [--password=TEXT]
  agent.exe uninstall-service    stop and remove the service of this agent home
  agent.exe start-service        start the service and wait until it runs
  agent.exe stop-service         stop the service and wait until it has stopped

Logs
  Console commands log to standard error; the background agent and the service log to
  var\\log\\stdout. Set QUENDA_SERVICE_LOGGING_LEVEL=debug (or trace) for more detail.

The administrator's guide in docs\\ describes every command, the files and environment variables the
program uses, the service registration, the logs, restarts and upgrades.
EOF

# Zipped with Python's zipfile, which every machine that builds this program has.
python3 - "$output" "$name" <<'PY'
import os, sys, zipfile
output, name = sys.argv[1], sys.argv[2]
with zipfile.ZipFile(os.path.join(output, name + ".zip"), "w", zipfile.ZIP_DEFLATED, compresslevel=9) as archive:
    folder = os.path.join(output, name)
    for directory, _, files in sorted(os.walk(folder)):
        for file_name in sorted(files):
            path = os.path.join(directory, file_name)
            archive.write(path, name + "/" + os.path.relpath(path, folder).replace(os.sep, "/"))
PY

size() { stat -c %s "$1"; }
printf 'Package: %s\n' "$folder.zip"
printf '  agent.exe (unstripped build) %10d bytes\n' "$(size "$source_exe")"
printf '  agent.exe (stripped)         %10d bytes\n' "$(size "$folder/agent.exe")"
printf '  agent.exe.debug              %10d bytes\n' "$(size "$folder/agent.exe.debug")"
printf '  %-28s %10d bytes\n' "$name.zip" "$(size "$folder.zip")"
