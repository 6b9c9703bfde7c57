"""The release package of scripts/package.sh: what it holds, what its agent.exe is, and its traces through agent.pdb."""

import os
import re
import shutil
import struct
import subprocess
import tempfile
import unittest
import uuid
import zipfile

from harness import Home

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
PACKAGE = os.path.join(ROOT, "scripts", "package.sh")
ARCH = os.environ.get("AGENT_ARCH", "x86")
BUILD = os.environ.get("BUILD_DIR") or os.path.dirname(os.environ["WINE_RUN"])
OBJDUMP = {"x86": "i686-w64-mingw32-objdump", "x64": "x86_64-w64-mingw32-objdump"}[ARCH]
# (machine, optional header magic, bits) of each architecture's images.
IMAGE_KIND = {"x86": (0x014C, 0x10B, 32), "x64": (0x8664, 0x20B, 64)}[ARCH]
BOUND = 120
SOURCE_FILES = set(os.listdir(os.path.join(ROOT, "src")))

# What every start loads (the C++ runtime is linked in): nothing that brings USER32 and GDI32 along;
# DbgHelp, SHELL32 and CNG are loaded on first use.
STARTUP_DLLS = {"kernel32.dll", "advapi32.dll", "msvcrt.dll"}

# One resolved frame: "\tat function(file.cpp:123) - 0xaddress=0xsymbol+displacement".
RESOLVED_FRAME = re.compile(r"^\tat (?P<function>[^<(][^(]*)\((?P<file>[\w.]+\.(?:cpp|h)):(?P<line>\d+)\) - 0x[0-9a-f]+=0x[0-9a-f]+\+[0-9a-f]+$")
UNRESOLVED_FRAME = re.compile(r"^\tat <function>\(<file>:0\) - 0x([0-9a-f]+)=0x\1\+0$")


def tool(*args):
    return subprocess.run(list(args), capture_output=True, text=True, timeout=BOUND, check=True).stdout


class PackageTestCase(unittest.TestCase):
    """Builds this architecture's package from the build's agent.exe once per test class."""

    @classmethod
    def setUpClass(cls):
        cls.root = tempfile.mkdtemp(prefix="agent-package-test-")
        cls.addClassCleanup(shutil.rmtree, cls.root, True)  # also when the set-up fails
        output = os.path.join(cls.root, "package")
        tool("bash", PACKAGE, "--arch", ARCH, "--no-build", "--build", BUILD, "--output", output)
        [archive] = [f for f in os.listdir(output) if f.endswith(".zip")]
        with zipfile.ZipFile(os.path.join(output, archive)) as opened:
            cls.names = opened.namelist()
            opened.extractall(os.path.join(cls.root, "unpacked"))
        cls.folder = os.path.join(cls.root, "unpacked", archive[:-len(".zip")])
        cls.exe, cls.pdb = os.path.join(cls.folder, "agent.exe"), os.path.join(cls.folder, "agent.pdb")


