"""The self-upgrade relay: "_upgrade", "_upgrade_continue" and the restart from the installed executable."""

import filecmp
import os
import unittest

from harness import AgentTestCase, read_record, read_text, run_windows, wait_until, windows_path

RELAY_VARIABLES = ("UPGRADE_SET_AGENT_HOME", "UPGRADE_JAVA_OPTS", "UPGRADE_PARENT_HANDLE")


class UpgradeTest(AgentTestCase):
    def setUp(self):
        super().setUp()
        self.jar = self.home.file("var/upgrade/quill-agentupgrade.jar")
        self.home.write("var/upgrade/quill-agentupgrade.jar", "exit=0\n")
        self.home.write("var/log/upgrade.log", "x" * 10000)  # a log from before, truncated by the next upgrader

    def upgrader_command_line(self, extra_options):
        quote = lambda path: '"%s"' % path if " " in path else path  # noqa: E731
        jar = quote(self.home.windows + "\\var\\upgrade\\quill-agentupgrade.jar")
        return "%s %s -jar %s %s" % (quote(windows_path(self.home.java_home) + "\\bin\\java.exe"), extra_options, jar, jar)

    def start_agent_that_upgrades(self, main):
        self.home.write("conf/agent/javaopts.conf", "-Dstub.spawn=_upgrade start\n-Dstub.spawn.once=%s\n-Dstub.main=%s\n"
                        % (windows_path(self.home.file("var/upgraded-once")), main))
        result = self.home.run("start")
        self.assertEqual(result.returncode, 0, result)

    def assertBroughtBack(self, runs, upgrader_log):
        """The agent the relay started again: with its mode, without the relay's variables, after the
        upgrader ran and its archive and the executable copy the relay ran from are gone."""
        self.assertIn("-Dagent.mode=start", runs[1].options)
        self.assertTrue(runs[1].has("spawn.skipped"), runs[1])
        self.assertEqual([name for name in RELAY_VARIABLES if name in runs[1].env], [])
        self.assertEqual(upgrader_log.replace("\r\n", "\n"),
                         "stub upgrader: stdout jar=%s\nstub upgrader: stderr\n" % windows_path(self.jar))
        self.assertFalse(os.path.exists(self.jar))
        wait_until(lambda: not any(os.path.exists(self.home.file("var/agent." + x)) for x in ("exe", "pdb")),
                   "the executable copy and its symbol file to be removed")

    def test_a_running_agent_is_upgraded_and_brought_back_with_its_mode(self):
        self.start_agent_that_upgrades("return")
        runs = self.home.wait_for_runs(2, "destroy")
        self.assertTrue(runs[0].has("spawn.pid"), runs[0])
        [upgrader] = read_record(self.home.file("var/stub-java.record"))
        # Without UPGRADE_JAVA_OPTS two blanks stand before -jar.
        self.assertEqual(upgrader.value("cmdline"), self.upgrader_command_line(""))
        self.assertEqual(upgrader.value("cwd").rstrip("\\"), self.home.windows)
        self.assertEqual(upgrader.env.get("UPGRADE_SET_AGENT_HOME"), self.home.windows)
        self.assertNotIn("UPGRADE_PARENT_HANDLE", upgrader.env)
        self.assertBroughtBack(runs, read_text(self.home.file("var/log/upgrade.log")))

    def test_an_agent_killed_while_the_relay_waits_for_it(self):
        """Every record of the relay reaches its log at once: it is seen while the relay waits, and
        the relay goes on from the kill."""
        self.start_agent_that_upgrades("wait-shutdown")
        first = self.home.wait_for_runs(1, "spawn.pid")[0]
        wait_until(lambda: "Waiting for parent to terminate..." in self.home.log(), "the relay's wait in the log")
        # The copy the relay runs from has its symbol file beside it, so that its stack traces resolve.
        self.assertTrue(filecmp.cmp(self.home.file("bin/agent.pdb"), self.home.file("var/agent.pdb"), shallow=False))
        killed = run_windows("taskkill", ["/f", "/pid", first.value("pid")])
        self.assertEqual(killed.returncode, 0, killed)
        runs = self.home.wait_for_runs(2, "main.thread")
        self.assertFalse(runs[0].has("destroy"), runs[0])  # it never ended by itself
        self.assertBroughtBack(runs, read_text(self.home.file("var/log/upgrade.log")))
        self.assertEqual(self.home.run("stop").returncode, 0)
        self.home.wait_for_runs(2, "destroy")

    def continue_upgrade(self, *args, extra_options=None):
        # AGENT_HOME tells the stand-in java.exe where its record goes; a relay inherits it from the agent.
        env = {"UPGRADE_SET_AGENT_HOME": self.home.windows, "AGENT_HOME": self.home.windows}
        if extra_options is not None:
            env["UPGRADE_JAVA_OPTS"] = extra_options
        return self.home.run("_upgrade_continue", *args, env=env)

    def test_the_upgrader_status_is_only_logged_and_extra_options_are_inserted(self):
        self.home.write("var/upgrade/quill-agentupgrade.jar", "exit=5\n")
        options = '-Dupgrade.a=1 -Xmx64m "-Dproxy.password=p w" -Dapi.Token=t0k'
        result = self.continue_upgrade("run", "-debug", extra_options=options)
        self.assertEqual(result.returncode, 0, result)
        self.assertLogLine(result.stderr, "INFO ", "Upgrader exited: status=5")
        self.assertLogLine(result.stderr, "INFO ", "Executing upgrader: " + self.upgrader_command_line(
            "-Dupgrade.a=1 -Xmx64m -Dproxy.password=******** -Dapi.Token=********"))
        # The upgrader still sees the relay's settings; the agent brought back sees none of them.
        self.assertEqual(read_record(self.home.file("var/stub-java.record"))[0].env.get("UPGRADE_JAVA_OPTS"), options)
        run = self.home.wait_for_runs(1, "destroy")[0]
        self.assertIn("-Dagent.mode=run", run.options)
        self.assertEqual([name for name in RELAY_VARIABLES if name in run.env], [])

    def test_an_archive_gone_at_deletion_still_restarts_then_fails(self):
        # The upgrader removes its own archive, so the relay's deletion finds nothing.
        self.home.write("var/upgrade/quill-agentupgrade.jar", "delete.jar=yes\n")
        result = self.continue_upgrade("run")
        self.assertEqual(result.returncode, 1, result)
        self.assertLogLine(result.stderr, "INFO ", "Upgrade failed with an exception - attempting to restart agent.")
        fatal = result.stderr[result.stderr.index("FATAL "):]
        self.assertIn("call=DeleteFileW(2)", fatal.split("\tat ")[0])
        self.assertNotIn("Exception attempting to restart", result.stderr)
        self.assertIn("-Dagent.mode=run", self.home.wait_for_runs(1, "destroy")[0].options)


if __name__ == "__main__":
    unittest.main()
