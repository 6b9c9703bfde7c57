"""The environment script, the background agent, stop and restart, ancestors and the upgrade hand-over."""

import os
import re
import shutil
import time
import unittest

from harness import AGENT_EXE, HELPER_EXE, AgentTestCase, log_records, read_text, run_windows, wait_until, windows_path

RECORDED = "-Dstub.env=FOO,BAR,FROM_TOOL,ORDER,DOOMED,SCRIPT_CWD,QUENDA_ENV_BIN_DIR,QUENDA_ENV_EXE\n"


class EnvironmentScriptTest(AgentTestCase):
    def run_with_script(self, script, home=None, tool_env=None, **kwargs):
        home = home or self.home
        home.write("conf/agent/javaopts.conf", RECORDED)
        for name, text in (("set_env.cmd", script), ("tool_env.cmd", tool_env)):
            if text:
                home.write("bin/" + name, text.replace("\n", "\r\n"))
            elif os.path.exists(home.file("bin/" + name)):
                os.remove(home.file("bin/" + name))
        result = home.run("run", **kwargs)
        # The generated script never stays behind, whatever the batch files did.
        self.assertEqual(os.listdir(home.file("var/temp")), [], result)
        return result

    def test_scripts_and_what_the_agent_gets_from_them(self):
        many = "".join("set FUZZ_V%03d=%s\n" % (n, "v" * 900) for n in range(200))  # 360 KB of environment
        rows = [  # (set_env.cmd, tool_env.cmd, variables the agent must see, variables it must not see)
            ("@echo noise on stdout\necho oops 1>&2\nset FOO=1\nset ORDER=%ORDER%,set\nset DOOMED=\n",
             "set FROM_TOOL=t\nset ORDER=tool\n", {"FOO": "1", "FROM_TOOL": "t", "ORDER": "tool,set"}, ["DOOMED"]),
            (None, "set FROM_TOOL=t\n", {}, ["FROM_TOOL"]),  # without set_env.cmd nothing is run
            ('set "FOO=a&b|c<d>e^f"\nset BAR=x=y==z\nexit /b 3\n', None, {"FOO": "a&b|c<d>e^f", "BAR": "x=y==z"}, []),
            (many + "set FOO=last\n", None, {"FOO": "last"}, []),
            # Every variable cleared, PATH included: the agent is still found and started.
            ("for /f \"delims==\" %%v in ('set') do @set \"%%v=\"\nset FOO=alone\n", None, {"FOO": "alone"}, ["DOOMED"]),
            # A PATH that names a tskclient directory anywhere gets no second one.
            ("set PATH=%PATH%;D:\\other\\opt\\tskclient\n", None, {}, []),
            # A script that ends the interpreter leaves no environment to load.
            ("set FOO=3\nexit 4\n", None, None, None),
        ]
        for script, tool_env, present, absent in rows:
            with self.subTest(script=(script or "")[:40]):
                result = self.run_with_script(script, tool_env=tool_env, env={"DOOMED": "x"})
                self.assertEqual(result.returncode, 1 if present is None else 0, result)
                if present is None:
                    self.assertEqual([r[4] for r in log_records(result.stderr, "FATAL")], ["Incomplete read: actual=0"])
                    self.assertRegex(result.stderr, r"Incomplete read: actual=0\r?\n\tat log_message\(logging\.cpp:\d+\)")
                    continue
                env = self.last_run().env
                self.assertEqual({k: env.get(k) for k in present}, present, result)
                self.assertEqual([k for k in absent if k in env], [])
                self.assertEqual(env["PATH"].count("tskclient"), 1, env["PATH"])
                # The loader's own variables stay out of the agent's environment.
                self.assertFalse([name for name in env if name.startswith("QUENDA_ENV_")], env)

    def test_every_home_loads_its_script_from_another_drive(self):
        """Blanks with ( ) or &, letters outside ASCII, text that cmd would expand or escape; a cmd.exe in bin is
        never the interpreter."""
        c_drive = run_windows("winepath", ["-u", "C:\\"]).stdout.strip()
        for name in ("Program Files (x86)/Agent", "R&D Agent", "h\u00e9me \u4e2d", "planted cmd", "Tools %OS% 100%",
                     "bang! caret^ semi;"):
            with self.subTest(home=name):
                home = self.make_home(name)
                if name == "planted cmd":
                    shutil.copyfile(AGENT_EXE, home.file("bin/cmd.exe"))
                # Run in the bin directory. (Wine's cmd.exe expands %-variables again inside a value, so the
                # script cannot name its directory through %CD% here: a home with "%OS%" would change.)
                result = self.run_with_script('set FOO=1\nif exist ".\\agent.exe" set SCRIPT_CWD=bin\n', home=home,
                                              cwd=c_drive)
                env = self.last_run(home).env
                self.assertEqual((env.get("FOO"), env.get("SCRIPT_CWD")), ("1", "bin"), result)


