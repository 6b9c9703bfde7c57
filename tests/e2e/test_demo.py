"""The README's demonstration (scripts/demo.sh) in its fast mode, and its clean-up after interruptions.

The demonstration runs the real agent.exe under Wine through every user-facing step, the Windows
service commands included, so it also checks the whole program as an administrator meets it. Each test
gives it a home of its own and removes whatever service, processes and files are left."""

import os
import re
import shutil
import signal
import subprocess
import tempfile
import unittest

from harness import (BOUND, SCRUBBED, kill_processes, processes_naming, query_service, read_text, remove_service,
                     service_name_of, wait_until, windows_path)

DEMO = os.path.join(os.path.dirname(__file__), "..", "..", "scripts", "demo.sh")
DEMO_BOUND = 240  # seconds for one whole demonstration


class DemoTest(unittest.TestCase):
    def setUp(self):
        self.root = tempfile.mkdtemp(prefix="agent-demo-test-")
        self.home = os.path.join(self.root, "agent home")
        self.service = service_name_of(windows_path(self.home))
        self.addCleanup(shutil.rmtree, self.root, True)
        self.addCleanup(kill_processes, windows_path(self.home) + "\\")
        self.addCleanup(remove_service, self.service)
        self.addCleanup(lambda: os.path.isdir(self.home + "/var") and open(self.home + "/var/shutdown", "w").close())

    def output(self):
        return read_text(os.path.join(self.root, "demo.out"))

    def run_demo(self, until=None, sig=None):
        """Runs the demonstration to its end, or sends it `sig` once its output satisfies `until`;
        returns its exit code and output."""
        # A file, not a pipe: the background agent of the "start" step would hold a pipe open.
        with open(os.path.join(self.root, "demo.out"), "wb") as output:
            env = {k: v for k, v in dict(os.environ, AGENT_BUILD_DIR=os.path.dirname(os.environ["WINE_RUN"])).items()
                   if k not in SCRUBBED}
            process = subprocess.Popen(["bash", DEMO, "--fast", "--home", self.home], env=env, stdin=subprocess.DEVNULL,
                                       stdout=output, stderr=subprocess.STDOUT)
            try:
                if until:
                    wait_until(lambda: until(self.output()) or process.poll() is not None, "the point of interruption",
                               DEMO_BOUND)
                    self.assertIsNone(process.poll(), "the demonstration ended before the point of interruption")
                    process.send_signal(sig)
                return process.wait(timeout=DEMO_BOUND), self.output()
            finally:
                if process.poll() is None:
                    process.kill()
                    process.wait(timeout=BOUND)

    def assertCleanedUp(self, text):
        self.assertFalse(os.path.exists(self.home), "the sample home was left behind:\n" + text)
        self.assertIsNone(query_service(self.service), "the service was left installed:\n" + text)
        wait_until(lambda: not processes_naming(windows_path(self.home) + "\\"), "the home's processes to end")

    def test_a_run_after_a_killed_one_takes_its_leftovers_down_and_shows_every_step(self):
        # Killed outright once its service is registered, the demonstration cannot clean up: the service
        # and the home stay behind, and the step it had under way finishes on its own.
        self.run_demo(lambda text: "The registration, as the service manager keeps it" in text, signal.SIGKILL)
        wait_until(lambda: not processes_naming(os.path.join(self.home, "bin", "agent.exe")), "the step under way to end")
        self.assertTrue(os.path.isdir(self.home))
        self.assertIsNotNone(query_service(self.service))

        returncode, text = self.run_demo()
        self.assertEqual(returncode, 0, text)
        self.assertNotIn("DEMO FAILED", text)
        self.assertNotIn("service steps are skipped", text)
        # The banner names this home's service, computed here independently; each way to run the agent
        # (in the console, in the background, as the service) handed the Java side the options of
        # javaopts.conf and the variables of set_env.cmd. (What exactly each mode gets: test_java_hosting.py.)
        self.assertIn("  service_name=%s\n" % self.service, text)
        for pattern in (r"-Xmx256m\s+\[javaopts\.conf\]", r"(?m)^ +DEMO_GREETING=hello from set_env\.cmd$"):
            self.assertEqual(len(re.findall(pattern, text)), 3, pattern)
        self.assertIn('"run" ended with exit code 0', text)
        self.assertRegex(text, r"STATE\s*:\s*4\s+RUNNING")
        self.assertIn("Service stopped", text)
        self.assertCleanedUp(text)

    def test_an_interrupted_demonstration_removes_its_service(self):
        returncode, text = self.run_demo(lambda text: re.search(r"STATE\s*:\s*4\s+RUNNING", text), signal.SIGTERM)
        self.assertNotEqual(returncode, 0, text)
        self.assertIn("Cleaning up: removing the sample home's service", text)
        self.assertCleanedUp(text)


if __name__ == "__main__":
    unittest.main()