class PackageImageTest(PackageTestCase):
    """What the package holds and what its agent.exe is; needs no Wine."""

    def test_archive_holds_the_executable_its_symbols_a_readme_and_the_guide(self):
        folder = os.path.basename(self.folder)
        self.assertRegex(folder, r"^agent-[A-Za-z0-9._-]{8}-[0-9a-f]{12}-%s$" % ARCH)
        top = sorted(n[len(folder) + 1:] for n in self.names if n.count("/") == 1)
        self.assertEqual(top, ["README.txt", "agent.exe", "agent.pdb"])
        guide = sorted(n[len(folder) + 1:] for n in self.names if n.startswith(folder + "/docs/"))
        self.assertEqual(guide, sorted("docs/" + f for f in os.listdir(os.path.join(ROOT, "docs"))))
        self.assertEqual(len(self.names), len(top) + len(guide), self.names)
        with open(os.path.join(self.folder, "README.txt"), "rb") as f:
            readme = f.read()
        self.assertIn(b"agent.pdb", readme)
        self.assertIn(b"needs a %d-bit Java runtime" % IMAGE_KIND[2], readme)
        self.assertNotIn(b"\n", readme.replace(b"\r\n", b""), "README.txt has lines without CR LF")

    def test_executable_is_a_console_program_of_its_architecture(self):
        with open(self.exe, "rb") as f:
            data = f.read()
        (pe,) = struct.unpack_from("<I", data, 0x3C)
        self.assertEqual((data[:2], data[pe:pe + 4]), (b"MZ", b"PE\0\0"))
        machine, magic, subsystem = (struct.unpack_from("<H", data, pe + at)[0] for at in (4, 24, 24 + 68))
        self.assertEqual((machine, magic), IMAGE_KIND[:2], "not an image of %s" % ARCH)
        self.assertEqual(subsystem, 3, "not a console program")

    def test_executable_imports_only_what_every_start_needs(self):
        dump = tool(OBJDUMP, "-p", self.exe)
        # Delay-load stubs would be listed too, with their DLL names.
        imported = {name.lower() for name in re.findall(r"DLL Name: (\S+)", dump)}
        self.assertIn("kernel32.dll", imported)
        self.assertEqual(imported - STARTUP_DLLS, set(), dump)

    def test_executable_names_its_symbol_file_by_bare_name_guid_and_age(self):
        sections = re.findall(r"^\s*\d+\s+(\S+)\s", tool(OBJDUMP, "-h", self.exe), re.M)
        self.assertEqual([s for s in sections if s.startswith(".debug")], [], sections)
        # The executable's CodeView entry names the PDB by its bare file name, GUID and age.
        entry = tool("llvm-readobj-14", "--coff-debug-directory", self.exe)
        summary = tool("llvm-pdbutil-14", "dump", "--summary", self.pdb)
        guid = bytes.fromhex(re.search(r"PDBGUID: \(([0-9A-F ]+)\)", entry).group(1).replace(" ", ""))
        self.assertEqual(re.search(r"PDBFileName: (\S+)", entry).group(1), "agent.pdb")
        self.assertEqual(uuid.UUID(bytes_le=guid), uuid.UUID(re.search(r"GUID: (\{[0-9A-F-]+\})", summary).group(1)))
        self.assertEqual(re.search(r"PDBAge: (\d+)", entry).group(1), re.search(r"Age: (\d+)", summary).group(1))


class PackageTraceTest(PackageTestCase):
    """The packaged program's stack traces under Wine, with and without its symbol file."""

    def run_fatal_in_throwaway_home(self, with_symbols):
        """Runs the packaged agent.exe in a home whose javaopts.conf the runtime rejects: "run" ends
        with a FATAL line and the stack trace of the exception."""
        home = Home(root=tempfile.mkdtemp(dir=self.root))
        shutil.copyfile(self.exe, home.exe)
        os.remove(home.file("bin/agent.pdb"))
        if with_symbols:
            shutil.copyfile(self.pdb, home.file("bin/agent.pdb"))
        # DbgHelp comes from the system folder, also when a copy beside the program is preferred.
        shutil.copyfile(os.environ["STUB_JVM_DLL"], home.file("bin/dbghelp.dll"))
        home.write("conf/agent/javaopts.conf", "-Xno-such-option\r\n")
        result = home.run("run", timeout=BOUND, env={"WINEDLLOVERRIDES": "dbghelp=n,b"})
        self.assertEqual(result.returncode, 1, result)
        stderr = result.stderr.replace("\r\n", "\n")  # standard error is in text mode
        self.assertIn("Unrecognized option: -Xno-such-option", stderr)
        self.assertRegex(stderr, r"(?m)^FATAL wmain\(main\.cpp:\d+\): Exception:$")
        frames = [line for line in stderr.splitlines() if line.startswith("\t")]
        self.assertGreater(len(frames), 5, result)
        return result, frames

    def test_fatal_trace_resolves_through_the_symbol_file(self):
        result, frames = self.run_fatal_in_throwaway_home(with_symbols=True)
        resolved = [RESOLVED_FRAME.match(frame) for frame in frames]
        ours = [(m.group("function"), m.group("file")) for m in resolved if m and int(m.group("line")) > 0]
        # The path from the entry point to the failed creation of the JVM, innermost first.
        expected = [("create_jvm", "javainterop.cpp"), ("execjava", "execjava.cpp"), ("do_run", "do_run.cpp"),
                    ("command_entry::run", "command_table.cpp"), ("run_command", "command_table.cpp"),
                    ("wmain", "main.cpp")]
        self.assertEqual([f for f in ours if f in expected], expected, result)

    def test_without_the_symbol_file_no_names_are_shown(self):
        # The names above come from agent.pdb, not from the executable itself. (Frames of Wine's own
        # libraries, which a 64-bit walk reaches, resolve through Wine's symbols.)
        result, frames = self.run_fatal_in_throwaway_home(with_symbols=False)
        resolved = [RESOLVED_FRAME.match(frame) for frame in frames]
        self.assertEqual([m.group(0) for m in resolved if m and m.group("file") in SOURCE_FILES], [], result)
        self.assertTrue(all(UNRESOLVED_FRAME.match(frame) for frame in frames[:5]), result)


if __name__ == "__main__":
    unittest.main()
