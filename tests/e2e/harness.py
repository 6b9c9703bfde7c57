"""What the end-to-end tests share: agent homes with the stand-in Java runtime (tests/support/stub_jvm),
bounded runs under Wine, the stand-ins' record files, services, and processes left behind."""

import contextlib
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
BOUND = 60  # seconds: no test waits longer than this for one program or one state
STOPPED, RUNNING = 1, 4
AUTO_START, DEMAND_START, DISABLED = 2, 3, 4
SCRUBBED = ("QUENDA_SERVICE_LOGGING_LEVEL", "QUENDA_SERVICE_LOG_PER_PID", "UPGRADE_SET_AGENT_HOME",
            "UPGRADE_PARENT_HANDLE", "TESTJVM_JAVA_HOME", "JAVA_DEBUG_OPTS", "QUENDA_CHECK_JNI")
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
    while not (value := predicate()):
        if time.monotonic() > deadline:
            raise AssertionError("timed out waiting for " + what)
        time.sleep(0.05)
    return value


def read_text(path):
    """A file's text (undecodable bytes kept visible as \\xNN), "" when there is no such file."""
    with open(path, "rb") if os.path.exists(path) else open(os.devnull, "rb") as f:
        return f.read().decode("utf-8", errors="backslashreplace")


def write_file(path, content):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(content if isinstance(content, bytes) else content.encode("utf-8"))


def log_records(text, level=None):
    """(level, function, file, line, message) of the log lines of `text`, of one level if given."""
    return [m.groups() for m in map(LOG_LINE.match, text.splitlines()) if m and level in (None, m.group(1))]


class Result:
    def __init__(self, returncode, out, err):
        self.returncode = returncode
        self.stdout, self.stderr = (f.seek(0) or f.read().decode("utf-8", errors="replace") for f in (out, err))
        self.stderr_lines = self.stderr.splitlines()

    def __repr__(self):
        return "rc=%d\nstdout:\n%s\nstderr:\n%s" % (self.returncode, self.stdout, self.stderr)


def run_windows(program, args, env=None, timeout=BOUND, cwd=None):
    env = dict({k: v for k, v in os.environ.items() if k not in SCRUBBED}, **(env or {}))
    # Files, not pipes: a detached grandchild (the background agent) keeps Wine's copies of the
    # descriptors open, and a pipe would not reach its end until that agent stops.
    with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
        done = subprocess.run([WINE_RUN, program] + list(args), env=env, stdin=subprocess.DEVNULL, stdout=out,
                              stderr=err, timeout=timeout, cwd=cwd)
        return Result(done.returncode, out, err)


def processes_naming(marker):
    """Ids of the processes whose command line (Wine shows the Windows one) contains `marker`, in any case."""
    found = []
    for pid in filter(str.isdigit, os.listdir("/proc")):
        with contextlib.suppress(OSError), open("/proc/%s/cmdline" % pid, "rb") as f:
            if marker.lower() in f.read().replace(b"\0", b" ").decode("utf-8", errors="replace").lower():
                found.append(int(pid))
    return found


def kill_processes(marker):
    for pid in processes_naming(marker):
        with contextlib.suppress(OSError):
            os.kill(pid, 9)


def query_service(name):
    """What the service manager holds for the service, read by a client that is not the program under
    test, or None when there is no such service."""
    result = run_windows(HELPER_EXE, ["query", name])
    values = {k: int(v) if v.isdigit() else v for k, v in (line.split("=", 1) for line in result.stdout.splitlines())}
    if result.returncode != 0 and values.get("error") != 1060:
        raise AssertionError("query of %s failed: %r" % (name, result))
    return values if result.returncode == 0 else None


def wait_for_state(name, state):
    return wait_until(lambda: (query_service(name) or {}).get("state") == state and query_service(name),
                      "service %s to reach state %d" % (name, state))


def remove_service(name, home=None):
    """Stops (through the shutdown marker of `home` if given, then the manager) and deletes a service.
    A service process that ended without its final report stays "running" in Wine's service manager:
    its processes are ended by id and the registration is deleted regardless."""
    if query_service(name) is not None:
        if home:
            write_file(home.file("var/shutdown"), b"")
        run_windows("sc", ["stop", name])
        with contextlib.suppress(AssertionError):
            wait_until(lambda: (query_service(name) or {}).get("state", STOPPED) == STOPPED, "the stop", 45)
        if home:
            kill_processes(home.windows + "\\bin")
        run_windows("sc", ["delete", name])


