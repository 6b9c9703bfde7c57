"""Shared helpers of the end-to-end tests: throwaway agent homes and bounded runs under Wine."""

import os
import shutil
import subprocess
import tempfile
import time
import unittest

WINE_RUN = os.environ.get("WINE_RUN", "wine")
AGENT_EXE = os.environ["AGENT_EXE"]

# Every child run is bounded; a test never waits longer than this for one program.
DEFAULT_TIMEOUT = 60

def wait_until(predicate, timeout=DEFAULT_TIMEOUT, what="condition"):
    """Polls until predicate() holds; a bounded wait for something another process does."""
    deadline = time.monotonic() + timeout
    while not predicate():
        if time.monotonic() > deadline:
            raise AssertionError("timed out waiting for " + what)
        time.sleep(0.05)


CRASH_MARKERS = ("Unhandled exception", "wine: Unhandled", "winedbg", "Backtrace:")


def windows_path(path):
    """A Linux path as Windows programs under Wine see it."""
    return "Z:" + os.path.abspath(path).replace("/", "\\")


class Result:
    def __init__(self, completed):
        self.returncode = completed.returncode
        self.stdout = completed.stdout.decode("utf-8", errors="replace")
        self.stderr = completed.stderr.decode("utf-8", errors="replace")
        self.stderr_lines = self.stderr.splitlines()

    def __repr__(self):
        return "rc=%d\nstdout:\n%s\nstderr:\n%s" % (self.returncode, self.stdout, self.stderr)


def run_windows(program, args, env=None, timeout=DEFAULT_TIMEOUT, cwd=None):
    full_env = dict(os.environ)
    for name in ("QUENDA_SERVICE_LOGGING_LEVEL", "QUENDA_SERVICE_LOG_PER_PID", "UPGRADE_SET_AGENT_HOME",
                 "UPGRADE_PARENT_HANDLE", "TESTJVM_JAVA_HOME", "JAVA_DEBUG_OPTS", "QUENDA_CHECK_JNI"):
        full_env.pop(name, None)
    if env:
        full_env.update(env)
    # Files, not pipes: a detached grandchild (the background agent) keeps Wine's copies of the
    # descriptors open, and a pipe would not reach its end until that agent stops.
    with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
        completed = subprocess.run([WINE_RUN, program] + list(args), env=full_env, stdin=subprocess.DEVNULL,
                                   stdout=out, stderr=err, timeout=timeout, cwd=cwd)
        out.seek(0)
        err.seek(0)
        completed.stdout = out.read()
        completed.stderr = err.read()
    return Result(completed)


class AgentHome:
    """A fresh agent home laid out as an installation: bin\\agent.exe, conf\\agent, lib, var\\log, var\\temp."""

    def __init__(self, name="agent home"):
        self.root = tempfile.mkdtemp(prefix="agent-e2e-")
        self.path = os.path.join(self.root, name)
        for sub in ("bin", "conf/agent", "lib", "var/log", "var/temp"):
            os.makedirs(os.path.join(self.path, sub))
        self.exe = os.path.join(self.path, "bin", "agent.exe")
        shutil.copyfile(AGENT_EXE, self.exe)
        # As in an installation, the symbol file sits beside the program, so that its traces resolve.
        symbols = os.path.splitext(AGENT_EXE)[0] + ".pdb"
        if os.path.exists(symbols):
            shutil.copyfile(symbols, os.path.join(self.path, "bin", "agent.pdb"))

    @property
    def windows(self):
        return windows_path(self.path)

    def file(self, relative):
        return os.path.join(self.path, *relative.split("/"))

    def run(self, *args, env=None, timeout=DEFAULT_TIMEOUT):
        return run_windows(self.exe, args, env=env, timeout=timeout)

    def remove(self):
        shutil.rmtree(self.root, ignore_errors=True)


class AgentTestCase(unittest.TestCase):
    """Gives each test its own agent home, removed afterwards even when the test fails."""

    home_name = "agent home"

    def setUp(self):
        self.home = AgentHome(self.home_name)
        self.addCleanup(self.home.remove)

    def assertNoCrash(self, result):
        for marker in CRASH_MARKERS:
            self.assertNotIn(marker, result.stderr, result)
