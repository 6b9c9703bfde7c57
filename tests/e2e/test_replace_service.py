"""_check_replace_service and _replace_service against Wine's service manager and registry.

The older generation's service is tests/support/older_service.cpp, copied into the agent home's bin
directory under a name of its own and registered from there with Wine's sc.exe, its settings subtree
under HKEY_LOCAL_MACHINE\\SOFTWARE\\Brindle\\Tolbin3 made with Wine's reg.exe in the 32-bit view, where the
older, 32-bit generation wrote it. Registrations are read back
through the query mode of tests/support/test_service.cpp and reg.exe, not through the program under
test. Every test removes both services and the subtree, also when it fails.
"""

import hashlib
import os
import re
import shutil
import time
import unittest
import uuid

from harness import AgentTestCase, run_windows

OLDER_SERVICE_EXE = os.environ["OLDER_SERVICE_EXE"]
TEST_SERVICE_EXE = os.environ["TEST_SERVICE_EXE"]
BOUND = 60

SERVICE_STOPPED, SERVICE_RUNNING = 1, 4
AUTO_START, DEMAND_START, DISABLED = 2, 3, 4
DEBUG = {"QUENDA_SERVICE_LOGGING_LEVEL": "debug"}
SETTINGS = "HKEY_LOCAL_MACHINE\\SOFTWARE\\Brindle\\Tolbin3\\"
OLD_SUBKEYS = ["Monitors", "Parameters", "Parameters\\Java", "Parameters\\Java\\Options", "Parameters\\Logging"]


def service_name_of(windows_home):
    """The program's naming rule, computed independently: A-Z folded, UTF-16LE, SHA-256, 32 digits."""
    folded = "".join(chr(ord(c) + 32) if "A" <= c <= "Z" else c for c in windows_home)
    return "olvar-tesk-agent-" + hashlib.sha256(folded.encode("utf-16-le")).hexdigest()[:32]


def debug_lines(text):
    return [m.group(1) for m in re.finditer(r"^DEBUG \S+\(\S+:\d+\): (.*?)\r?$", text, re.M)]


def query(name):
    """What the service manager holds for the service, or None when there is no such service."""
    result = run_windows(TEST_SERVICE_EXE, ["--query", name], timeout=BOUND)
    values = dict(line.split("=", 1) for line in result.stdout.splitlines() if "=" in line)
    return values if result.returncode == 0 else None


def settings_subkeys(name):
    """The keys below the service's settings key, or None when there is no settings key."""
    result = run_windows("reg", ["query", SETTINGS + name, "/s", "/reg:32"], timeout=BOUND)
    if result.returncode != 0:
        return None
    prefix = SETTINGS + name + "\\"
    return sorted(line.strip()[len(prefix):] for line in result.stdout.splitlines() if line.startswith(prefix))


class ReplacementTestCase(AgentTestCase):
    def setUp(self):
        super().setUp()
        self.new_service = service_name_of(self.home.windows)
        self.old_service = "tolbin3-e2e-" + uuid.uuid4().hex[:12]
        self.old_exe = self.home.file("bin/tolbin3svc.exe")
        shutil.copyfile(OLDER_SERVICE_EXE, self.old_exe)
        self.addCleanup(self.remove_services)
        # What the replacement checks before it may go ahead.
        os.makedirs(self.home.file("monitor/checks"))
        for relative in ("monitor/checks/state.txt", "bin/classpath.conf", "bin/worker-args.conf"):
            with open(self.home.file(relative), "w") as f:
                f.write("x\n")

    def remove_services(self):
        for name in (self.old_service, self.new_service):
            if query(name) is None:
                continue
            run_windows("sc", ["stop", name], timeout=BOUND)
            deadline = time.monotonic() + 30
            while query(name).get("state") != str(SERVICE_STOPPED) and time.monotonic() < deadline:
                time.sleep(0.2)
            run_windows("sc", ["delete", name], timeout=BOUND)
        run_windows("reg", ["delete", SETTINGS + self.old_service, "/f", "/reg:32"], timeout=BOUND)

    def install_old(self, start, account=None, settings=True):
        binary = '"%s\\bin\\tolbin3svc.exe" --service' % self.home.windows
        args = ["create", self.old_service, "binpath=", binary, "start=", start] + (["obj=", account] if account else [])
        result = run_windows("sc", args, timeout=BOUND)
        self.assertEqual(result.returncode, 0, result)
        for subkey in OLD_SUBKEYS if settings else ():
            result = run_windows("reg", ["add", SETTINGS + self.old_service + "\\" + subkey, "/f", "/reg:32"],
                                 timeout=BOUND)
            self.assertEqual(result.returncode, 0, result)

    def check(self, env=None):
        result = self.home.run("_check_replace_service", env=env)
        self.assertEqual(result.returncode, 0, result)
        return int(result.stdout.strip()), result

    def replace(self):
        return self.home.run("_replace_service", env=DEBUG)

    def assertReplacedBy(self, start_type):
        self.assertIsNone(query(self.old_service))
        self.assertIsNone(settings_subkeys(self.old_service))
        new = query(self.new_service)
        self.assertEqual(int(new["start"]), start_type)
        self.assertEqual(new["account"], "LocalSystem")
        self.assertEqual(new["binary"], '"%s\\bin\\agent.exe" _service_continue' % self.home.windows)
        return new


