"""The agent home layout as fresh processes compute it, through home_probe (linked with the layout code)."""

import os
import re
import shutil
import time
import unittest

from harness import AgentTestCase, run_windows

PROBE = os.environ["HOME_PROBE_EXE"]


class AgentHomeTest(AgentTestCase):
    def setUp(self):
        super().setUp()
        self.probe = self.home.file("bin/home_probe.exe")
        shutil.copyfile(PROBE, self.probe)

    def layout(self, *args, env=None):
        result = run_windows(self.probe, args, env=env)
        self.assertEqual(result.returncode, 0, result)
        return dict(line.split("=", 1) for line in result.stdout.splitlines())

    def test_home_is_the_directory_above_bin(self):
        layout = self.layout()
        home = self.home.windows
        self.assertEqual(layout["running_exe_path"], home + "\\bin\\home_probe.exe")
        self.assertEqual(layout["agent_home"], home)
        self.assertEqual(layout["agent_exe_path"], home + "\\bin\\home_probe.exe")
        self.assertEqual(layout["var_exe_path"], home + "\\var\\home_probe.exe")
        self.assertEqual(layout["stdout_log_path"], home + "\\var\\log\\stdout")

    def test_upgrade_home_is_canonicalised_and_everything_follows_it(self):
        # A home at a drive's root is that root, "Z:\\" ("Z:" would be the current directory on Z).
        cases = {
            "Z:/elsewhere/agent/": "Z:\\elsewhere\\agent",
            "Z:\\elsewhere\\\\x\\..\\agent\\\\": "Z:\\elsewhere\\agent",
            "Z:/": "Z:\\",
        }
        for given, home in cases.items():
            with self.subTest(given=given):
                layout = self.layout(env={"UPGRADE_SET_AGENT_HOME": given})
                inside = home.rstrip("\\") + "\\"
                self.assertEqual(layout["agent_home"], home)
                self.assertEqual(layout["bin_dir"], inside + "bin")
                self.assertEqual(layout["agent_exe_path"], inside + "bin\\home_probe.exe")
                self.assertEqual(layout["var_dir"], inside + "var")
                self.assertEqual(layout["monitor_dir"], inside + "monitor")
                self.assertEqual(layout["running_exe_path"], self.home.windows + "\\bin\\home_probe.exe")

    def test_per_process_log_name_only_for_true(self):
        for value in (" TRUE ", "true", "\ttrue"):
            with self.subTest(value=value):
                before = int(time.time() * 1000)
                layout = self.layout(env={"QUENDA_SERVICE_LOG_PER_PID": value})
                after = int(time.time() * 1000)
                match = re.fullmatch(re.escape(self.home.windows + "\\var\\log\\stdout.") + r"(\d+)\.(\d+)",
                                     layout["stdout_log_path"])
                self.assertIsNotNone(match, layout["stdout_log_path"])
                self.assertEqual(match.group(2), layout["pid"])
                # Creation time of the probe in ms since 1970; Wine's start-up lies within the run.
                self.assertGreaterEqual(int(match.group(1)), before - 2000)
                self.assertLessEqual(int(match.group(1)), after + 2000)
        for value in ("1", "yes", "", "true!"):
            with self.subTest(value=value):
                layout = self.layout(env={"QUENDA_SERVICE_LOG_PER_PID": value})
                self.assertEqual(layout["stdout_log_path"], self.home.windows + "\\var\\log\\stdout")

    def test_request_shutdown_creates_or_empties_the_marker(self):
        marker = self.home.file("var/shutdown")
        self.layout("shutdown")
        self.assertEqual(os.path.getsize(marker), 0)
        with open(marker, "w") as stale:
            stale.write("left over")
        self.layout("shutdown")
        self.assertEqual(os.path.getsize(marker), 0)

if __name__ == "__main__":
    unittest.main()
