"""What the end-to-end tests share: throwaway agent homes with the stand-in Java runtime, bounded runs
under Wine, the record files of the stand-ins, services, and processes left behind.

The build hands the built files over in AGENT_EXE, TEST_HELPER_EXE, STUB_JVM_DLL and STUB_JAVA_EXE;
tests/support/stub_jvm/README.md describes the stand-ins and their record files."""

import hashlib
import os
import re
import shutil
import struct
import subprocess
import tempfile
import time
import unittest

WINE_RUN = os.environ.get("WINE_RUN", "wine")
AGENT_EXE = os.environ["AGENT_EXE"]
HELPER_EXE = os.environ.get("TEST_HELPER_EXE", "")
# Every wait on a program or a state has this bound; a test never waits longer for one thing.
BOUND = 60
STOPPED, RUNNING = 1, 4
AUTO_START, DEMAND_START, DISABLED = 2, 3, 4
SCRUBBED = ("QUENDA_SERVICE_LOGGING_LEVEL", "QUENDA_SERVICE_LOG_PER_PID", "UPGRADE_SET_AGENT_HOME",
            "UPGRADE_PARENT_HANDLE", "TESTJVM_JAVA_HOME", "JAVA_DEBUG_OPTS", "QUENDA_CHECK_JNI")
CRASH_MARKERS = ("Unhandled exception", "wine: Unhandled", "winedbg", "Backtrace:")
# The runtime's images must be of the build's own machine; the other one is skipped.
OWN_MACHINE, OTHER_MACHINE = (0x8664, 0x014C) if os.environ.get("AGENT_ARCH") == "x64" else (0x014C, 0x8664)
LOG_LINE = re.compile(r"^(TRACE|DEBUG|INFO |WARN |ERROR|FATAL) (\S+)\(([^():/\\]+):(\d+)\): (.*?)\r?$")


def windows_path(path):
    """A Linux path as Windows programs under Wine see it: /x/y is Z:\\x\\y."""
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def service_name_of(windows_home):
    """The program's naming rule, computed independently: A-Z folded, UTF-16LE, SHA-256, 32 digits."""
    folded = "".join(chr(ord(c) + 32) if "A" <= c <= "Z" else c for c in windows_home)
    return "olvar-tesk-agent-" + hashlib.sha256(folded.encode("utf-16-le")).hexdigest()[:32]


def wait_until(predicate, what, timeout=BOUND):
    """Polls until predicate() gives something true, and returns that; fails after `timeout` seconds."""
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value:
            return value
        if time.monotonic() > deadline:
            raise AssertionError("timed out waiting for " + what)
        time.sleep(0.05)


def read_text(path):
    """A file's text (undecodable bytes kept visible as \\xNN), "" when it is not there."""
    if not os.path.exists(path):
        return ""
    with open(path, "rb") as f:
        return f.read().decode("utf-8", errors="backslashreplace")


def write_file(path, content):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(content if isinstance(content, bytes) else content.encode("utf-8"))


def log_records(text, level=None):
    """(level, function, file, line, message) of every log line of `text`, of one level if given."""
    found = [m.groups() for m in map(LOG_LINE.match, text.splitlines()) if m]
    return [r for r in found if level is None or r[0] == level]


class Result:
    def __init__(self, returncode, stdout, stderr):
        self.returncode = returncode
        self.stdout = stdout.decode("utf-8", errors="replace")
        self.stderr = stderr.decode("utf-8", errors="replace")
        self.stderr_lines = self.stderr.splitlines()

    def __repr__(self):
        return "rc=%d\nstdout:\n%s\nstderr:\n%s" % (self.returncode, self.stdout, self.stderr)


