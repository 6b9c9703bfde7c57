"""The environment script, the background agent, stop and restart, ancestors and the upgrade hand-over."""

import os
import re
import shutil
import time
import unittest

from harness import AGENT_EXE, AgentTestCase, log_records, run_windows, wait_until, windows_path

RECORDED = "-Dstub.env=FOO,BAR,FROM_TOOL,ORDER,DOOMED,SCRIPT_CWD,QUENDA_ENV_BIN_DIR,QUENDA_ENV_EXE\n"


class EnvironmentScriptTest(AgentTestCase):
    def run_with_script(self, script, home=None, tool_env=None, **kwargs):
        home = home or self.home
        home.write("conf/agent/javaopts.conf", RECORDED)
        home.write("bin/set_env.cmd", script if isinstance(script, bytes) else script.replace("\n", "\r\n"))
        if tool_env is not None:
            home.write("bin/tool_env.cmd", tool_env.replace("\n", "\r\n"))
        result = home.run("run", **kwargs)
        # The generated script never stays behind, whatever the batch files did.
        self.assertEqual(os.listdir(home.file("var/temp")), [], result)
        return result

    def test_scripts_and_what_the_agent_gets_from_them(self):
        many = "".join("set FUZZ_V%03d=%s\n" % (n, "v" * 900) for n in range(200))  # 360 KB of environment
        rows = [  # (set_env.cmd, tool_env.cmd, variables the agent must see, variables it must not see)
            ("@echo noise on stdout\necho oops 1>&2\nset FOO=1\nset ORDER=%ORDER%,set\nset DOOMED=\n",
             "set FROM_TOOL=t\nset ORDER=tool\n", {"FOO": "1", "FROM_TOOL": "t", "ORDER": "tool,set"}, ["DOOMED"]),
            ('set "FOO=a&b|c<d>e^f"\nset BAR=x=y==z\nexit /b 3\n', None, {"FOO": "a&b|c<d>e^f", "BAR": "x=y==z"}, []),
            (many + "set FOO=last\n", None, {"FOO": "last"}, []),
            # Every variable cleared, PATH included: the agent is still found and started.
            ("for /f \"delims==\" %%v in ('set') do @set \"%%v=\"\nset FOO=alone\n", None, {"FOO": "alone"}, ["PATH"]),
            # A PATH that names a tskclient directory anywhere gets no second one.
            ("set PATH=%PATH%;D:\\other\\opt\\tskclient\n", None, {}, []),
        ]
        for script, tool_env, present, absent in rows:
            with self.subTest(script=script[:40]):
                result = self.run_with_script(script, tool_env=tool_env, env={"DOOMED": "x"})
                self.assertEqual(result.returncode, 0, result)
                env = self.last_run().env
                self.assertEqual({k: env.get(k) for k in present}, present, result)
                self.assertEqual([k for k in absent if k in env and k != "PATH"], [])
                self.assertEqual(env["PATH"].count("tskclient"), 1, env["PATH"])
                self.assertTrue(env["PATH"].startswith(";") == ("PATH" in absent), env["PATH"])
                # The loader's own variables stay out of the agent's environment.
                self.assertNotIn("QUENDA_ENV_EXE", env)

    def test_a_script_that_ends_the_interpreter_is_fatal_and_a_missing_one_skipped(self):
        result = self.run_with_script("set FOO=3\nexit 4\n")
        self.assertEqual(result.returncode, 1, result)
        self.assertEqual([r[4] for r in log_records(result.stderr, "FATAL")], ["Incomplete read: actual=0"], result)
        os.remove(self.home.file("bin/set_env.cmd"))
        self.home.write("bin/tool_env.cmd", "set FROM_TOOL=t\r\n")
        result = self.home.run("run", env={"QUENDA_SERVICE_LOGGING_LEVEL": "debug"})
        self.assertLogLine(result.stderr, "DEBUG", "Skipping load of set_env.cmd: does not exist")
        self.assertNotIn("FROM_TOOL", self.last_run().env)

    def test_every_home_loads_its_script_from_another_drive(self):
        """Blanks with ( ) or &, letters outside ASCII; a cmd.exe in bin is never the interpreter."""
        c_drive = run_windows("winepath", ["-u", "C:\\"]).stdout.strip()
        for name in ("Program Files (x86)/Agent", "R&D Agent", "h\u00e9me \u4e2d", "planted cmd"):
            with self.subTest(home=name):
                home = self.make_home(name)
                if name == "planted cmd":
                    shutil.copyfile(AGENT_EXE, home.file("bin/cmd.exe"))
                result = self.run_with_script('set FOO=1\nset "SCRIPT_CWD=%CD%"\n', home=home, cwd=c_drive)
                self.assertEqual(result.returncode, 0, result)
                env = self.last_run(home).env
                self.assertEqual((env.get("FOO"), env.get("SCRIPT_CWD")), ("1", home.windows + "\\bin"), result)
                self.assertFalse([name for name in env if name.startswith("QUENDA_ENV_")], env)


