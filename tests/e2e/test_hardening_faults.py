"""Faults on the way to and inside the Java runtime, and a log directory that goes away: each ends as
documented, and no step leaves a process or a temporary file behind."""

import os
import shutil
import time
import unittest

import javahome
import test_hardening as base
from harness import run_windows, windows_path

BOUND = 60


class RuntimeFaultTest(base.FuzzTestCase):
    """Every command that hosts the runtime, with a set_env.cmd so that the loader's script is made too."""

    COMMANDS = (["run"], ["_start_continue"])

    def fault_cases(self, name, java_home=None, javaopts=b""):
        cases, homes = [], []
        for args in self.COMMANDS:
            home = self.make_home(javaopts_conf=javaopts, set_env=b"set FAULT=1\r\n")
            if java_home is not None:
                self.write(home, "conf/agent/javahome.conf", (windows_path(java_home) + "\r\n").encode())
            homes.append(home)
            cases.append(base.Case("%s-%s" % (name, args[0].strip("_")), self.exe(home), args))
        return cases, homes

    def output_of(self, result, home):
        """Standard error, or the stdout log for the background agent, whose streams go there; the
        console's text mode ends every line with CR LF, which is checked and then read as LF."""
        if result.case.args[0] != "_start_continue":
            text = result.stderr
        else:
            with open(os.path.join(home, "var/log/stdout"), "rb") as f:
                text = f.read().decode("utf-8", errors="replace")
        self.assertEqual(text.count("\n"), text.count("\r\n"), text)
        return text.replace("\r\n", "\n")

    def assertCleanHome(self, home, result):
        self.assertEqual(self.home_files(home, "var/temp"), [], result)
        self.assertEqual([n for n in self.home_files(home, "var/log") if n != "stdout"], [], result)

    def check(self, cases, homes, expected_lines, code=1):
        for result, home in zip(base.run_cases(cases, self.work), homes):
            with self.subTest(case=result.case.id):
                self.assertDefinedEnd(result, {code})
                output = self.output_of(result, home)
                for expected in expected_lines:
                    self.assertRegex(output, expected, result)
                if output:
                    self.assertTrue(output.endswith("\n"), output)
                self.assertCleanHome(home, result)

    def test_a_runtime_library_that_fails_to_load(self):
        broken = os.path.join(self.work, "broken-jdk")
        javahome.write_fake_pe_image(os.path.join(broken, "bin", "server", "jvm.dll"), javahome.OWN_MACHINE)
        cases, homes = self.fault_cases("load", java_home=broken)
        self.check(cases, homes, [r"(?m)^FATAL wmain\(main\.cpp:\d+\): Exception:$",
                                  r"(?m)^  .*JVM DLL failed to load: jvm_dll=\[.*\\bin\\server\\jvm\.dll\] call=LoadLibraryExW\(\d+\)$"])

    def test_a_runtime_that_refuses_to_start(self):
        cases, homes = self.fault_cases("create", javaopts=b"-Dstub.create.status=-4\r\n")
        self.check(cases, homes, [r"(?m)^  .*JVM creation failed \(-4\): jvm_dll=\["])

    def test_main_that_throws(self):
        cases, homes = self.fault_cases("throw", javaopts=b"-Dstub.main=throw\n")
        self.check(cases, homes, [r"(?s)Exception in thread \"main\" java\.lang\.RuntimeException.*"
                                  r"FATAL \S*call_java_main_method\(javainterop\.cpp:\d+\): Java main threw exception\n"])

    def test_main_that_returns_at_once(self):
        cases, homes = self.fault_cases("return", javaopts=b"-Dstub.main=return\n")
        self.check(cases, homes, [], code=0)
        for home in homes:
            [run] = javahome.read_record(os.path.join(home, "var/stub-jvm.record"))
            self.assertTrue(run.has("main.returned") and run.has("destroy"), run)


