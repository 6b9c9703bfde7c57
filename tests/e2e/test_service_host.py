"""The service process ("_service_continue") and the restart command ("_service") under Wine's service
manager. The stand-in runtime is steered through conf\\agent\\javaopts.conf: a service process inherits
the service manager's environment, not the test's."""

import os
import time
import unittest

from harness import (HELPER_EXE, RUNNING, STOPPED, AgentTestCase, log_records, query_service, run_windows, wait_for_state,
                     wait_until, windows_path)


class ServiceHostTest(AgentTestCase):
    services = True

    def install_with(self, javaopts):
        self.home.write("conf/agent/javaopts.conf", javaopts.replace(" ", "\r\n") + "\r\n")
        result = self.home.run("install-service", "--start=manual")
        self.assertEqual(result.returncode, 0, result)

    def uninstall(self):
        self.assertEqual(self.home.run("uninstall-service").returncode, 0)
        os.remove(self.home.record_path)

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
        # Stop, and preshutdown, which Windows sends at a reboot (and Wine never): it is taken as a stop.
        self.assertEqual((query_service(self.home.service)["state"], query_service(self.home.service)["controls"]),
                         (RUNNING, 0x101))
        run = self.home.wait_for_runs(1, "main.thread")[0]
        self.assertEqual((run.options[-3], run.options[-1], run.value("hook.exit")), ("-Xrs", "exit", "yes"))
        self.assertEqual(run.env.get("QUENDA_SERVICE_NAME"), self.home.service)
        self.assertLogLine(self.home.log(), "INFO ", "Starting service: service=[%s] pid=%s agent_home=[%s]"
                           % (self.home.service, run.value("pid"), self.home.windows))
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

    def test_how_the_service_ends_whichever_side_ends_first(self):
        rows = [  # (agent, least time a stop request waits or None for none, win32 and service-specific exit code)
            ("-Dstub.main=thread-exit:3", None, 1066, 3),
            ("-Dstub.main=exit:0", None, 0, 0),
            ("-Dstub.main=return", None, 0, 0),
            # A long own exit, overtaken by the stop: the agent ends through the exit hook with its status.
            ("-Dstub.main=wait-shutdown-then-exit:5", 0, 1066, 5),
            # The host reports stop pending with a new check point every second while it waits, so the
            # command waits as long as the host does instead of giving up after the wait hint: for a
            # slow agent, and for a hung one up to the host's grace of thirty seconds.
            ("-Dstub.main=wait-shutdown -Dstub.stop.ms=8000", 8, 0, 0),
            ("-Dstub.main=hang", 28, 0, 0),
        ]
        for javaopts, least_wait, win32, specific in rows:
            with self.subTest(javaopts=javaopts):
                self.install_with(javaopts)
                # Started by Wine's own client: the agent may end before a waiting start could see it run.
                run_windows("sc", ["start", self.home.service])
                self.home.wait_for_runs(1, "main.thread")
                if least_wait is not None:
                    begin = time.monotonic()
                    self.assertEqual(self.home.run("stop-service").returncode, 0)
                    self.assertGreater(time.monotonic() - begin, least_wait)
                self.assertStoppedCleanly(win32, specific)
                # A stop request that comes after the end changes nothing.
                self.assertEqual(self.home.run("stop-service").returncode, 0)
                self.assertStoppedCleanly(win32, specific)
                self.uninstall()

    def test_the_environment_loads_once_the_process_has_connected(self):
        # The service manager waits 30 s (Windows) or 10 s (Wine) for a service process to connect: a slow
        # set_env.cmd runs while the service reports start pending with progress.
        self.home.write("bin/set_env.cmd", '"%s" child sleep 13000\r\nset FROM_SCRIPT=1\r\n' % windows_path(HELPER_EXE))
        self.install_with("-Dstub.main=wait-shutdown -Dstub.env=FROM_SCRIPT")
        started = self.home.run("start-service")
        self.assertEqual((started.returncode, query_service(self.home.service)["state"]), (0, RUNNING), started)
        self.assertEqual(self.home.wait_for_runs(1, "main.thread")[0].env.get("FROM_SCRIPT"), "1")
        self.assertEqual(self.home.run("stop-service").returncode, 0)
        self.assertStoppedCleanly()
        self.uninstall()
        # A failure on the way: the service stops with the process's exit code, the reason in the log.
        self.home.write("bin/set_env.cmd", "exit 4\r\n")
        self.install_with("-Dstub.main=wait-shutdown")
        self.assertEqual(self.home.run("start-service").returncode, 1)
        held = wait_for_state(self.home.service, STOPPED)
        self.assertEqual((held["win32_exit"], held["specific_exit"]), (1066, 1))
        self.assertRegex(self.home.log(), r"(?m)^FATAL .*: Incomplete read: actual=0\r?\n\tat ")
        self.assertNotIn("Service stopped", self.home.log())

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


if __name__ == "__main__":
    unittest.main()
