"""The release package of scripts/package.sh: what it holds, what its agent.exe is, its signature, its traces
through agent.pdb, and a second build that gives the same bytes."""

import glob
import hashlib
import os
import pathlib
import re
import shutil
import struct
import subprocess
import tempfile
import unittest
import uuid
import xml.etree.ElementTree as ElementTree
import zipfile

from harness import HELPER_EXE, Home, read_text, run_windows, windows_path, write_file

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
# The manifest's elements below its root, in order, with their attributes: the caller's rights, and the
# supportedOS ids of Windows 7, 8, 8.1 and 10/11 (Microsoft's "Application manifests").
V3, OS = "{urn:schemas-microsoft-com:asm.v3}", "{urn:schemas-microsoft-com:compatibility.v1}"
MANIFEST = [(V3 + tag, {}) for tag in ("trustInfo", "security", "requestedPrivileges")] + [
    (V3 + "requestedExecutionLevel", {"level": "asInvoker", "uiAccess": "false"}), (OS + "compatibility", {}),
    (OS + "application", {})] + [(OS + "supportedOS", {"Id": "{%s}" % guid}) for guid in (
        "35138b9a-5d96-4fbd-8e2d-a2440225f93a", "4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38",
        "1f676c76-80e1-4239-95bb-83d0f6d0da78", "8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a")]
# A throwaway certificate authority and the code-signing certificate it issued, for scripts/package.sh.
CERTIFICATE = ("req -x509 -newkey rsa:2048 -nodes -keyout ca.key -out ca.pem -days 2 -subj /CN=Throwaway-CA",
               "req -newkey rsa:2048 -nodes -keyout signer.key -out signer.pem -days 2 -subj /CN=Throwaway-signer"
               " -CA ca.pem -CAkey ca.key -addext extendedKeyUsage=codeSigning",
               "pkcs12 -export -in signer.pem -inkey signer.key -out signer.p12 -passout file:password")

# One resolved frame: "\tat function(file.cpp:123) - 0xaddress=0xsymbol+displacement".
RESOLVED_FRAME = re.compile(r"^\tat (?P<function>[^<(][^(]*)\((?P<file>[\w.]+\.(?:cpp|h)):(?P<line>\d+)\) - 0x[0-9a-f]+=0x[0-9a-f]+\+[0-9a-f]+$")
UNRESOLVED_FRAME = re.compile(r"^\tat <function>\(<file>:0\) - 0x([0-9a-f]+)=0x\1\+0$")


def tool(*args, timeout=BOUND, **options):
    return subprocess.run(list(args), capture_output=True, text=True, timeout=timeout, check=True, **options).stdout


def resource(image, kind, ident):
    """Resource `ident` of type `kind`, its first language, found through the resource directory in .rsrc."""
    (pe,) = struct.unpack_from("<I", image, 0x3C)
    count, optional_size = struct.unpack_from("<H12xH", image, pe + 6)
    sections = (struct.unpack_from("<8s4xI4xI", image, pe + 24 + optional_size + 40 * i) for i in range(count))
    address, root = next((va, raw) for name, va, raw in sections if name == b".rsrc\0\0\0")

    def entry(table, wanted=None):  # the subdirectory or data entry that id `wanted` (or the first entry) names
        count = sum(struct.unpack_from("<HH", image, table + 12))
        entries = struct.iter_unpack("<II", image[table + 16:table + 16 + 8 * count])
        return next(root + (to & 0x7FFFFFFF) for name, to in entries if wanted in (None, name))

    rva, size = struct.unpack_from("<II", image, entry(entry(entry(root, kind), ident)))
    return image[root + rva - address:root + rva - address + size]


def version_information(image):
    """The version resource as `test_helper version` prints it: "fixed", the file and product versions of
    VS_FIXEDFILEINFO (behind its signature and structure version), and every string."""
    data = resource(image, 16, 1)  # RT_VERSION
    fixed = struct.unpack_from("<4I", data, data.index(struct.pack("<I", 0xFEEF04BD)) + 8)
    # A string is a node of three words, the third 1 (text), then its key and its value, UTF-16 and NUL-ended.
    strings = re.findall(r"\x01(\w+)\0+([ -~]+)\0", data.decode("utf-16-le", "replace"))
    return dict(strings, fixed="%d,%d,%d,%d" % fixed)


