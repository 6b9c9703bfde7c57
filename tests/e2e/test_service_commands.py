"""install-service, uninstall-service, start-service and stop-service against Wine's service manager.
Registrations are read back through the test helper's query mode, a client that is not the program
under test (Wine's "sc qc" prints nothing)."""

import os
import subprocess
import unittest

from harness import (AUTO_START, BOUND, DEMAND_START, DISABLED, HELPER_EXE, STOPPED, WINE_RUN, AgentTestCase, log_records,
                     query_service, read_text, run_windows, wait_until, windows_path, write_file)


class ServiceCommandsTest(AgentTestCase):
    java = False
    services = True

    def test_refused_arguments_are_named_with_passwords_masked_and_install_nothing(self):
        for args, shown in ((["--start=Auto"], None), (["--start=manual "], None), (["--start=boot"], None), (["--bogus=1"], None),
                            (["--user"], None), (["start=auto"], None), ([""], None), (["--START=auto"], None),
                            (["--Password=hunter2"], "--Password=********"), (["--PASSWORD:hunter2"], "--PASSWORD:********"),
                            # What follows a password option without a value is the password, in any spelling.
                            (["--password=", "hunter2"], "********"), (["--PassWord:", "hunter2"], "--PassWord:"),
                            (["--password", "hunter2"], "--password")):
            for env in ({"QUENDA_SERVICE_LOGGING_LEVEL": "debug"}, {}):
                with self.subTest(args=args, env=env):
                    # The first refused argument is named, whatever accepted ones stand around it.
                    result = self.home.run("install-service", "--user=NetworkService", *args, "--start=boot", env=env)
                    self.assertEqual(result.returncode, 1, result)
                    self.assertEqual([r[4] for r in log_records(result.stderr, "ERROR")],
                                     ["Invalid argument: arg=[%s]" % (shown or args[0])])
                    self.assertNotIn("hunter2", result.stderr)
                    self.assertNotIn("\tat ", result.stderr)
                    self.assertIsNone(query_service(self.home.service))

    def test_every_command_on_a_missing_service(self):
        for command, code, level, message in (
                ("uninstall-service", 0, "INFO ", "Service already uninstalled: service=[%s]"),
                ("start-service", 1, "ERROR", "Unable to start service: service not found: name=[%s]"),
                ("stop-service", 1, "ERROR", "Unable to stop service: service not found: name=[%s]"),
                ("_service", 1, "FATAL", "Exception:")):
            result = self.home.run(command)
            self.assertEqual(result.returncode, code, result)
            self.assertLogLine(result.stderr, level, message.replace("%s", self.home.service))
            self.assertEqual("\tat " in result.stderr, command == "_service", result)
        self.assertIn("service does not exist: service=[%s] call=OpenServiceW(1060)" % self.home.service, result.stderr)

    def test_start_modes_and_accounts_as_the_manager_holds_them(self):
        service = self.home.service
        # The user running the tests, given with its domain: registered as given, the domain not doubled.
        computer, user = run_windows("cmd", ["/c", "echo %COMPUTERNAME%\\%USERNAME%"]).stdout.strip().split("\\")
        rows = [  # (options, start type, account held, account logged); the last of a repeated option wins
            ((), AUTO_START, "LocalSystem", ""),
            (("--start=disabled", "--start=manual"), DEMAND_START, "LocalSystem", ""),
            (("--start=disabled", "--user=LocalSystem"), DISABLED, "LocalSystem", "LocalSystem"),
            (("--start=", "--user=", "--password="), AUTO_START, "LocalSystem", ""),
            (("--user=.\\LocalSystem", "--password=ignored"), AUTO_START, "LocalSystem", ".\\LocalSystem"),
            (("--start=manual", "--user=NetworkService"), DEMAND_START, "NT AUTHORITY\\NetworkService",
             "NT AUTHORITY\\NetworkService"),
            (("--user=%s\\%s" % (computer, user), "--password=hunter2"), AUTO_START, computer + "\\" + user,
             computer + "\\" + user),
            (("--user=.\\" + user, "--password=x"), AUTO_START, ".\\" + user, ".\\" + user),
        ]
        for args, start_type, account, logged_account in rows:
            with self.subTest(args=args):
                result = self.home.run("install-service", *args, env={"QUENDA_SERVICE_LOGGING_LEVEL": "trace"})
                self.assertEqual(result.returncode, 0, result)
                self.assertNotIn("hunter2", result.stderr + result.stdout)  # the password shows at no level
                display = "Olvar Tesk Agent (%s)" % self.home.windows
                self.assertLogLine(result.stderr, "INFO ", "Installing service: service=[%s] display=[%s] account=[%s]"
                                   % (service, display, logged_account))
                held = query_service(service)
                # At a reboot Windows waits 45 s for the stop: the host's 30 s grace and a margin.
                self.assertEqual((held["display"], held["binary"], held["start"], held["account"], held["state"],
                                  held["preshutdown"]),
                                 (display, '"%s\\bin\\agent.exe" _service_continue' % self.home.windows, start_type,
                                  account, STOPPED, 45000))
                # The access list is touched for any account but LocalSystem, and only then.
                touched = "add access allowed ace:" in result.stderr or "service has no access list" in result.stderr
                self.assertEqual(touched, account != "LocalSystem", result.stderr)
                again = self.home.run("install-service", "--start=disabled")
                self.assertEqual(again.returncode, 0, again)
                self.assertLogLine(again.stderr, "INFO ", "Service already installed: service=[%s]" % service)
                self.assertEqual(query_service(service)["start"], start_type)
                self.assertEqual(self.home.run("uninstall-service").returncode, 0)
                self.assertIsNone(query_service(service))

    def test_a_service_deleted_while_held_open_is_named_not_taken_as_installed(self):
        # Another program (the Services console, a query in a loop) holds it open while it is uninstalled.
        release, out = os.path.join(self.home.root, "release"), os.path.join(self.home.root, "holder.out")
        self.assertEqual(self.home.run("install-service").returncode, 0)
        with open(out, "wb") as f:
            holder = subprocess.Popen([WINE_RUN, HELPER_EXE, "query", self.home.service, windows_path(release)],
                                      stdin=subprocess.DEVNULL, stdout=f)
        self.addCleanup(holder.wait, BOUND)
        self.addCleanup(write_file, release, b"")
        wait_until(lambda: "pid=" in read_text(out), "the service to be held open")
        self.assertEqual(self.home.run("uninstall-service").returncode, 0)
        result = self.home.run("install-service")
        self.assertEqual((result.returncode, len(result.stderr_lines)), (1, 1), result)
        self.assertIn("Unable to install service: the service is marked for deletion: service=[%s]. Close " % self.home.service,
                      result.stderr)

    def test_an_installation_is_all_or_nothing(self):
        # A manager without delayed start (Wine) refuses it after the creation: the service is removed
        # again, and a second attempt fails the same way.
        for args in (["--user=n\u00f6-such-\u00fcser", "--password=x"], ["--start=delayed"], ["--start=delayed"]):
            result = self.home.run("install-service", *args)
            held = query_service(self.home.service)
            if result.returncode == 0:  # a manager with delayed start
                self.assertEqual((held or {}).get("delayed"), 1, result)
                return
            self.assertRegex(result.stderr, r"call=(LookupAccountNameW\(\d+\)|ChangeServiceConfig2W\(124\))", result)
            self.assertIsNone(held, result)


if __name__ == "__main__":
    unittest.main()
