"""The README's demonstration (scripts/demo.sh) in its fast mode, and its clean-up after interruptions.

The demonstration runs the real agent.exe under Wine through every user-facing step, including the
Windows service commands, so it is also an end-to-end check of the whole program as an administrator
meets it. Each test gives the demonstration a home of its own and removes whatever service and files
are left, also when the test fails.
"""

import os
import re
import shutil
import signal
import subprocess
import tempfile
import time
import unittest

from harness import (BOUND, SCRUBBED, kill_processes, processes_naming, query_service, remove_service, service_name_of,
                     wait_until, windows_path)

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
DEMO = os.path.join(ROOT, "scripts", "demo.sh")
BUILD = os.path.dirname(os.environ["WINE_RUN"])
DEMO_BOUND = 240  # seconds for one whole demonstration


class DemoTest(unittest.TestCase):
    def setUp(self):
        self.root = tempfile.mkdtemp(prefix="agent-demo-test-")
        self.home = os.path.join(self.root, "agent home")
        self.service = service_name_of(windows_path(self.home))
        self.output_path = os.path.join(self.root, "demo.out")
        self.addCleanup(shutil.rmtree, self.root, True)
        self.addCleanup(self.remove_leftovers)

    def remove_leftovers(self):
        """Whatever a failed test left behind: the service (stopped through its marker), the processes
        of the home and the home itself."""
        if os.path.isdir(os.path.join(self.home, "var")):
            open(os.path.join(self.home, "var", "shutdown"), "w").close()
        remove_service(self.service)
        kill_processes(windows_path(self.home) + "\\")
        kill_processes(os.path.join(self.home, "bin"))

    def start_demo(self, *extra):
        # A file, not a pipe: the background agent of the "start" step would hold a pipe open.
        self.output_file = open(self.output_path, "wb")
        self.addCleanup(self.output_file.close)
        environment = {k: v for k, v in dict(os.environ, AGENT_BUILD_DIR=BUILD).items() if k not in SCRUBBED}
        return subprocess.Popen(["bash", DEMO, "--fast", "--home", self.home] + list(extra), env=environment,
                                stdin=subprocess.DEVNULL, stdout=self.output_file, stderr=subprocess.STDOUT)

    def output(self):
        with open(self.output_path, encoding="utf-8", errors="replace") as f:
            return f.read()

    def run_demo(self, *extra):
        process = self.start_demo(*extra)
        try:
            returncode = process.wait(timeout=DEMO_BOUND)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait(timeout=BOUND)
            raise AssertionError("the demonstration did not end in time:\n" + self.output())
        return returncode, self.output()

    def interrupt_when(self, predicate, sig):
        """Starts the demonstration and sends it `sig` as soon as its output satisfies `predicate`."""
        process = self.start_demo()
        deadline = time.monotonic() + DEMO_BOUND
        try:
            while not predicate(self.output()):
                if process.poll() is not None:
                    raise AssertionError("the demonstration ended before the point of interruption:\n" + self.output())
                if time.monotonic() > deadline:
                    raise AssertionError("the demonstration never reached the point of interruption:\n" + self.output())
                time.sleep(0.05)
            process.send_signal(sig)
            return process.wait(timeout=DEMO_BOUND)
        finally:
            if process.poll() is None:
                process.kill()
                process.wait(timeout=BOUND)

    @staticmethod
    def service_is_running(text):
        return re.search(r"STATE\s*:\s*4\s+RUNNING", text) is not None

    def assertCleanedUp(self, text):
        self.assertFalse(os.path.exists(self.home), "the sample home was left behind:\n" + text)
        self.assertIsNone(query_service(self.service), "the service was left installed:\n" + text)
        # Processes that were asked to stop take a moment to go.
        wait_until(lambda: not processes_naming(windows_path(self.home) + "\\"), "the home's processes to end")

    def test_fast_demonstration(self):
        returncode, text = self.run_demo()
        self.assertEqual(returncode, 0, text)
        self.assertNotIn("DEMO FAILED", text)
        self.assertNotIn("service steps are skipped", text)

        # The banner names this home's service, computed here independently.
        self.assertIn("  service_name=%s\n" % self.service, text)
        self.assertIn("  agent_home=%s\n" % windows_path(self.home), text)

        # Each of the three ways to run the agent handed the Java side its mode, the options of
        # javaopts.conf and the variables of set_env.cmd, with bin as working directory.
        for mode in ("run", "start", "_service"):
            self.assertRegex(text, r"-Dagent\.mode=%s\s+\[always\]" % re.escape(mode))
        self.assertEqual(len(re.findall(r"-Xmx256m\s+\[javaopts\.conf\]", text)), 3, text)
        self.assertEqual(len(re.findall(r"(?m)^ +DEMO_GREETING=hello from set_env\.cmd$", text)), 3, text)
        self.assertEqual(text.count("working directory: %s\\bin\n" % windows_path(self.home)), 3, text)
        self.assertEqual(len(re.findall(r"-Xrs\s+\[background modes", text)), 2, text)
        self.assertEqual(len(re.findall(r"-DteskLogToConsole=y\s+\[console modes", text)), 1, text)
        self.assertIn("QUENDA_SERVICE_NAME=%s\n" % self.service, text)
        self.assertRegex(text, r"exit\s+\[exit hook of the service host\]")

        # "run" ended with 0 after "stop"; the log showed set_env.cmd being loaded.
        self.assertIn('"run" ended with exit code 0', text)
        self.assertIn("Did load set_env.cmd", text)
        # The service ran, was registered with its quoted command line, and stopped cleanly.
        self.assertIn('"%s\\bin\\agent.exe" _service_continue' % windows_path(self.home), text)
        self.assertTrue(self.service_is_running(text), text)
        self.assertIn("Service stopped", text)
        self.assertIn("Unable to start service: service not found: name=[%s]" % self.service, text)
        self.assertCleanedUp(text)

    def test_interrupted_demonstration_removes_its_service(self):
        returncode = self.interrupt_when(self.service_is_running, signal.SIGTERM)
        text = self.output()
        self.assertNotEqual(returncode, 0, text)
        self.assertIn("Cleaning up: removing the sample home's service", text)
        self.assertCleanedUp(text)

    def test_second_run_after_a_killed_one(self):
        # Killed outright once its service is registered, the demonstration cannot clean up: the service
        # and the home stay behind (a command it had started may still finish its step meanwhile).
        self.interrupt_when(lambda text: "The registration, as the service manager keeps it" in text, signal.SIGKILL)
        # The step the demonstration had under way when it was killed finishes on its own.
        wait_until(lambda: not processes_naming(os.path.join(self.home, "bin", "agent.exe")), "the step under way to end")
        self.assertTrue(os.path.isdir(self.home))
        self.assertIsNotNone(query_service(self.service))
        # The next run takes them down first and then works as the first one did.
        returncode, text = self.run_demo()
        self.assertEqual(returncode, 0, text)
        self.assertEqual(text.count("Did load set_env.cmd"), 1, text)
        self.assertIn("Service stopped", text)
        self.assertCleanedUp(text)


if __name__ == "__main__":
    unittest.main()