class PackageTestCase(unittest.TestCase):
    """Builds this architecture's package from the build's agent.exe once per test class."""

    signed = False

    @classmethod
    def setUpClass(cls):
        cls.root = tempfile.mkdtemp(prefix="agent-package-test-")
        cls.addClassCleanup(shutil.rmtree, cls.root, True)  # also when the set-up fails
        output, signing = os.path.join(cls.root, "package"), {}
        if cls.signed:
            write_file(cls.root + "/password", "throwaway\n")
            for command in CERTIFICATE:
                tool("openssl", *command.split(), cwd=cls.root)
            signing = {"AGENT_SIGN_PKCS12": cls.root + "/signer.p12", "AGENT_SIGN_PASSWORD_FILE": cls.root + "/password"}
        tool("bash", PACKAGE, "--arch", ARCH, "--no-build", "--build", BUILD, "--output", output,
             env=dict(os.environ, **signing))
        [archive] = [f for f in os.listdir(output) if f.endswith(".zip")]
        with zipfile.ZipFile(os.path.join(output, archive)) as opened:
            cls.names = opened.namelist()
            opened.extractall(os.path.join(cls.root, "unpacked"))
        cls.folder = os.path.join(cls.root, "unpacked", archive[:-len(".zip")])
        cls.exe, cls.pdb = os.path.join(cls.folder, "agent.exe"), os.path.join(cls.folder, "agent.pdb")
        cls.image = pathlib.Path(cls.exe).read_bytes()


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
        readme = pathlib.Path(self.folder, "README.txt").read_bytes()
        self.assertIn(b"agent.pdb", readme)
        self.assertIn(b"needs a %d-bit Java runtime" % IMAGE_KIND[2], readme)
        self.assertNotIn(b"\n", readme.replace(b"\r\n", b""), "README.txt has lines without CR LF")

    def test_executable_is_a_console_program_of_its_architecture(self):
        (pe,) = struct.unpack_from("<I", self.image, 0x3C)
        self.assertEqual((self.image[:2], self.image[pe:pe + 4]), (b"MZ", b"PE\0\0"))
        machine, magic, subsystem = (struct.unpack_from("<H", self.image, pe + at)[0] for at in (4, 24, 24 + 68))
        self.assertEqual((machine, magic), IMAGE_KIND[:2], "not an image of %s" % ARCH)
        self.assertEqual(subsystem, 3, "not a console program")

    def test_manifest_asks_for_the_callers_rights_on_every_supported_windows(self):
        # Windows virtualizes file and registry writes of a 32-bit interactive process that requests no
        # execution level (UAC virtualization). Wine has no UAC: the resource itself is checked.
        manifest = ElementTree.fromstring(resource(self.image, 24, 1))  # RT_MANIFEST, the process's manifest
        # Nothing else either, so nothing that changes the Java VM in the process (longPathAware, activeCodePage).
        self.assertEqual([(element.tag, element.attrib) for element in manifest.iter()][1:], MANIFEST)

    def test_version_information_names_the_product_and_this_build(self):
        defines = dict(re.findall(r'#define (\w+) L?"(.*)"', read_text(BUILD + "/src/generated/agent_revision.h")))
        version = defines["AGENT_FILE_VERSION_TEXT"]
        a, b, c, d = map(int, version.split("."))
        self.assertEqual(version_information(self.image), {
            "fixed": "%d,%d,%d,%d" % ((a << 16 | b, c << 16 | d) * 2), "ProductName": "Olvar Tesk Agent",
            "ProductVersion": version, "FileDescription": "Olvar Tesk Agent launcher and service host",
            "FileVersion": version, "InternalName": "agent.exe", "OriginalFilename": "agent.exe",
            "Comments": "build %(AGENT_BUILD_LIFE_ID)s, revision %(AGENT_GIT_REV_ID)s" % defines})

    def test_no_shipped_file_names_the_source_or_build_folder(self):
        shipped = self.image + pathlib.Path(self.pdb).read_bytes()
        for folder in {ROOT, os.path.realpath(BUILD)}:  # in lambda names, the PDB's source files, build records
            self.assertFalse(folder.encode() in shipped or folder.encode("utf-16-le") in shipped, folder)

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


class SignedPackageTest(PackageTestCase):
    """A package signed with a throwaway certificate: its signature verifies, and under Wine the signed program
    reads back the version information that the image holds and resolves its traces through agent.pdb alone."""

    signed = True

    def test_signature_verifies_against_the_certificate_authority(self):
        verified = tool("osslsigncode", "verify", "-CAfile", self.root + "/ca.pem", "-in", self.exe)
        self.assertIn("Signature verification: ok", verified)

    def test_windows_reads_the_version_information_of_the_image(self):
        expected = version_information(self.image)
        result = run_windows(HELPER_EXE, ["version", windows_path(self.exe)] + [k for k in expected if k != "fixed"])
        self.assertEqual(dict(line.split("=", 1) for line in result.stdout.splitlines()), expected, result)

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


class ReproducibleBuildTest(unittest.TestCase):
    """A second build of the same source in other folders (the build of this architecture's agent target
    only) gives the same agent.exe, agent.pdb, package and checksums as the build under test."""

    def test_second_build_elsewhere_gives_the_same_bytes(self):
        root = tempfile.mkdtemp(prefix="agent-reproducible-")
        self.addCleanup(shutil.rmtree, root, True)
        source, build = root + "/other/source", root + "/build"
        shutil.copytree(ROOT, source, ignore=lambda at, names: [n for n in names if at == ROOT and n[:4] in ("buil", ".git")])
        # The build identity of the build under test (the copy has no git history).
        defines = dict(re.findall(r'#define (\w+) L?"(.*)"', read_text(BUILD + "/src/generated/agent_revision.h")))
        tool("cmake", "-S", source, "-B", build, "-DCMAKE_TOOLCHAIN_FILE=%s/cmake/toolchain-%s.cmake" % (source, ARCH),
             "-DAGENT_BUILD_LIFE_ID=" + defines["AGENT_BUILD_LIFE_ID"], "-DAGENT_GIT_REVISION=" + defines["AGENT_GIT_REV_ID"])
        tool("cmake", "--build", build, "--target", "agent", timeout=900)
        digests = []
        for number, built in enumerate((BUILD, build)):
            output = root + "/package%d" % number
            tool("bash", PACKAGE, "--arch", ARCH, "--no-build", "--build", built, "--output", output)
            files = [built + "/src/agent.exe", built + "/src/agent.pdb"] + glob.glob(output + "/*.zip") + [output + "/SHA256SUMS"]
            digests.append({os.path.basename(f): hashlib.sha256(pathlib.Path(f).read_bytes()).hexdigest() for f in files})
        self.assertEqual(digests[0], digests[1])


if __name__ == "__main__":
    unittest.main()
