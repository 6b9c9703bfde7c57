#!/usr/bin/env bash
# Builds the release packages, one per architecture: the agent.exe of that build (debug sections
# stripped), its symbol file agent.pdb beside it, a README for administrators and the guide, zipped.
# Output: build/package/agent-<build>-<revision>-x86.zip (the 32-bit program, for 32-bit Java
# runtimes) and ...-x64.zip (the 64-bit program, for 64-bit Java runtimes), the same files unzipped in
# the folders of those names, and SHA256SUMS, the checksums of the zips made.
#
#   scripts/package.sh                  set up, build agent.exe of both architectures, package them
#   scripts/package.sh --arch x64       only the named architecture (x86 or x64)
#   scripts/package.sh --no-build       package the existing build(s) as they are
#   scripts/package.sh --build DIR      with --arch: package the build in DIR instead of build/<arch>
#   scripts/package.sh --output DIR     write the packages into DIR instead of build/package
#
# Signing (Authenticode, SHA-256), when these are set; without them the packages are not signed:
#   AGENT_SIGN_PKCS12          the PKCS#12 file (.pfx/.p12) with the code-signing key and certificate
#   AGENT_SIGN_PASSWORD_FILE   a file that holds that file's password and nothing else
#   AGENT_SIGN_TIMESTAMP_URL   optional: an RFC 3161 time-stamping server
#
# Two builds of one source give the same packages, byte for byte: the build names no folder of its
# own (cmake/relative-paths.sh), lld stamps the image with a hash of its content (/Brepro), and the
# zip's entries come in a fixed order with fixed times (the source revision's commit time, or
# SOURCE_DATE_EPOCH). A signature, with its signing time, is the one part that differs.
#
# The symbol file arrangement: agent.exe's own code carries CodeView debug information only, linked
# into agent.pdb, and the executable's debug directory names that file by its bare name with its
# GUID and age. DbgHelp, Windows' and Wine's alike, looks for it beside the executable. What the
# strip removes is the DWARF that the static C++ runtime brings along; the debug directory stays.
set -euo pipefail
source "$(dirname "$0")/lib.sh"
output="$build_root/package"
archs=(x86 x64)
do_build=1
given_build=""
while [ $# -gt 0 ]; do
  case "$1" in
    --arch)
      case "$2" in x86|x64) archs=("$2") ;; *) echo "package: unknown architecture '$2' (x86, x64)" >&2; exit 2 ;; esac
      shift ;;
    --no-build) do_build=0 ;;
    --build) given_build="$2"; shift ;;
    --output) output="$2"; shift ;;
    *) echo "usage: scripts/package.sh [--arch x86|x64] [--no-build] [--build DIR] [--output DIR]" >&2; exit 2 ;;
  esac
  shift
