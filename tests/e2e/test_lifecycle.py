"""The environment script, the background agent, stop, restart, ancestors and the upgrade hand-over."""

import os
import re
import shutil
import subprocess
import time
import unittest

import javahome
from agent_java import JavaAgentTestCase
from harness import AGENT_EXE, WINE_RUN, AgentHome, run_windows, wait_until

BOUND = 30.0


class EnvironmentScriptTest(JavaAgentTestCase):
    def write_script(self, name, text):
        with open(self.home.file("bin/" + name), "w", newline="") as f:
            f.write(text.replace("\n", "\r\n"))

    def test_winenv_dumps_the_raw_block(self):
        result = subprocess.run([WINE_RUN, self.home.exe, "_winenv", "ignored"], stdin=subprocess.DEVNULL,
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=BOUND,
                                env=dict(os.environ, AGENT_DUMP_PROBE="v\u00e9"))
        self.assertEqual(result.returncode, 0, result.stderr)
        dump = result.stdout
        self.assertEqual(len(dump) % 2, 0)
        self.assertTrue(dump.endswith(b"\0\0\0\0"))
        entries = dump.decode("utf-16-le").rstrip("\0").split("\0")
        self.assertIn("AGENT_DUMP_PROBE=v\u00e9", entries)

    def test_set_env_variables_reach_the_agent_and_removed_ones_disappear(self):
        self.write_script("tool_env.cmd", "set FROM_TOOL=t\nset ORDER=tool\n")
        self.write_script("set_env.cmd", "@echo noise on stdout\nset FOO=1\nset ORDER=%ORDER%,set\nset DOOMED=\n")
        self.write_conf("javaopts.conf", "-Dstub.env=FOO,FROM_TOOL,ORDER,DOOMED\n")
        result = self.home.run("run", env={"DOOMED": "x", "QUENDA_SERVICE_LOGGING_LEVEL": "debug"})
        self.assertEqual(result.returncode, 0, result)
        env = self.last_run().env
        self.assertEqual(env.get("FOO"), "1")
        self.assertEqual(env.get("FROM_TOOL"), "t")
        self.assertEqual(env.get("ORDER"), "tool,set")
        self.assertNotIn("DOOMED", env)
        self.assertIn("Did load set_env.cmd", result.stderr)
        # The generated script is gone again.
        self.assertEqual(os.listdir(self.home.file("var/temp")), [])

    def test_every_home_loads_its_set_env_from_another_drive(self):
        """Blanks with ( ) or &, non-ASCII letters; a cmd.exe in bin is never the interpreter that runs."""
        c_drive = run_windows("winepath", ["-u", "C:\\"]).stdout.strip()
        for name, plant_cmd in (("Program Files (x86)/Agent", False), ("R&D Agent", False),
                                ("h\u00e9me \u4e2d", False), ("agent home", True)):
            with self.subTest(home=name):
                home = AgentHome(name)
                self.addCleanup(home.remove)
                self.prepare(home)
                if plant_cmd:
                    shutil.copyfile(AGENT_EXE, home.file("bin/cmd.exe"))
                self.write_script("set_env.cmd", 'set FOO=1\nset "SCRIPT_CWD=%CD%"\n')
                self.write_conf("javaopts.conf", "-Dstub.env=FOO,SCRIPT_CWD,QUENDA_ENV_BIN_DIR,QUENDA_ENV_EXE\n")
                result = run_windows(home.exe, ["run"], cwd=c_drive)
                self.assertEqual(result.returncode, 0, result)
                env = self.last_run().env
                self.assertEqual((env.get("FOO"), env.get("SCRIPT_CWD")), ("1", home.windows + "\\bin"), result)
                self.assertFalse([variable for variable in env if variable.startswith("QUENDA_ENV_")], env)

    def test_set_env_clearing_path(self):
        self.write_script("set_env.cmd", "set PATH=\n")
        result = self.home.run("run")
        self.assertEqual(result.returncode, 0, result)
        self.assertTrue(self.last_run().env["PATH"].startswith(";"), self.last_run().env)

    def test_missing_set_env_is_skipped(self):
        self.write_script("tool_env.cmd", "set FROM_TOOL=t\n")
        self.write_conf("javaopts.conf", "-Dstub.env=FROM_TOOL\n")
        result = self.home.run("run", env={"QUENDA_SERVICE_LOGGING_LEVEL": "debug"})
        self.assertEqual(result.returncode, 0, result)
        self.assertIn("Skipping load of set_env.cmd: does not exist", result.stderr)
        self.assertNotIn("FROM_TOOL", self.last_run().env)

    def test_env_command_shows_the_script_environment(self):
        self.write_script("set_env.cmd", "set FOO=from-script\n")
        result = self.home.run("env")
        self.assertEqual(result.returncode, 0, result)
        self.assertRegex(result.stdout, r"(?m)^FOO=from-script\r?$")