class BackgroundAgentTest(AgentTestCase):
    def test_start_then_stop_with_the_log_of_one_process_each(self):
        self.home.write("conf/agent/javaopts.conf", "-Dstub.main=wait-shutdown\n-Dstub.poll.ms=20\n")
        # What set_env.cmd starts in the background agent, which has no console: a console without a
        # window (on Windows a console of its own would open one on the desktop), and no end of the pipe
        # that carries the environment back (it would keep the agent waiting for as long as it runs).
        self.home.write("bin/set_env.cmd", '"%s" child situation > "%s\\var\\situation"\r\n'
                        % (windows_path(HELPER_EXE), self.home.windows))
        self.assertEqual(self.home.run("start", "-debug", env={"JAVA_DEBUG_OPTS": "-Ddebugging=on"}).returncode, 0)
        self.assertEqual(self.home.wait_for_runs(1, "main.thread")[0].options[-3:-1], ["-Xrs", "-Ddebugging=on"])
        self.assertEqual(read_text(self.home.file("var/situation")).strip(), "console=1 window=0 pipes=0")
        wait_until(lambda: "stub jvm: main started" in self.home.log(), "the agent's output in the log")
        self.assertEqual(self.home.run("stop").returncode, 0)
        self.home.wait_for_runs(1, "destroy")
        self.assertEqual(os.listdir(self.home.file("var/log")), ["stdout"])
        # Each start keeps the log before it as stdout.1, one generation: a failed run's lines outlive the next.
        for options, kept in (("-Xfails\n", "stub jvm: main started"), ("", "Unrecognized option: -Xfails")):
            self.home.write("conf/agent/javaopts.conf", options)
            self.home.run("_start_continue")
            self.assertIn(kept, read_text(self.home.file("var/log/stdout.1")))
            self.assertNotIn(kept, self.home.log())
        # With no agent to take it, a stale marker is emptied, not added to.
        self.home.write("var/shutdown", "left over")
        for _ in range(2):
            self.assertEqual(self.home.run("stop").returncode, 0)
            self.assertEqual(os.path.getsize(self.home.file("var/shutdown")), 0)
        # A log of its own per process, named by creation time (ms since 1970) and process id.
        self.home.write("conf/agent/javaopts.conf", "")
        before = time.time() * 1000
        self.assertEqual(self.home.run("_start_continue", env={"QUENDA_SERVICE_LOG_PER_PID": " TRUE "}).returncode, 0)
        [log] = [f for f in os.listdir(self.home.file("var/log")) if f not in ("stdout", "stdout.1")]
        created, pid = re.fullmatch(r"stdout\.(\d{13})\.(\d+)", log).groups()
        self.assertEqual(pid, self.last_run().value("pid"))
        self.assertTrue(before - 2000 <= int(created) <= time.time() * 1000 + 2000, log)  # created during the run
        self.assertIn("stub jvm: main started", read_text(self.home.file("var/log/" + log)))

    def test_without_a_log_directory_the_commands_that_launch_refuse_first(self):
        os.rmdir(self.home.file("var/log"))
        result = self.home.run("_start_continue")
        self.assertEqual(result.returncode, 1, result)
        # The background process could report it nowhere; one that may not be looked at gets the same plain line.
        for problem in (r"does not exist: path=\[%s\]", r"not accessible: path=\[%s\] call=GetFileAttributesW\("):
            if "accessible" in problem:  # a link to itself, which Windows cannot resolve
                os.symlink("log", self.home.file("var/log"))
            for command in ("start", "start-service"):
                result = self.home.run(command)
                self.assertEqual((result.returncode, len(result.stderr_lines)), (1, 1), result)
                self.assertRegex(result.stderr, r"^ERROR exit_unless_log_directory_exists\(agent_home\.cpp:\d+\): Log "
                                 r"directory " + problem % re.escape(self.home.windows + "\\var\\log"))
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
        rows = [  # (through cmd.exe, command, arguments, exit code, standard output, standard error)
            (False, "_check_kill_ancestor", [], 1, "", "depth required"),
            (False, "_kill_ancestor", ["abc"], 1, "", "depth unparseable"),
            (False, "_check_kill_ancestor", ["99999999999"], 1, "", "depth out-of-range"),
            (False, "_kill_ancestor", ["-1"], 1, "", "depth negative"),
            (False, "_check_kill_ancestor", ["0", "extra"], 0, "1", ""),
            (False, "_kill_ancestor", ["0"], 1, "", ""),  # ends itself
            # Started from a Linux shell a process has no parent; cmd.exe gives it one.
            (False, "_kill_ancestor", ["1"], 1, "", "process not found"),
            (True, "_check_kill_ancestor", ["1xyz"], 0, "1", ""),
            (True, "_check_kill_ancestor", ["50"], 0, "3", ""),
            (True, "_kill_ancestor", ["1"], 1, "", ""),  # ends cmd.exe, which ends with 1
        ]
        for via_cmd, command, args, code, stdout, stderr in rows:
            with self.subTest(command=command, args=args, via_cmd=via_cmd):
                result = run_windows("cmd", ["/c", exe, command] + args) if via_cmd else self.home.run(command, *args)
                self.assertEqual((result.returncode, result.stdout.strip(), result.stderr.strip()), (code, stdout, stderr))