class LogDirectoryFaultTest(base.FuzzTestCase):
    def wait_until_gone(self, home):
        """Waits (bounded) until no process runs from the home."""
        deadline = time.monotonic() + BOUND
        while time.monotonic() < deadline:
            if not LogDirectoryFaultTest.processes_of(home):
                return
            time.sleep(0.2)
        self.fail("still running: %r" % LogDirectoryFaultTest.processes_of(home))

    @staticmethod
    def processes_of(home):
        marker = windows_path(home)
        found = []
        for pid in os.listdir("/proc"):
            if pid.isdigit():
                try:
                    with open("/proc/%s/cmdline" % pid, "rb") as f:
                        if marker.encode() in f.read():
                            found.append(int(pid))
                except OSError:
                    pass
        return found

    def test_background_agent_without_a_log_directory(self):
        home = self.make_home(javaopts_conf=b"-Dstub.main=return\n")
        shutil.rmtree(os.path.join(home, "var/log"))
        [direct] = base.run_cases([base.Case("nolog", self.exe(home), ["_start_continue"])], self.work)
        # The message carries a line break of its own, so an empty line follows it.
        self.assertDefinedEnd(direct, {1})
        self.assertRegex(direct.stderr, r"(?m)^FATAL reopen_as_dummy_file\(command_table\.cpp:\d+\): _wfreopen_s failed: "
                                        r"path=\[.*\\var\\log\\stdout\.\{[0-9A-F-]{36}\}\] err=\d+\r?\n\r?\n\tat ")
        self.assertFalse(os.path.exists(os.path.join(home, "var/stub-jvm.record")))
        self.assertFalse(os.path.exists(os.path.join(home, "var/log")))

    def test_log_directory_removed_under_a_running_agent(self):
        home = self.make_home(javaopts_conf=b"-Dstub.main=wait-shutdown\n-Dstub.poll.ms=20\n")
        record = os.path.join(home, "var/stub-jvm.record")
        exe = os.path.join(home, "bin", "agent.exe")
        self.addCleanup(lambda: run_windows(exe, ["stop"], timeout=BOUND))
        started = run_windows(exe, ["start"], timeout=BOUND)
        self.assertEqual(started.returncode, 0, started)
        javahome.wait_for_record(record, lambda runs: runs and runs[0].has("main.thread"), timeout=BOUND)
        shutil.rmtree(os.path.join(home, "var/log"))
        stopped = run_windows(exe, ["stop"], timeout=BOUND)
        self.assertEqual(stopped.returncode, 0, stopped)
        [run] = javahome.wait_for_record(record, lambda runs: runs and runs[0].has("destroy"), timeout=BOUND)
        self.assertTrue(run.has("shutdown.seen"), run)
        self.wait_until_gone(home)
        self.assertEqual(self.home_files(home, "var/temp"), [])


class UpgradeRelayFaultTest(base.FuzzTestCase):
    def test_agent_killed_while_the_relay_waits_for_it(self):
        """The agent launches the upgrade and, instead of ending, is killed: the relay goes on from
        the kill, runs the upgrader and brings the agent back with its mode."""
        once = windows_path(os.path.join(self.work, "upgraded-once"))
        home = self.make_home(javaopts_conf=("-Dstub.spawn=_upgrade start\r\n-Dstub.spawn.once=%s\r\n"
                                             "-Dstub.main=wait-shutdown\r\n" % once).encode())
        exe = os.path.join(home, "bin", "agent.exe")
        jar = os.path.join(home, "var/upgrade/quill-agentupgrade.jar")
        javahome.write_upgrader_jar(jar, exit_status=0)
        record = os.path.join(home, "var/stub-jvm.record")
        self.addCleanup(lambda: run_windows(exe, ["stop"], timeout=BOUND))

        started = run_windows(exe, ["start"], timeout=BOUND)
        self.assertEqual(started.returncode, 0, started)
        [first] = javahome.wait_for_record(record, lambda runs: runs and runs[0].has("spawn.pid"), timeout=BOUND)
        log = os.path.join(home, "var/log/stdout")
        deadline = time.monotonic() + BOUND
        while "Waiting for parent to terminate..." not in self.text_of(log):
            self.assertLess(time.monotonic(), deadline, self.text_of(log))
            time.sleep(0.1)
        killed = run_windows("taskkill", ["/f", "/pid", first.value("pid")], timeout=BOUND)
        self.assertEqual(killed.returncode, 0, killed)

        runs = javahome.wait_for_record(record, lambda runs: len(runs) >= 2 and runs[1].has("main.thread"), timeout=BOUND)
        self.assertFalse(runs[0].has("destroy"), runs[0])          # it never ended by itself
        self.assertIn("-Dagent.mode=start", runs[1].options)
        self.assertTrue(runs[1].has("spawn.skipped"), runs[1])
        for name in ("UPGRADE_SET_AGENT_HOME", "UPGRADE_JAVA_OPTS", "UPGRADE_PARENT_HANDLE"):
            self.assertNotIn(name, runs[1].env)
        self.assertIn("stub upgrader: stdout", self.text_of(os.path.join(home, "var/log/upgrade.log")))
        self.assertFalse(os.path.exists(jar))

        stopped = run_windows(exe, ["stop"], timeout=BOUND)
        self.assertEqual(stopped.returncode, 0, stopped)
        javahome.wait_for_record(record, lambda runs: len(runs) >= 2 and runs[1].has("destroy"), timeout=BOUND)
        LogDirectoryFaultTest.wait_until_gone(self, home)
        # The restarted agent removed the executable copy the relay ran from; nothing is left in temp.
        self.assertFalse(os.path.exists(os.path.join(home, "var/agent.exe")))
        self.assertEqual(self.home_files(home, "var/temp"), [])

    @staticmethod
    def text_of(path):
        if not os.path.exists(path):
            return ""
        with open(path, "rb") as f:
            return f.read().decode("utf-8", errors="replace")


if __name__ == "__main__":
    unittest.main()