class BackgroundAgentTest(AgentTestCase):
    def test_start_then_stop_with_the_log_of_one_process_each(self):
        self.home.write("conf/agent/javaopts.conf", "-Dstub.main=wait-shutdown\n-Dstub.poll.ms=20\n")
        result = self.home.run("start", "-debug", env={"JAVA_DEBUG_OPTS": "-Ddebugging=on"})
        self.assertEqual(result.returncode, 0, result)
        run = self.home.wait_for_runs(1, "main.thread")[0]
        self.assertEqual(run.options[-3:-1], ["-Xrs", "-Ddebugging=on"])
        wait_until(lambda: "stub jvm: main started" in self.home.log(), "the agent's output in the log")
        self.assertEqual(self.home.run("stop").returncode, 0)
        self.home.wait_for_runs(1, "destroy")
        self.assertEqual(os.listdir(self.home.file("var/log")), ["stdout"])
        # With no agent to take it, a stale marker is emptied, not added to.
        self.home.write("var/shutdown", "left over")
        for _ in range(2):
            self.assertEqual(self.home.run("stop").returncode, 0)
            self.assertEqual(os.path.getsize(self.home.file("var/shutdown")), 0)
        # A log of its own per process, named by creation time (ms since 1970) and process id.
        self.home.write("conf/agent/javaopts.conf", "")
        before = time.time() * 1000
        result = self.home.run("_start_continue", env={"QUENDA_SERVICE_LOG_PER_PID": " TRUE "})
        self.assertEqual(result.returncode, 0, result)
        [log] = [f for f in os.listdir(self.home.file("var/log")) if f != "stdout"]
        created, pid = re.fullmatch(r"stdout\.(\d{13})\.(\d+)", log).groups()
        self.assertEqual(pid, self.last_run().value("pid"))
        self.assertLess(abs(int(created) - before), 60000)
        self.assertIn("stub jvm: main started", open(self.home.file("var/log/" + log), encoding="utf-8").read())

    def test_without_a_log_directory_the_commands_that_launch_refuse_first(self):
        os.rmdir(self.home.file("var/log"))
        result = self.home.run("_start_continue")
        self.assertEqual(result.returncode, 1, result)
        self.assertNoCrash(result)
        # The background process could report it nowhere.
        for command in ("start", "start-service"):
            with self.subTest(command=command):
                result = self.home.run(command)
                self.assertEqual(result.returncode, 1, result)
                self.assertLogLine(result.stderr, "ERROR", "Log directory does not exist: path=[%s\\var\\log]" % self.home.windows)
        self.assertFalse(os.path.exists(self.home.record_path))

    def test_restart_relay_stops_and_starts_the_agent(self):
        self.home.write("conf/agent/javaopts.conf", "-Dstub.main=wait-shutdown\n-Dstub.poll.ms=20\n-Dstub.spawn=_restart "
                        "start\n-Dstub.spawn.once=%s\n" % windows_path(self.home.file("var/restarted-once")))
        self.assertEqual(self.home.run("start").returncode, 0)
        # The first agent spawns "_restart start", sees the marker and ends; the relay starts a second one.
        first, second = self.home.wait_for_runs(2, "main.thread")[:2]
        self.assertTrue(first.has("spawn.pid") and first.has("destroy"), first)
        self.assertTrue(second.has("spawn.skipped"), second)
        self.home.run("stop")
        self.home.wait_for_runs(2, "destroy")