class UpgradeHandOverTest(AgentTestCase):
    def test_parent_handle_values_that_name_no_predecessor_are_refused_not_waited_on(self):
        # Small values name whatever this fresh process holds, its standard handles among them: none
        # may be waited on or closed. "-1" and 4294967290 to 4294967295 are this process's pseudo-handles.
        self.home.write("var/agent.exe", b"copy")
        for text in ["-1", "+5", "abc", "12x", "0", "4294967295", "4294967290", "4294967296", "18446744073709551615", " ",
                     "\uff14", ""] + [str(n) for n in range(4, 44, 4)] + ["74097"]:
            with self.subTest(text=text):
                result = self.home.run("run", env={"UPGRADE_PARENT_HANDLE": text})
                if text == "":  # set but empty: no hand-over, and the executable copy in var stays
                    self.assertEqual(result.returncode, 0, result)
                    self.assertTrue(os.path.exists(self.home.file("var/agent.exe")))
                    continue
                self.assertEqual(result.returncode, 1, result)
                self.assertNotIn("stub jvm: main started", result.stdout)
                self.assertNotIn("Parent exited", result.stderr)
                if text.isascii() and text.isdigit() and 0 < int(text) < 4294967290:
                    self.assertRegex(result.stderr, r"(?m)^FATAL wmain\(main\.cpp:\d+\): Exception:\r?\n  .*call=GetProcessId\(\d+\)")
                else:
                    self.assertIn("bad handle string: input_string=[%s] call=wcstoul(errno=" % text, result.stderr)


if __name__ == "__main__":
    unittest.main()