def run_windows(program, args, env=None, timeout=BOUND, cwd=None):
    full_env = {k: v for k, v in os.environ.items() if k not in SCRUBBED}
    full_env.update(env or {})
    # Files, not pipes: a detached grandchild (the background agent) keeps Wine's copies of the
    # descriptors open, and a pipe would not reach its end until that agent stops.
    with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
        done = subprocess.run([WINE_RUN, program] + list(args), env=full_env, stdin=subprocess.DEVNULL, stdout=out,
                              stderr=err, timeout=timeout, cwd=cwd)
        out.seek(0)
        err.seek(0)
        return Result(done.returncode, out.read(), err.read())


def processes_naming(marker):
    """Ids of the processes whose command line contains `marker` (letter case ignored): Wine shows
    a Windows process's command line as its own."""
    found = []
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open("/proc/%s/cmdline" % pid, "rb") as f:
                command_line = f.read().replace(b"\0", b" ").decode("utf-8", errors="replace")
        except OSError:
            continue
        if marker.lower() in command_line.lower():
            found.append(int(pid))
    return found


def kill_processes(marker):
    for pid in processes_naming(marker):
        try:
            os.kill(pid, 9)
        except OSError:
            pass


def query_service(name):
    """What the service manager holds for the service (read by the test helper, a client that is not
    the program under test), or None when there is no such service."""
    result = run_windows(HELPER_EXE, ["query", name])
    values = dict(line.split("=", 1) for line in result.stdout.splitlines() if "=" in line)
    if result.returncode != 0 and values.get("error") != "1060":
        raise AssertionError("query of %s failed: %r" % (name, result))
    return {k: int(v) if v.isdigit() else v for k, v in values.items()} if result.returncode == 0 else None


def wait_for_state(name, state):
    return wait_until(lambda: (query_service(name) or {}).get("state") == state and query_service(name),
                      "service %s to reach state %d" % (name, state))


def remove_service(name, home=None):
    """Stops (through the shutdown marker of `home` if given, then the manager) and deletes a service.
    A service process that ended without its final report stays "running" in Wine's service manager;
    its processes are ended by id and the registration is deleted regardless."""
    if query_service(name) is None:
        return
    if home:
        write_file(home.file("var/shutdown"), b"")
    run_windows("sc", ["stop", name])
    deadline = time.monotonic() + 45
    while (query_service(name) or {}).get("state", STOPPED) != STOPPED and time.monotonic() < deadline:
        time.sleep(0.2)
    if home:
        kill_processes(home.windows + "\\bin")
    run_windows("sc", ["delete", name])


# ---- Java homes and the stand-ins' records ---------------------------------------------------------

def make_java_home(root, jvm_layout="bin/server", java_layout="bin", jvm_source=None):
    """A Java home at root with jvm.dll under jvm_layout and java.exe under java_layout (None leaves
    the file out); jvm_source replaces the stand-in jvm.dll."""
    for layout, name, source in ((jvm_layout, "jvm.dll", jvm_source or os.environ["STUB_JVM_DLL"]),
                                 (java_layout, "java.exe", os.environ["STUB_JAVA_EXE"])):
        if layout is not None:
            os.makedirs(os.path.join(root, layout), exist_ok=True)
            shutil.copyfile(source, os.path.join(root, layout, name))
    return root


def write_fake_pe_image(path, machine=OTHER_MACHINE):
    """The headers of a PE image and nothing else: of OWN_MACHINE it is found but fails to load."""
    amd64 = machine == 0x8664
    optional_size = 0xF0 if amd64 else 0xE0
    coff = struct.pack("<HHIIIHH", machine, 0, 0, 0, 0, optional_size, 0x2022)
    optional = struct.pack("<H", 0x20B if amd64 else 0x10B) + bytes(optional_size - 2)
    write_file(path, b"MZ" + bytes(0x3A) + struct.pack("<I", 0x40) + b"PE\0\0" + coff + optional)


class Run:
    """One process's part of a record file: (key, value) pairs in order; events have value None."""

    def __init__(self):
        self.entries = []

    def values(self, key):
        return [v for k, v in self.entries if k == key]

    def value(self, key, default=None):
        return (self.values(key) or [default])[-1]

    def has(self, key):
        return any(k == key for k, _ in self.entries)

    @property
    def options(self):
        return self.values("option")

    @property
    def env(self):
        return {k[4:]: v for k, v in self.entries if k.startswith("env.")}

    def __repr__(self):
        return repr(self.entries)


