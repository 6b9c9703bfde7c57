"""The self-upgrade relay: "_upgrade", "_upgrade_continue" and the restart from the installed executable."""

import os
import time
import unittest

import javahome
from agent_java import JavaAgentTestCase
from harness import wait_until

BOUND = 60.0
RELAY_VARIABLES = ("UPGRADE_SET_AGENT_HOME", "UPGRADE_JAVA_OPTS", "UPGRADE_PARENT_HANDLE")


def quote(path):
    return '"%s"' % path if " " in path or "\t" in path else path


class UpgradeTestCase(JavaAgentTestCase):
    def setUp(self):
        super().setUp()
        self.jar = self.home.file("var/upgrade/quill-agentupgrade.jar")
        self.java_record = self.home.file("var/stub-java.record")
        self.copy = self.home.file("var/agent.exe")

    def expected_upgrader_command_line(self, extra_options):
        jar = self.home.windows + "\\var\\upgrade\\quill-agentupgrade.jar"
        java = javahome.windows_path(self.java_home) + "\\bin\\java.exe"
        return "%s %s -jar %s %s" % (quote(java), extra_options, quote(jar), quote(jar))

    def wait_for_agent_runs(self, count):
        """Waits until `count` agent runs have ended (the stub destroyed its VM) and returns them."""
        return javahome.wait_for_record(self.record_path, lambda r: len(r) >= count and r[count - 1].has("destroy"),
                                        timeout=BOUND)

    def assertNoRelayVariables(self, env):
        for name in RELAY_VARIABLES:
            self.assertNotIn(name, env)


class RelayTest(UpgradeTestCase):
    def test_running_agent_is_upgraded_and_brought_back_with_its_mode(self):
        once = javahome.windows_path(os.path.join(self.home.root, "upgraded-once"))
        self.write_conf("javaopts.conf", "-Dstub.spawn=_upgrade start\n-Dstub.spawn.once=%s\n" % once)
        javahome.write_upgrader_jar(self.jar, exit_status=0)

        result = self.home.run("start")
        self.assertEqual(result.returncode, 0, result)
        runs = self.wait_for_agent_runs(2)
        # The first agent launched the relay; the agent it brought back did not launch another one.
        self.assertTrue(runs[0].has("spawn.pid"), runs[0].entries)
        self.assertTrue(runs[1].has("spawn.skipped"), runs[1].entries)
        self.assertIn("-Dagent.mode=start", runs[1].options)
        self.assertNoRelayVariables(runs[1].env)

        upgrader = javahome.read_record(self.java_record)
        self.assertEqual(len(upgrader), 1, upgrader)
        upgrader = upgrader[0]
        # Without UPGRADE_JAVA_OPTS two blanks stand before -jar.
        self.assertEqual(upgrader.value("cmdline"), self.expected_upgrader_command_line(""))
        self.assertEqual(upgrader.value("cwd").rstrip("\\"), self.home.windows)
        self.assertEqual(upgrader.env.get("UPGRADE_SET_AGENT_HOME"), self.home.windows)
        self.assertNotIn("UPGRADE_PARENT_HANDLE", upgrader.env)
        with open(self.home.file("var/log/upgrade.log"), encoding="utf-8", errors="replace") as f:
            log = f.read()
        self.assertIn("stub upgrader: stdout jar=", log)
        self.assertIn("stub upgrader: stderr", log)
        # The archive is gone, and so is the executable copy the relay ran from.
        self.assertFalse(os.path.exists(self.jar))
        wait_until(lambda: not os.path.exists(self.copy), timeout=BOUND, what="the executable copy to be removed")


class UpgradeContinueTest(UpgradeTestCase):
    """"_upgrade_continue" started directly: no predecessor to wait for, the rest as in a relay."""

    def continue_upgrade(self, *args, extra_options=None):
        # AGENT_HOME tells the stand-in java.exe where its record goes; a relay inherits it from the agent.
        env = {"UPGRADE_SET_AGENT_HOME": self.home.windows, "AGENT_HOME": self.home.windows}
        if extra_options is not None:
            env["UPGRADE_JAVA_OPTS"] = extra_options
        return self.home.run("_upgrade_continue", *args, env=env)

    def test_missing_mode(self):
        for word in ("_upgrade", "_upgrade_continue"):
            with self.subTest(word=word):
                result = self.home.run(word)
                self.assertEqual(result.returncode, 1, result)
                self.assertRegex(result.stderr_lines[-1],
                                 r"^ERROR do%s\(do_upgrade\.cpp:\d+\): Argument missing: mode$" % word)
        self.assertFalse(os.path.exists(self.copy))
        self.assertEqual(javahome.read_record(self.java_record), [])

    def test_upgrader_status_is_only_logged_and_extra_options_are_inserted(self):
        javahome.write_upgrader_jar(self.jar, exit_status=5)
        options = "-Dupgrade.a=1 -Xmx64m"
        result = self.continue_upgrade("run", "-debug", extra_options=options)
        self.assertEqual(result.returncode, 0, result)
        self.assertIn("Upgrader exited: status=5", result.stderr)
        self.assertIn("Executing upgrader: " + self.expected_upgrader_command_line(options), result.stderr)
        upgrader = javahome.read_record(self.java_record)[0]
        self.assertEqual(upgrader.value("cmdline"), self.expected_upgrader_command_line(options))
        # The upgrader still sees the relay's settings; the agent brought back sees none of them.
        self.assertEqual(upgrader.env.get("UPGRADE_JAVA_OPTS"), options)
        run = self.wait_for_agent_runs(1)[0]
        self.assertIn("-Dagent.mode=run", run.options)
        self.assertNoRelayVariables(run.env)
        self.assertFalse(os.path.exists(self.jar))

    def test_missing_archive_at_deletion_still_restarts_then_fails(self):
        # The upgrader removes its own archive, so the relay's deletion finds nothing.
        javahome.write_upgrader_jar(self.jar, delete_jar=True)
        result = self.continue_upgrade("run")
        self.assertEqual(result.returncode, 1, result)
        self.assertIn("Upgrade failed with an exception - attempting to restart agent.", result.stderr)
        fatal = result.stderr[result.stderr.index("FATAL "):]
        self.assertIn("call=DeleteFileW(2)", fatal.split("\tat ")[0])
        self.assertNotIn("Exception attempting to restart", result.stderr)
        run = self.wait_for_agent_runs(1)[0]
        self.assertIn("-Dagent.mode=run", run.options)


if __name__ == "__main__":
    unittest.main()
