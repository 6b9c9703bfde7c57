"""Java homes for the end-to-end tests, made from the stand-in Java runtime.

The build hands the tests the stand-in files through two environment variables:
  STUB_JVM_DLL   the built jvm.dll (CMake target stub_jvm)
  STUB_JAVA_EXE  the built java.exe (CMake target stub_java)
tests/support/stub_jvm/README.md describes what they do and the record files they write;
parse_record() reads those files.
"""

import os
import shutil
import struct
import time
from dataclasses import dataclass, field
from pathlib import Path

# Where the program looks for the runtime below a Java home, in its search order.
JVM_LAYOUTS = ("bin/server", "bin/client", "bin/j9vm", "jre/bin/server", "jre/bin/client", "jre/bin/j9vm")
JAVA_LAYOUTS = ("bin", "jre/bin")

MACHINE_I386 = 0x014C
MACHINE_AMD64 = 0x8664
# The runtime's images must be of the build's own machine; the other one is skipped.
OWN_MACHINE = MACHINE_AMD64 if os.environ.get("AGENT_ARCH") == "x64" else MACHINE_I386
OTHER_MACHINE = MACHINE_I386 if OWN_MACHINE == MACHINE_AMD64 else MACHINE_AMD64


def _stub_file(variable):
    value = os.environ.get(variable)
    if not value or not Path(value).is_file():
        raise RuntimeError(f"{variable} must name the built stand-in file (got {value!r})")
    return Path(value)


def stub_jvm_dll():
    return _stub_file("STUB_JVM_DLL")


def stub_java_exe():
    return _stub_file("STUB_JAVA_EXE")


def windows_path(path):
    """The name a Windows program under Wine gives a Linux path: /x/y is Z:\\x\\y."""
    return "Z:" + str(Path(path).absolute()).replace("/", "\\")


def make_java_home(root, jvm_layout="bin/server", java_layout="bin", jvm_source=None, java_source=None):
    """Creates a Java home at root with jvm.dll under jvm_layout and java.exe under java_layout.

    Either layout may be None to leave that file out. jvm_source/java_source replace the stand-ins
    with other files (for example stub_java_exe() as a jvm.dll that loads but exports nothing).
    Returns root as a Path.
    """
    root = Path(root)
    root.mkdir(parents=True, exist_ok=True)
    if jvm_layout is not None:
        place(root / jvm_layout / "jvm.dll", jvm_source or stub_jvm_dll())
    if java_layout is not None:
        place(root / java_layout / "java.exe", java_source or stub_java_exe())
    return root


def place(target, source):
    target = Path(target)
    target.parent.mkdir(parents=True, exist_ok=True)
    shutil.copyfile(source, target)
    return target


def write_fake_pe_image(path, machine=OTHER_MACHINE):
    """Writes the headers of a PE image for the given machine and nothing else.

    The headers pass a signature-and-machine check; the file cannot be loaded, so with machine
    OWN_MACHINE it is a jvm.dll that is found but fails in LoadLibraryExW.
    """
    pe_offset = 0x40
    dos_header = b"MZ" + bytes(0x3A) + struct.pack("<I", pe_offset)
    optional_size = 0xF0 if machine == MACHINE_AMD64 else 0xE0
    magic = 0x20B if machine == MACHINE_AMD64 else 0x10B
    coff = struct.pack("<HHIIIHH", machine, 0, 0, 0, 0, optional_size, 0x2022)
    optional = struct.pack("<H", magic) + bytes(optional_size - 2)
    path = Path(path)
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_bytes(dos_header + b"PE\0\0" + coff + optional)
    return path


def write_non_image(path, content=b"this is not a program\r\n"):
    """A "jvm.dll" that is no image at all: text by default, b"M" for a one-byte file, b"" for an empty one."""
    path = Path(path)
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_bytes(content)
    return path


def image_machine(path):
    """The machine field of a PE image, or None when the file is no PE image (the program's own test)."""
    data = Path(path).read_bytes()
    if len(data) < 0x40 or data[:2] != b"MZ":
        return None
    (offset,) = struct.unpack_from("<I", data, 0x3C)
    if len(data) < offset + 6 or data[offset:offset + 4] != b"PE\0\0":
        return None
    return struct.unpack_from("<H", data, offset + 4)[0]


def write_upgrader_jar(path, exit_status=0, sleep_ms=0, delete_jar=False):
    """The upgrader archive the stand-in java.exe "runs" with -jar."""
    lines = [f"exit={exit_status}", f"sleep.ms={sleep_ms}"] + (["delete.jar=yes"] if delete_jar else [])
    path = Path(path)
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_text("\n".join(lines) + "\n", encoding="utf-8")
    return path


@dataclass
class Run:
    """One process's part of a record file: (key, value) pairs in order; events have value None."""

    entries: list = field(default_factory=list)

    def values(self, key):
        return [v for k, v in self.entries if k == key]

    def value(self, key, default=None):
        found = self.values(key)
        return found[-1] if found else default

    def has(self, key):
        return any(k == key for k, _ in self.entries)

    def keys(self):
        return [k for k, _ in self.entries]

    @property
    def options(self):
        return self.values("option")

    @property
    def env(self):
        return {k[4:]: v for k, v in self.entries if k.startswith("env.")}

    @property
    def main_args(self):
        count = int(self.value("main.arg.count", "0"))
        return [self.value(f"main.arg[{i}]") for i in range(count)]


def parse_record(text):
    """Splits a record file's text into one Run per process (the stubs separate runs by "---")."""
    runs = [Run()]
    for line in text.splitlines():
        if line == "---":
            runs.append(Run())
        elif line:
            key, sep, value = line.partition("=")
            runs[-1].entries.append((key, value if sep else None))
    return [run for run in runs if run.entries]


def read_record(path):
    path = Path(path)
    # Undecodable bytes (an option text that was not UTF-8) stay visible as \xNN escapes.
    return parse_record(path.read_text(encoding="utf-8", errors="backslashreplace")) if path.exists() else []


def wait_for_record(path, predicate, timeout=20.0):
    """Polls a record file that another process writes until predicate(runs) holds; returns the runs."""
    deadline = time.monotonic() + timeout
    while True:
        runs = read_record(path)
        if predicate(runs):
            return runs
        if time.monotonic() > deadline:
            raise AssertionError(f"record {path} did not reach the expected state: {runs}")
        time.sleep(0.05)