done
[ -z "$given_build" ] || [ ${#archs[@]} = 1 ] || { echo "package: --build needs --arch" >&2; exit 2; }
[ "$do_build" = 0 ] || "$root/scripts/setup.sh"
if [ -n "${AGENT_SIGN_PKCS12:-}" ]; then
  [ -f "$AGENT_SIGN_PKCS12" ] && [ -f "${AGENT_SIGN_PASSWORD_FILE:-}" ] ||
    { echo "package: AGENT_SIGN_PKCS12 and AGENT_SIGN_PASSWORD_FILE must name existing files" >&2; exit 2; }
  echo "package: signing with $AGENT_SIGN_PKCS12${AGENT_SIGN_TIMESTAMP_URL:+, time stamps from $AGENT_SIGN_TIMESTAMP_URL}"
else
  echo "package: no certificate (AGENT_SIGN_PKCS12 is not set): agent.exe is not signed"
fi
epoch="${SOURCE_DATE_EPOCH:-$(git -C "$root" log -1 --format=%ct 2>/dev/null || echo 315532800)}"
zips=()

size() { stat -c %s "$1"; }

make_package() {  # make_package ARCH BUILD_DIR
  local arch="$1" build="$2" bits
  case "$arch" in x86) bits=32 ;; x64) bits=64 ;; esac
  if [ "$do_build" = 1 ]; then
    build_in "$build" "$arch" agent >/dev/null
  fi
  local source_exe="$build/src/agent.exe" source_pdb="$build/src/agent.pdb"
  local f
  for f in "$source_exe" "$source_pdb"; do
    [ -f "$f" ] || { echo "package: $f is missing; build first" >&2; exit 1; }
  done

  # The package is named after the build identifier and source revision the banner shows.
  local revision_header="$build/src/generated/agent_revision.h" build_life_id revision
  build_life_id="$(sed -n 's/.*AGENT_BUILD_LIFE_ID L"\(.*\)".*/\1/p' "$revision_header" 2>/dev/null || true)"
  revision="$(sed -n 's/.*AGENT_GIT_REV_ID L"\(.*\)".*/\1/p' "$revision_header" 2>/dev/null || true)"
  local name="agent-${build_life_id:-unknown}-$(printf '%.12s' "${revision:-unknown}")-$arch"
  local folder="$output/$name"
  rm -rf "$folder" "$folder.zip"
  mkdir -p "$folder/docs"

  llvm-strip-14 --strip-all -o "$folder/agent.exe" "$source_exe"
  if [ -n "${AGENT_SIGN_PKCS12:-}" ]; then
    # The signature goes into the certificate table and changes the checksum, nothing else: the debug
    # directory, and with it the match with agent.pdb, stays as linked.
    local timestamp=()
    [ -z "${AGENT_SIGN_TIMESTAMP_URL:-}" ] || timestamp=(-ts "$AGENT_SIGN_TIMESTAMP_URL")
    osslsigncode sign -pkcs12 "$AGENT_SIGN_PKCS12" -readpass "$AGENT_SIGN_PASSWORD_FILE" -h sha256 \
      "${timestamp[@]}" -n "Olvar Tesk Agent" -in "$folder/agent.exe" -out "$folder/agent.signed.exe" >/dev/null
    mv "$folder/agent.signed.exe" "$folder/agent.exe"
  fi
  install -m 0644 "$source_pdb" "$folder/agent.pdb"
  # The administrator's guide, as in the source distribution.
  cp "$root"/docs/*.md "$root"/docs/processes.svg "$root"/docs/processes.dot "$folder/docs/"

  # The administrators' README, with Windows line endings.
  sed 's/$/\r/' >"$folder/README.txt" <<EOF
Olvar Tesk Agent launcher - $name
================================================================

agent.exe    the launcher and Windows-service host of the agent: the $bits-bit program. It loads the
             Java VM into its own process, so it needs a $bits-bit Java runtime.
agent.pdb    its symbol file: keep it beside agent.exe
README.txt   this file
docs\\        the administrator's guide (start with docs\\README.md)

Which package
  The bitness of the Java runtime decides: agent-...-x86.zip holds the 32-bit agent.exe, for a
  32-bit Java runtime; agent-...-x64.zip holds the 64-bit agent.exe, for a 64-bit one. Everything
  else is the same: command words, files, logs, and the service name of an agent home. To switch,
  stop the agent (and its service), then replace bin\\agent.exe and bin\\agent.pdb.

Installing
  Copy agent.exe and agent.pdb into the bin directory of the agent home (for example C:\\Agent\\bin).
  The agent home is the directory above bin; agent.exe finds everything else from there:
  conf\\agent\\javahome.conf, conf\\agent\\javaopts.conf, bin\\set_env.cmd, lib and var. Nothing else
  needs to be installed: the program uses only DLLs that come with Windows, Windows 7 or Windows
  Server 2008 R2 and later. docs\\install.md walks through an installation step by step.

The symbol file
  When agent.exe meets an error it cannot recover from, it writes a FATAL line followed by a stack
  trace to its log: one "at function(file:line)" line per call. The names, files and lines come from
  agent.pdb, which the stack trace looks for beside agent.exe; Windows debuggers and other DbgHelp
  tools read it too (beside agent.exe or on their symbol path). Without that file (or with the file
  of another build) every line reads "at <function>(<file>:0)", which support cannot use. Always
  replace both files together.

Commands (the service commands need an elevated command prompt; so do start and stop, and run and env
when bin\\set_env.cmd exists, once the agent home is protected as docs\\security.md recommends)
  agent.exe                      version, agent home, service name, executable checksum (exit code 1)
  agent.exe run [-debug]         run the agent in this console until it ends
  agent.exe start [-debug]       start the agent in the background (output in var\\log\\stdout)
  agent.exe stop                 ask every running agent of this home to stop, the service's included:
                                 creates or empties var\\shutdown, which the program itself deletes
                                 only in the service process, after the service has stopped
  agent.exe env                  print the environment the agent would see
  agent.exe install-service [--start=auto|manual|delayed|disabled] [--user=NAME] [--password=TEXT]
  agent.exe uninstall-service    stop and remove the service of this agent home
  agent.exe start-service        start the service and wait until it runs
  agent.exe stop-service         stop the service and wait until it has stopped

Logs
  Console commands log to standard error. The background agent and the service log to
  var\\log\\stdout, together with the agent's own output; each start begins that file afresh and
  keeps the previous run's log as var\\log\\stdout.1. A service that ends before it could write its
  log shows up only in the System event log. Set QUENDA_SERVICE_LOGGING_LEVEL=debug (or trace) for
  more detail: for the service, in the Environment value of its registry key (docs\\service.md).

The administrator's guide in docs\\ describes every command, the files and environment variables the
program uses, the service registration, the logs, restarts and upgrades, and troubleshooting.
EOF

  # Zipped with Python's zipfile, which every machine that builds this program has: entries in name
  # order, each with the same time and permissions, whatever the files' own.
  python3 - "$output" "$name" "$epoch" <<'PY'
import os, sys, time, zipfile
output, name, epoch = sys.argv[1], sys.argv[2], int(sys.argv[3])
stamp = time.gmtime(max(epoch, 315532800))[:6]  # a zip time cannot lie before 1980
with zipfile.ZipFile(os.path.join(output, name + ".zip"), "w") as archive:
    folder = os.path.join(output, name)
    for directory, _, files in sorted(os.walk(folder)):
        for file_name in sorted(files):
            path = os.path.join(directory, file_name)
            entry = zipfile.ZipInfo(name + "/" + os.path.relpath(path, folder).replace(os.sep, "/"), stamp)
            entry.external_attr = 0o644 << 16
            with open(path, "rb") as f:
                archive.writestr(entry, f.read(), zipfile.ZIP_DEFLATED, 9)
PY
  zips+=("$name.zip")

  printf 'Package: %s\n' "$folder.zip"
  printf '  agent.exe (as built)         %10d bytes\n' "$(size "$source_exe")"
  printf '  agent.exe (packaged)         %10d bytes\n' "$(size "$folder/agent.exe")"
  printf '  agent.pdb                    %10d bytes\n' "$(size "$folder/agent.pdb")"
  printf '  %-28s %10d bytes\n' "$name.zip" "$(size "$folder.zip")"
}

for arch in "${archs[@]}"; do
  make_package "$arch" "${given_build:-$(build_dir "$arch")}"
done
# The checksums of the zips this run made, in sha256sum's format.
(cd "$output" && sha256sum "${zips[@]}") >"$output/SHA256SUMS"
echo "Checksums: $output/SHA256SUMS"