class BackgroundAgentTest(JavaAgentTestCase):
    def test_start_then_stop(self):
        self.write_conf("javaopts.conf", "-Dstub.main=wait-shutdown\n-Dstub.poll.ms=20\n")
        result = self.home.run("start", "-debug", env={"JAVA_DEBUG_OPTS": "-Ddebugging=on"})
        self.assertEqual(result.returncode, 0, result)
        runs = javahome.wait_for_record(self.record_path, lambda r: r and r[-1].has("main.thread"))
        self.assertIn("-Ddebugging=on", runs[-1].options)
        self.assertIn("-Xrs", runs[-1].options)
        log = self.home.file("var/log/stdout")
        wait_until(lambda: "stub jvm: main started" in open(log, encoding="utf-8", errors="replace").read(),
                   timeout=BOUND, what="the agent's output in the log")
        result = self.home.run("stop")
        self.assertEqual(result.returncode, 0, result)
        javahome.wait_for_record(self.record_path, lambda r: r[-1].has("destroy"))
        self.assertEqual([f for f in os.listdir(self.home.file("var/log")) if f != "stdout"], [])

    def test_stop_without_agent_leaves_one_empty_marker(self):
        for _ in range(2):
            result = self.home.run("stop")
            self.assertEqual(result.returncode, 0, result)
        self.assertEqual(os.path.getsize(self.home.file("var/shutdown")), 0)

    def test_per_process_log_files(self):
        result = self.home.run("_start_continue", env={"QUENDA_SERVICE_LOG_PER_PID": " TRUE "})
        self.assertEqual(result.returncode, 0, result)
        logs = [f for f in os.listdir(self.home.file("var/log")) if f.startswith("stdout.")]
        self.assertEqual(len(logs), 1, logs)
        self.assertRegex(logs[0], r"^stdout\.\d{13}\.\d+$")
        with open(self.home.file("var/log/" + logs[0]), encoding="utf-8") as f:
            self.assertIn("stub jvm: main started", f.read())

    def test_log_directory_missing(self):
        os.rmdir(self.home.file("var/log"))
        result = self.home.run("_start_continue")
        self.assertEqual(result.returncode, 1, result)
        self.assertNoCrash(result)
        # The background process could report it nowhere: the commands that launch one refuse first.
        for command in ("start", "start-service"):
            with self.subTest(command=command):
                result = self.home.run(command)
                self.assertEqual(result.returncode, 1, result)
                self.assertRegex(result.stderr, r"(?m)^ERROR \S+\(\S+:\d+\): Log directory does not exist: path=\[%s\]\r?$"
                                 % re.escape(self.home.windows + "\\var\\log"))

    def test_restart_relay_stops_and_starts_the_agent(self):
        once = javahome.windows_path(os.path.join(self.home.root, "restarted-once"))
        self.write_conf("javaopts.conf", "-Dstub.main=wait-shutdown\n-Dstub.poll.ms=20\n"
                        "-Dstub.spawn=_restart start\n-Dstub.spawn.once=%s\n" % once)
        result = self.home.run("start")
        self.assertEqual(result.returncode, 0, result)
        # First agent: spawns "_restart start", sees the marker and ends; the relay starts a second one.
        runs = javahome.wait_for_record(self.record_path,
                                        lambda r: len(r) >= 2 and r[-1].has("main.thread"), timeout=60)
        self.assertTrue(runs[0].has("spawn.pid") and runs[0].has("destroy"), runs[0].entries)
        self.assertTrue(runs[1].has("spawn.skipped"), runs[1].entries)
        self.home.run("stop")
        javahome.wait_for_record(self.record_path, lambda r: r[-1].has("destroy"))


class AncestorTest(JavaAgentTestCase):
    def test_bad_depths(self):
        cases = [((), "depth required"), (("abc",), "depth unparseable"), (("99999999999",), "depth out-of-range"),
                 (("-1",), "depth negative")]
        for word in ("_check_kill_ancestor", "_kill_ancestor"):
            for args, message in cases:
                with self.subTest(word=word, args=args):
                    result = self.home.run(word, *args)
                    self.assertEqual(result.returncode, 1, result)
                    self.assertEqual(result.stderr_lines[-1], message)

    def test_depth_zero_is_this_process(self):
        result = self.home.run("_check_kill_ancestor", "0", "extra")
        self.assertEqual((result.returncode, result.stdout.strip()), (0, "1"), result)
        result = self.home.run("_kill_ancestor", "0")
        self.assertEqual(result.returncode, 1, result)

    def test_parent_from_a_windows_process(self):
        # Started from a Linux shell a process has no parent; cmd.exe gives it one.
        result = run_windows("cmd", ["/c", self.home.windows + "\\bin\\agent.exe", "_check_kill_ancestor", "1xyz"])
        self.assertEqual((result.returncode, result.stdout.strip()), (0, "1"), result)
        result = run_windows("cmd", ["/c", self.home.windows + "\\bin\\agent.exe", "_check_kill_ancestor", "50"])
        self.assertEqual((result.returncode, result.stdout.strip()), (0, "3"), result)
        result = run_windows("cmd", ["/c", self.home.windows + "\\bin\\agent.exe", "_kill_ancestor", "1"])
        self.assertEqual(result.returncode, 1, result)
        result = self.home.run("_kill_ancestor", "1")
        self.assertEqual(result.returncode, 1, result)
        self.assertEqual(result.stderr_lines[-1], "process not found")


class UpgradeHandOverTest(JavaAgentTestCase):
    def test_bad_parent_handles_are_rejected_not_waited_on(self):
        for text in ("-1", "+5", "abc", "12x", "0", "4294967295", "4294967294", "4294967290", "4294967296", " "):
            with self.subTest(text=text):
                result = self.home.run("run", env={"UPGRADE_PARENT_HANDLE": text}, timeout=20)
                self.assertEqual(result.returncode, 1, result)
                self.assertIn("bad handle string: input_string=[%s] call=wcstoul(errno=" % text, result.stderr)
                self.assertNoCrash(result)

    def test_no_variable_deletes_nothing(self):
        copy = self.home.file("var/agent.exe")
        with open(copy, "wb") as f:
            f.write(b"copy")
        result = self.home.run("run")
        self.assertEqual(result.returncode, 0, result)
        self.assertTrue(os.path.exists(copy))


if __name__ == "__main__":
    unittest.main()