class AncestorTest(AgentTestCase):
    java = False

    def test_depths_and_answers(self):
        exe = self.home.windows + "\\bin\\agent.exe"
        rows = [  # (through cmd.exe, command, arguments, exit code, standard output, last line of standard error)
            (False, "_check_kill_ancestor", [], 1, "", "depth required"),
            (False, "_kill_ancestor", ["abc"], 1, "", "depth unparseable"),
            (False, "_check_kill_ancestor", ["99999999999"], 1, "", "depth out-of-range"),
            (False, "_kill_ancestor", ["-1"], 1, "", "depth negative"),
            (False, "_check_kill_ancestor", ["0", "extra"], 0, "1", None),
            (False, "_kill_ancestor", ["0"], 1, "", None),  # ends itself
            # Started from a Linux shell a process has no parent; cmd.exe gives it one.
            (False, "_kill_ancestor", ["1"], 1, "", "process not found"),
            (True, "_check_kill_ancestor", ["1xyz"], 0, "1", None),
            (True, "_check_kill_ancestor", ["50"], 0, "3", None),
            (True, "_kill_ancestor", ["1"], 1, "", None),  # ends cmd.exe, which ends with 1
        ]
        for via_cmd, command, args, code, stdout, stderr in rows:
            with self.subTest(command=command, args=args, via_cmd=via_cmd):
                result = run_windows("cmd", ["/c", exe, command] + args) if via_cmd else self.home.run(command, *args)
                self.assertEqual((result.returncode, result.stdout.strip()), (code, stdout), result)
                if stderr:
                    self.assertEqual(result.stderr_lines[-1], stderr, result)


class UpgradeHandOverTest(AgentTestCase):
    def test_texts_that_are_no_handle_value_are_refused_not_waited_on(self):
        for text in ("-1", "+5", "abc", "12x", "0", "4294967295", "4294967290", "4294967296", " ", "\uff14"):
            with self.subTest(text=text):
                result = self.home.run("run", env={"UPGRADE_PARENT_HANDLE": text})
                self.assertEqual(result.returncode, 1, result)
                self.assertIn("bad handle string: input_string=[%s] call=wcstoul(errno=" % text, result.stderr)
                self.assertNotIn("stub jvm: main started", result.stdout)

    def test_values_that_name_no_process_are_neither_waited_on_nor_closed(self):
        # Small values name whatever this fresh process holds, its standard handles among them.
        for value in [str(n) for n in range(4, 44, 4)] + ["74097"]:
            with self.subTest(value=value):
                result = self.home.run("run", env={"UPGRADE_PARENT_HANDLE": value})
                self.assertEqual(result.returncode, 1, result)
                self.assertRegex(result.stderr, r"(?m)^FATAL wmain\(main\.cpp:\d+\): Exception:\r?\n  .*call=GetProcessId\(\d+\)")
                self.assertNotIn("Parent exited", result.stderr)
                self.assertNotIn("stub jvm: main started", result.stdout)

    def test_without_the_variable_nothing_is_deleted(self):
        self.home.write("var/agent.exe", b"copy")
        self.assertEqual(self.home.run("run").returncode, 0)
        self.assertTrue(os.path.exists(self.home.file("var/agent.exe")))


if __name__ == "__main__":
    unittest.main()