def read_record(path):
    """One Run per process of a record file (the stand-ins separate them by "---")."""
    runs = [Run()]
    for line in read_text(path).splitlines():
        if line == "---":
            runs.append(Run())
        elif line:
            key, sep, value = line.partition("=")
            runs[-1].entries.append((key, value if sep else None))
    return [run for run in runs if run.entries]


# ---- agent homes -------------------------------------------------------------------------------------

class Home:
    """An agent home laid out as an installation (bin\\agent.exe with its symbol file, conf\\agent, lib,
    var\\log, var\\temp) inside a scratch folder, with a Java home of the stand-ins in jdk beside it."""

    def __init__(self, name="agent home", java=True, root=None):
        self.root = root or tempfile.mkdtemp(prefix="agent-e2e-")
        self.path = os.path.join(self.root, name)
        for sub in ("bin", "conf/agent", "lib", "var/log", "var/temp"):
            os.makedirs(os.path.join(self.path, sub))
        self.exe = self.file("bin/agent.exe")
        shutil.copyfile(AGENT_EXE, self.exe)
        symbols = os.path.splitext(AGENT_EXE)[0] + ".pdb"
        if os.path.exists(symbols):
            shutil.copyfile(symbols, self.file("bin/agent.pdb"))
        self.windows = windows_path(self.path)
        self.service = service_name_of(self.windows)
        self.record_path = self.file("var/stub-jvm.record")
        if java:
            self.java_home = make_java_home(os.path.join(self.root, "jdk"))
            self.write("conf/agent/javahome.conf", windows_path(self.java_home) + "\r\n")
            self.write("conf/agent/javaopts.conf", "")

    def file(self, relative):
        return os.path.join(self.path, *relative.split("/"))

    def write(self, relative, content):
        write_file(self.file(relative), content)

    def run(self, *args, env=None, timeout=BOUND, cwd=None):
        return run_windows(self.exe, args, env=env, timeout=timeout, cwd=cwd)

    def runs(self):
        return read_record(self.record_path)

    def wait_for_runs(self, count, event):
        """Waits until the stand-in runtime of the count-th process has recorded `event`; its runs."""
        return wait_until(lambda: len(self.runs()) >= count and self.runs()[count - 1].has(event) and self.runs(),
                          "run %d of the stand-in runtime to record %s" % (count, event))

    def log(self):
        return read_text(self.file("var/log/stdout"))

    def remove(self):
        kill_processes(self.windows + "\\")
        shutil.rmtree(self.root, ignore_errors=True)


class AgentTestCase(unittest.TestCase):
    """Each test gets an agent home (with a Java home unless `java` is False); the homes a test makes
    are removed afterwards with their processes (and services), also when the test fails."""

    home_name = "agent home"
    java = True
    services = False  # whether the homes' services are looked for and removed afterwards

    def setUp(self):
        self.home = self.make_home(self.home_name, self.java)

    def make_home(self, name="agent home", java=True, root=None):
        home = Home(name, java, root)
        self.addCleanup(home.remove)
        if self.services:
            self.addCleanup(remove_service, home.service, home)
        return home

    def last_run(self, home=None):
        runs = (home or self.home).runs()
        self.assertTrue(runs, "the stand-in runtime recorded nothing")
        return runs[-1]

    def assertNoCrash(self, result):
        for marker in CRASH_MARKERS:
            self.assertNotIn(marker, result.stderr, result)

    def assertLogLine(self, text, level, message):
        """A log line of `level` whose message is `message`, or that matches it when it is a pattern."""
        messages = [r[4] for r in log_records(text, level)]
        matches = [m for m in messages if (message.match(m) if hasattr(message, "match") else m == message)]
        self.assertTrue(matches, "no %s line %r in:\n%s" % (level, message, text))
