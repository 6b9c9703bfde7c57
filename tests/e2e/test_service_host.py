"""The service process ("_service_continue") and the restart command ("_service") under Wine's service
manager, with the stand-in Java runtime steered through conf\\agent\\javaopts.conf (a service process
inherits the service manager's environment, not the test's)."""

import os
import time
import unittest

import javahome
import test_service_commands as common
from harness import run_windows, windows_path

SERVICE_STOPPED, SERVICE_RUNNING = 1, 4


class ServiceHostTestCase(common.ServiceTestCase):
    def setUp(self):
        super().setUp()
        java_home = javahome.make_java_home(os.path.join(self.home.root, "jdk"))
        self.write_conf("javahome.conf", windows_path(java_home) + "\r\n")
        self.record_path = self.home.file("var/stub-jvm.record")

    def write_conf(self, name, text):
        with open(self.home.file("conf/agent/" + name), "w", encoding="utf-8", newline="") as f:
            f.write(text)

    def install_with(self, main_behaviour):
        self.write_conf("javaopts.conf", "-Dstub.main=%s\r\n" % main_behaviour)
        self.install("--start=manual")

    def runs(self):
        return javahome.read_record(self.record_path)

    def wait_for_runs(self, count, event="main.thread"):
        return javahome.wait_for_record(
            self.record_path, lambda runs: len(runs) >= count and runs[count - 1].has(event), timeout=common.BOUND)

    def service_log(self):
        with open(self.home.file("var/log/stdout"), encoding="utf-8", errors="replace") as f:
            return f.read()

    def markers(self):
        return [name for name in ("shutdown", "restart") if os.path.exists(self.home.file("var/" + name))]


