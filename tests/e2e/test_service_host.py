"""The service process ("_service_continue") and the restart command ("_service") under Wine's service
manager. The stand-in runtime is steered through conf\\agent\\javaopts.conf: a service process inherits
the service manager's environment, not the test's."""

import os
import time
import unittest

from harness import RUNNING, STOPPED, AgentTestCase, log_records, query_service, run_windows, wait_for_state, wait_until


class ServiceHostTest(AgentTestCase):
    services = True

    def install_with(self, javaopts):
        self.home.write("conf/agent/javaopts.conf", javaopts.replace(" ", "\r\n") + "\r\n")
        result = self.home.run("install-service", "--start=manual")
        self.assertEqual(result.returncode, 0, result)

    def assertStoppedCleanly(self, win32=0, specific=0):
        """Stopped with the exit codes given, the process's last log line written, no marker left."""
        held = wait_for_state(self.home.service, STOPPED)
        self.assertEqual((held["win32_exit"], held["specific_exit"]), (win32, specific))
        wait_until(lambda: [r for r in log_records(self.home.log(), "INFO ") if r[4] == "Service stopped"],
                   "the service process's last log line")
        self.assertEqual([m for m in ("shutdown", "restart") if os.path.exists(self.home.file("var/" + m))], [])

    def test_start_and_stop_through_the_commands(self):
        self.install_with("-Dstub.main=wait-shutdown")
        started = self.home.run("start-service")
        self.assertEqual(started.returncode, 0, started)
        self.assertLogLine(started.stderr, "INFO ", "Starting service: service=[%s]" % self.home.service)
        self.assertEqual(query_service(self.home.service)["state"], RUNNING)
        run = self.home.wait_for_runs(1, "main.thread")[0]
        self.assertEqual((run.options[-3], run.options[-1], run.value("hook.exit")), ("-Xrs", "exit", "yes"))
        self.assertEqual(run.env.get("QUENDA_SERVICE_NAME"), self.home.service)
        pid = query_service(self.home.service)["pid"]
        self.assertEqual(int(run.value("pid")), pid)
        self.assertLogLine(self.home.log(), "INFO ", "Starting service: service=[%s] pid=%d agent_home=[%s]"
                           % (self.home.service, pid, self.home.windows))
        # Already running: no second start request.
        self.assertEqual(self.home.run("start-service").returncode, 0)
        self.assertEqual(len(self.home.runs()), 1)
        # A restart marker left from before goes with the stop as well.
        self.home.write("var/restart", "")
        stopped = self.home.run("stop-service")
        self.assertEqual(stopped.returncode, 0, stopped)
        self.assertLogLine(stopped.stderr, "INFO ", "Stopping service: service=[%s]" % self.home.service)
        self.assertTrue(self.home.runs()[0].has("shutdown.seen"), self.home.runs())
        self.assertStoppedCleanly()
        self.assertEqual(self.home.run("stop-service").returncode, 0)

    def test_the_java_exit_status_becomes_the_service_exit_code_whichever_side_ends_first(self):
        rows = [  # (agent, stop requested while it runs, win32 exit code, service-specific exit code)
            ("-Dstub.main=thread-exit:3", False, 1066, 3),
            ("-Dstub.main=exit:0", False, 0, 0),
            ("-Dstub.main=return", False, 0, 0),
            # A long own exit, overtaken by the stop: the agent ends through the exit hook with its status.
            ("-Dstub.main=wait-shutdown-then-exit:5 -Dstub.wait.ms=600000", True, 1066, 5),
        ]
        for javaopts, stop, win32, specific in rows:
            with self.subTest(javaopts=javaopts):
                self.install_with(javaopts)
                # Started by Wine's own client: the agent may end before a waiting start could see it run.
                run_windows("sc", ["start", self.home.service])
                self.home.wait_for_runs(1, "main.thread")
                if stop:
                    self.assertEqual(self.home.run("stop-service").returncode, 0)
                self.assertStoppedCleanly(win32, specific)
                # A stop request that comes after the end changes nothing.
                self.assertEqual(self.home.run("stop-service").returncode, 0)
                self.assertStoppedCleanly(win32, specific)
                self.assertEqual(self.home.run("uninstall-service").returncode, 0)
                os.remove(self.home.record_path)

    def test_the_restart_command_restarts_a_running_service_and_starts_a_stopped_one(self):
        self.install_with("-Dstub.main=wait-shutdown")
        for count in (1, 2):
            result = self.home.run("_service")
            self.assertEqual(result.returncode, 0, result)
            self.assertLogLine(result.stderr, "INFO ", "Restarting service: service=[%s]" % self.home.service)
            runs = self.home.wait_for_runs(count, "main.thread")
        self.assertTrue(runs[0].has("shutdown.seen"), runs[0])
        self.assertNotEqual(runs[0].value("pid"), runs[1].value("pid"))
        self.assertEqual(query_service(self.home.service)["state"], RUNNING)

    def test_a_console_run_of_the_service_process_fails_in_the_dispatcher(self):
        result = self.home.run("_service_continue")
        self.assertEqual(result.returncode, 1, result)
        self.assertIn("Starting service: service=[%s]" % self.home.service, self.home.log())
        self.assertRegex(self.home.log(), r"(?m)^FATAL .*\r?\n  .*call=StartServiceCtrlDispatcherW\(")

    def test_a_stop_waits_for_a_slow_agent_and_gives_a_hung_one_thirty_seconds(self):
        # The host reports stop pending with a new check point every second while it waits, so the
        # command waits as long as the host does instead of giving up after the wait hint.
        for javaopts, least_wait in (("-Dstub.main=wait-shutdown -Dstub.stop.ms=8000", 8), ("-Dstub.main=hang", 28)):
            with self.subTest(javaopts=javaopts):
                self.install_with(javaopts)
                self.assertEqual(self.home.run("start-service").returncode, 0)
                self.home.wait_for_runs(1, "main.thread")
                begin = time.monotonic()
                stopped = self.home.run("stop-service")
                self.assertEqual(stopped.returncode, 0, stopped)
                self.assertGreater(time.monotonic() - begin, least_wait)
                self.assertEqual(query_service(self.home.service)["state"], STOPPED)
                self.assertStoppedCleanly()
                self.assertEqual(self.home.run("uninstall-service").returncode, 0)
                os.remove(self.home.record_path)


if __name__ == "__main__":
    unittest.main()
