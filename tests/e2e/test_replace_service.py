"""_check_replace_service and _replace_service against Wine's service manager and registry.

The older generation's service is the test helper's scripted service, copied into the agent home's bin
directory under a name of its own and registered from there with Wine's sc.exe; its settings subtree
under HKEY_LOCAL_MACHINE\\SOFTWARE\\Brindle\\Tolbin3 is made with Wine's reg.exe in the 32-bit view,
where the older, 32-bit generation wrote it. Every test removes both services and the subtree."""

import os
import shutil
import unittest
import uuid

from harness import (AUTO_START, DEMAND_START, DISABLED, HELPER_EXE, RUNNING, AgentTestCase, log_records, query_service,
                     read_text, remove_service, run_windows, wait_for_state)

SETTINGS = "HKEY_LOCAL_MACHINE\\SOFTWARE\\Brindle\\Tolbin3\\"
OLD_SUBKEYS = ["Monitors", "Parameters", "Parameters\\Java", "Parameters\\Java\\Options", "Parameters\\Logging"]


class ReplacementTest(AgentTestCase):
    java = False
    services = True

    def setUp(self):
        super().setUp()
        self.old = "tolbin3-e2e-" + uuid.uuid4().hex[:12]
        shutil.copyfile(HELPER_EXE, self.home.file("bin/tolbin3svc.exe"))
        self.addCleanup(run_windows, "reg", ["delete", SETTINGS + self.old, "/f", "/reg:32"])
        self.addCleanup(remove_service, self.old)
        # What the replacement checks before it may go ahead.
        for relative in ("monitor/checks/state.txt", "bin/classpath.conf", "bin/worker-args.conf"):
            self.home.write(relative, "x\n")

    def install_old(self, start, account=None, settings=True):
        script = self.home.windows + "\\bin\\tolbin3svc.txt"
        args = ["create", self.old, "binpath=", '"%s\\bin\\tolbin3svc.exe" service "%s"' % (self.home.windows, script),
                "start=", start] + (["obj=", account] if account else [])
        result = run_windows("sc", args)
        self.assertEqual(result.returncode, 0, result)
        for subkey in OLD_SUBKEYS if settings else ():
            self.assertEqual(run_windows("reg", ["add", SETTINGS + self.old + "\\" + subkey, "/f", "/reg:32"]).returncode, 0)

    def settings(self):
        """The keys below the old service's settings key, or None when there is none."""
        result = run_windows("reg", ["query", SETTINGS + self.old, "/s", "/reg:32"])
        prefix = SETTINGS + self.old + "\\"
        return sorted(line.strip()[len(prefix):] for line in result.stdout.splitlines()
                      if line.startswith(prefix)) if result.returncode == 0 else None

    def check_and_replace(self, expected, reason=None):
        """_check_replace_service answers `expected`; _replace_service replaces (1, 2) or refuses with it."""
        debug = {"QUENDA_SERVICE_LOGGING_LEVEL": "debug"}
        result = self.home.run("_check_replace_service", env=debug)
        self.assertEqual((result.returncode, result.stdout.strip()), (0, str(expected)), result)
        if reason:
            self.assertIn(reason, [r[4] for r in log_records(result.stderr, "DEBUG")])
        result = self.home.run("_replace_service", env=debug)
        if expected in (1, 2):
            self.assertEqual(result.returncode, 0, result)
        else:
            self.assertEqual((result.returncode, result.stderr_lines[-1]), (1, "service not replaceable: %d" % expected))
        return result

    def assertReplacedBy(self, start_type):
        self.assertIsNone(query_service(self.old))
        self.assertIsNone(self.settings())
        new = query_service(self.home.service)
        self.assertEqual((new["start"], new["account"], new["binary"], new["preshutdown"]),
                         (start_type, "LocalSystem", '"%s\\bin\\agent.exe" _service_continue' % self.home.windows, 45000))
        return new

    def test_what_is_not_replaced(self):
        self.check_and_replace(3)
        self.install_old("demand", account="NT AUTHORITY\\NetworkService")
        self.check_and_replace(4, "installed, not replaceable: user is not localsystem")
        remove_service(self.old)
        # A monitor directory that cannot be deleted (here: there is none) leaves the decision open.
        self.install_old("demand")
        shutil.rmtree(self.home.file("monitor"))
        self.check_and_replace(0)
        self.assertEqual(self.settings(), OLD_SUBKEYS)

    def test_a_stopped_service_and_its_settings_are_replaced_also_with_a_link_back_up_in_the_monitor_tree(self):
        self.install_old("demand")
        # A link back up inside the monitor directory is judged as a link, not walked round for ever.
        os.symlink("..", self.home.file("monitor/checks/back"))
        self.check_and_replace(2, "installed, replaceable, not running")
        self.assertReplacedBy(DEMAND_START)
        # This home's own service now decides.
        self.check_and_replace(6)

    def test_a_running_automatic_service_is_stopped_by_its_request_and_stays_automatic(self):
        self.install_old("auto")
        self.assertEqual(run_windows("sc", ["start", self.old]).returncode, 0)
        pid = wait_for_state(self.old, RUNNING)["pid"]
        result = self.check_and_replace(1)
        # Started from outside the old service, the command is no descendant of its process.
        self.assertIn("service process not found: pid=%d" % pid, [r[4] for r in log_records(result.stderr, "DEBUG")])
        self.assertIn("stop.request", read_text(self.home.file("bin/tolbin3svc.txt.log")).split())
        # Where the manager does not know delayed start (error 124) the old one cannot have been delayed.
        self.assertIn(self.assertReplacedBy(AUTO_START)["delayed"], (0, "unsupported:124"))

    def test_a_disabled_service_without_settings_is_replaced(self):
        self.install_old("disabled", settings=False)
        self.check_and_replace(2, "registry key not found")
        self.assertReplacedBy(DISABLED)


if __name__ == "__main__":
    unittest.main()