class ServiceHostTest(ServiceHostTestCase):
    def test_start_and_stop_through_the_commands(self):
        self.install_with("wait-shutdown")
        started = self.home.run("start-service")
        self.assertEqual(started.returncode, 0, started)
        self.assertLogLine(started.stderr, "INFO ", "Starting service: service=[%s]" % self.service)
        self.assertEqual(common.sc_query(self.service)["STATE"], SERVICE_RUNNING)

        run = self.wait_for_runs(1)[0]
        self.assertIn("-Xrs", run.options)
        self.assertEqual(run.options[-1], "exit")
        self.assertEqual(run.value("hook.exit"), "yes")
        self.assertEqual(run.env.get("QUENDA_SERVICE_NAME"), self.service)
        pid = int(common.query_service(self.service)["pid"])
        self.assertEqual(int(run.value("pid")), pid)
        self.assertTrue([line for line in self.service_log().splitlines() if line.startswith("INFO ") and line.endswith(
            "Starting service: service=[%s] pid=%d agent_home=[%s]" % (self.service, pid, self.home.windows))],
            self.service_log())

        # Already running: no second start request.
        again = self.home.run("start-service")
        self.assertEqual(again.returncode, 0, again)
        self.assertEqual(len(self.runs()), 1)

        # A restart marker left from before must go with the stop as well.
        open(self.home.file("var/restart"), "w").close()
        stopped = self.home.run("stop-service")
        self.assertEqual(stopped.returncode, 0, stopped)
        self.assertLogLine(stopped.stderr, "INFO ", "Stopping service: service=[%s]" % self.service)
        # The agent learnt of the stop through the marker.
        self.assertTrue(self.runs()[0].has("shutdown.seen"), self.runs())
        status = common.sc_query(self.service)
        self.assertEqual((status["STATE"], status["WIN32_EXIT_CODE"], status["SERVICE_EXIT_CODE"]),
                         (SERVICE_STOPPED, 0, 0))
        common.wait_for_state(self.service, SERVICE_STOPPED)
        self.wait_for_log_line("Service stopped")
        self.assertEqual(self.markers(), [])

        again = self.home.run("stop-service")
        self.assertEqual(again.returncode, 0, again)

    def wait_for_log_line(self, text, timeout=common.BOUND):
        deadline = time.monotonic() + timeout
        while not [line for line in self.service_log().splitlines() if line.endswith(text)]:
            if time.monotonic() > deadline:
                self.fail("no %r in the service log:\n%s" % (text, self.service_log()))
            time.sleep(0.1)

    def test_java_exit_status_becomes_the_service_exit_code(self):
        cases = (("thread-exit:3", 1066, 3), ("exit:0", 0, 0), ("return", 0, 0))
        for behaviour, win32_exit, specific_exit in cases:
            with self.subTest(behaviour=behaviour):
                self.install_with(behaviour)
                # Started by Wine's own client: the agent may end before a waiting start could see it run.
                run_windows("sc", ["start", self.service], timeout=common.BOUND)
                status = common.wait_for_state(self.service, SERVICE_STOPPED)
                self.assertEqual((status["WIN32_EXIT_CODE"], status["SERVICE_EXIT_CODE"]), (win32_exit, specific_exit))
                self.wait_for_log_line("Service stopped")
                removed = self.home.run("uninstall-service")
                self.assertEqual(removed.returncode, 0, removed)
                os.remove(self.record_path)

    def test_restart_command_restarts_a_running_service_and_starts_a_stopped_one(self):
        self.install_with("wait-shutdown")
        result = self.home.run("_service")
        self.assertEqual(result.returncode, 0, result)
        self.assertLogLine(result.stderr, "INFO ", "Restarting service: service=[%s]" % self.service)
        self.wait_for_runs(1)

        result = self.home.run("_service")
        self.assertEqual(result.returncode, 0, result)
        first, second = self.wait_for_runs(2)[:2]
        self.assertTrue(first.has("shutdown.seen"), first)
        self.assertNotEqual(first.value("pid"), second.value("pid"))
        self.assertEqual(common.sc_query(self.service)["STATE"], SERVICE_RUNNING)
        # No upgrade hand-over: the executable copy in var is not touched.
        self.assertEqual(self.markers(), [])

        removed = self.home.run("uninstall-service")
        self.assertEqual(removed.returncode, 0, removed)
        self.assertIsNone(common.query_service(self.service))

    def test_console_run_of_the_service_process_fails_in_the_dispatcher(self):
        result = self.home.run("_service_continue")
        self.assertEqual(result.returncode, 1, result)
        log = self.service_log()
        self.assertIn("Starting service: service=[%s]" % self.service, log)
        self.assertIn("StartServiceCtrlDispatcherW", log)
        self.assertTrue([line for line in log.splitlines() if line.startswith("FATAL ")], log)


class ServiceGraceTest(ServiceHostTestCase):
    def test_stop_waits_for_a_slow_agent_and_gives_a_hung_one_thirty_seconds(self):
        # The host reports stop pending with a new check point every second while it waits for the
        # agent, so the command waits as long as the host does instead of giving up after the hint.
        for behaviour, least_wait in (("wait-shutdown\r\n-Dstub.stop.ms=8000", 8), ("hang", 28)):
            with self.subTest(behaviour=behaviour):
                self.install_with(behaviour)
                started = self.home.run("start-service")
                self.assertEqual(started.returncode, 0, started)
                self.wait_for_runs(1)

                begin = time.monotonic()
                stopped = self.home.run("stop-service")
                self.assertEqual(stopped.returncode, 0, stopped)
                self.assertGreater(time.monotonic() - begin, least_wait)
                status = common.sc_query(self.service)
                self.assertEqual((status["STATE"], status["WIN32_EXIT_CODE"], status["SERVICE_EXIT_CODE"]),
                                 (SERVICE_STOPPED, 0, 0))
                deadline = time.monotonic() + common.BOUND
                while "Service stopped" not in self.service_log() and time.monotonic() < deadline:
                    time.sleep(0.1)
                self.assertEqual(self.markers(), [])
                removed = self.home.run("uninstall-service")
                self.assertEqual(removed.returncode, 0, removed)
                os.remove(self.record_path)


if __name__ == "__main__":
    unittest.main()