class DecisionTest(ReplacementTestCase):
    def test_no_service_of_this_home(self):
        code, _ = self.check()
        self.assertEqual(code, 3)
        result = self.replace()
        self.assertEqual(result.returncode, 1, result)
        self.assertEqual(result.stderr_lines[-1], "service not replaceable: 3")

    def test_old_service_under_another_account_is_not_replaceable(self):
        self.install_old("demand", account="NT AUTHORITY\\NetworkService")
        code, result = self.check(env=DEBUG)
        self.assertEqual(code, 4, result)
        self.assertIn("installed, not replaceable: user is not localsystem", debug_lines(result.stderr))
        result = self.replace()
        self.assertEqual(result.returncode, 1, result)
        self.assertEqual(result.stderr_lines[-1], "service not replaceable: 4")
        self.assertIsNotNone(query(self.old_service))

    def test_monitor_directory_that_cannot_be_deleted_leaves_the_decision_open(self):
        self.install_old("demand")
        shutil.rmtree(self.home.file("monitor"))
        code, result = self.check(env=DEBUG)
        self.assertEqual(code, 0, result)
        result = self.replace()
        self.assertEqual(result.returncode, 1, result)
        self.assertEqual(result.stderr_lines[-1], "service not replaceable: 0")
        self.assertEqual(settings_subkeys(self.old_service), OLD_SUBKEYS)


class ReplacementTest(ReplacementTestCase):
    def test_stopped_manual_service_and_its_settings_are_replaced(self):
        self.install_old("demand")
        self.assertEqual(settings_subkeys(self.old_service), OLD_SUBKEYS)
        # A link back up inside the monitor directory is deleted as a link, not walked round for ever.
        os.symlink("..", self.home.file("monitor/checks/back"))
        code, result = self.check(env=DEBUG)
        self.assertEqual(code, 2, result)
        self.assertIn("installed, replaceable, not running", debug_lines(result.stderr))

        result = self.replace()
        self.assertEqual(result.returncode, 0, result)
        self.assertReplacedBy(DEMAND_START)

        # This home's own service now decides.
        code, _ = self.check()
        self.assertEqual(code, 6)
        result = self.replace()
        self.assertEqual(result.returncode, 1, result)
        self.assertEqual(result.stderr_lines[-1], "service not replaceable: 6")

    def test_running_automatic_service_is_stopped_by_the_request_and_stays_automatic(self):
        self.install_old("auto")
        started = run_windows("sc", ["start", self.old_service], timeout=BOUND)
        self.assertEqual(started.returncode, 0, started)
        deadline = time.monotonic() + BOUND
        while query(self.old_service).get("state") != str(SERVICE_RUNNING):
            self.assertLess(time.monotonic(), deadline, "the old service did not start")
            time.sleep(0.2)
        pid = int(query(self.old_service)["pid"])
        code, _ = self.check()
        self.assertEqual(code, 1)

        result = self.replace()
        self.assertEqual(result.returncode, 0, result)
        # Started from outside the old service, the command is no descendant of its process.
        self.assertIn("service process not found: pid=%d" % pid, debug_lines(result.stderr))
        with open(self.old_exe + ".log") as f:
            self.assertIn("stop.request", f.read().split())
        new = self.assertReplacedBy(AUTO_START)
        # Where the manager does not know delayed start (error 124) the old one cannot have been delayed.
        self.assertIn(new["delayed"], ("0", "unsupported:124"))

    def test_delayed_service_is_replaced_as_delayed(self):
        self.install_old("auto")
        if query(self.old_service)["delayed"].startswith("unsupported"):
            self.skipTest("this service manager does not support delayed automatic start")
        result = run_windows("sc", ["config", self.old_service, "start=", "delayed-auto"], timeout=BOUND)
        self.assertEqual(result.returncode, 0, result)
        result = self.replace()
        self.assertEqual(result.returncode, 0, result)
        self.assertEqual(self.assertReplacedBy(AUTO_START)["delayed"], "1")

    def test_disabled_service_without_settings_is_replaced(self):
        self.install_old("disabled", settings=False)
        code, result = self.check(env=DEBUG)
        self.assertEqual(code, 2, result)
        self.assertIn("registry key not found", debug_lines(result.stderr))
        result = self.replace()
        self.assertEqual(result.returncode, 0, result)
        self.assertReplacedBy(DISABLED)


if __name__ == "__main__":
    unittest.main()