def make_java_home(root, jvm_layout="bin/server", java_layout="bin", jvm_source=None):
    """A Java home of the stand-ins (or jvm_source for jvm.dll); a layout of None leaves its file out."""
    for layout, name, source in ((jvm_layout, "jvm.dll", jvm_source or os.environ["STUB_JVM_DLL"]),
                                 (java_layout, "java.exe", os.environ["STUB_JAVA_EXE"])):
        if layout is not None:
            os.makedirs(os.path.join(root, layout), exist_ok=True)
            shutil.copyfile(source, os.path.join(root, layout, name))
    return root


def write_fake_pe_image(path, machine=OTHER_MACHINE):
    """The headers of a PE image and nothing else: of OWN_MACHINE it is found but fails to load."""
    size = 0xF0 if machine == 0x8664 else 0xE0
    optional = struct.pack("<H", 0x20B if machine == 0x8664 else 0x10B) + bytes(size - 2)
    coff = struct.pack("<HHIIIHH", machine, 0, 0, 0, 0, size, 0x2022)
    write_file(path, b"MZ" + bytes(0x3A) + struct.pack("<I", 0x40) + b"PE\0\0" + coff + optional)


class Run(list):
    """One process's part of a record file: (key, value) pairs in order; events have value None."""

    def value(self, key, default=None):
        return ([v for k, v in self if k == key] or [default])[-1]

    def has(self, key):
        return any(k == key for k, _ in self)

    options = property(lambda self: [v for k, v in self if k == "option"])
    env = property(lambda self: {k[4:]: v for k, v in self if k.startswith("env.")})


def read_record(path):
    """One Run per process of a record file (the stand-ins separate them by "---")."""
    runs = [Run()]
    for line in read_text(path).splitlines():
        if line == "---":
            runs.append(Run())
        elif line:
            key, sep, value = line.partition("=")
            runs[-1].append((key, value if sep else None))
    return [run for run in runs if run]


class Home:
    """An agent home laid out as an installation (bin\\agent.exe with its symbol file, conf\\agent, lib,
    var\\log, var\\temp) in a scratch folder, with a Java home of the stand-ins in jdk beside it."""

    def __init__(self, name="agent home", java=True, root=None):
        self.root = root or tempfile.mkdtemp(prefix="agent-e2e-")
        self.path = os.path.join(self.root, name)
        for sub in ("bin", "conf/agent", "lib", "var/log", "var/temp"):
            os.makedirs(self.file(sub))
        self.exe, self.record_path = self.file("bin/agent.exe"), self.file("var/stub-jvm.record")
        shutil.copyfile(AGENT_EXE, self.exe)
        if os.path.exists(os.path.splitext(AGENT_EXE)[0] + ".pdb"):
            shutil.copyfile(os.path.splitext(AGENT_EXE)[0] + ".pdb", self.file("bin/agent.pdb"))
        self.windows = windows_path(self.path)
        self.service = service_name_of(self.windows)
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
        """The runs, once the stand-in runtime of the count-th process has recorded `event`."""
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
    services = False

    def setUp(self):
        self.home = self.make_home(self.home_name, self.java)

    def make_home(self, name="agent home", java=True, root=None):
        home = Home(name, java, root)
        self.addCleanup(home.remove)
        if self.services:
            self.addCleanup(remove_service, home.service, home)
        return home

    def run_ok(self, *args, **kwargs):
        """The result of a run of this test's home's program that ended with exit code 0."""
        result = self.home.run(*args, **kwargs)
        self.assertEqual(result.returncode, 0, result)
        return result

    def last_run(self, home=None):
        runs = (home or self.home).runs()
        self.assertTrue(runs, "the stand-in runtime recorded nothing")
        return runs[-1]

    def assertLogLine(self, text, level, message):
        """A log line of `level` whose message is `message`."""
        self.assertIn(message, [r[4] for r in log_records(text, level)], text)
