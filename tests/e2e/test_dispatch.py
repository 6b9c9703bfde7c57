"""Command-word dispatch, exit codes and the start-up record of the real agent.exe."""

import os
import re
import unittest

from harness import AgentTestCase

LINE = re.compile(r"^(TRACE|DEBUG|INFO |WARN |ERROR|FATAL) (\S+)\(([^():/\\]+):(\d+)\): (.*)$")


class DispatchTest(AgentTestCase):
    def test_unknown_word_is_reported_by_run_command(self):
        for word in ("bogus", "x" * 5000, "r\u00e9sum\u00e9", "\u4e2d\u6587"):
            with self.subTest(word=word[:20]):
                result = self.home.run(word)
                self.assertEqual(result.returncode, 1, result)
                self.assertEqual(len(result.stderr_lines), 1, result)
                match = LINE.match(result.stderr_lines[0])
                self.assertIsNotNone(match, result)
                self.assertEqual(match.group(1), "ERROR")
                self.assertEqual(match.group(2), "run_command")
                self.assertEqual(match.group(3), "command_table.cpp")
                self.assertEqual(match.group(5), "Unknown command: " + word)
                self.assertNoCrash(result)

    def test_no_word_and_empty_word_select_the_banner_row(self):
        for args in ((), ("",), ("", "extra")):
            with self.subTest(args=args):
                result = self.home.run(*args)
                self.assertEqual(result.returncode, 1, result)
                self.assertNotIn("Unknown command", result.stderr)
                self.assertNoCrash(result)

    def test_lookup_ignores_case_and_handlers_see_only_following_arguments(self):
        result = self.home.run("RUN", "a\\\\\"b", "c d", env={"QUENDA_SERVICE_LOGGING_LEVEL": " Debug "})
        self.assertEqual(result.returncode, 1, result)
        self.assertNotIn("Unknown command", result.stderr)
        self.assertIn("argc=4 argv=", result.stderr)
        self.assertIn("  [1]=RUN", result.stderr)
        self.assertIn('  [2]=a\\\\"b', result.stderr)
        self.assertIn("  [3]=c d", result.stderr)

    def test_start_up_record_names_pid_home_and_arguments(self):
        result = self.home.run("run", env={"QUENDA_SERVICE_LOGGING_LEVEL": "debug"})
        debug = [LINE.match(line) for line in result.stderr_lines if line.startswith("DEBUG")]
        self.assertTrue(all(debug), result)
        texts = [m.group(5) for m in debug if m.group(2) == "log_app_startup"]
        self.assertRegex(texts[0], r"^pid=\[\d+\]$")
        self.assertEqual(texts[1], "agent_home=[%s]" % self.home.windows)
        self.assertEqual(texts[2], "argc=2 argv=")
        self.assertEqual(texts[3], "  [0]=%s\\bin\\agent.exe" % self.home.windows)
        self.assertEqual(texts[4], "  [1]=run")

    def test_restart_writes_the_start_up_record_once_after_its_stream_set_up(self):
        result = self.home.run("_Restart", env={"QUENDA_SERVICE_LOGGING_LEVEL": "debug"})
        self.assertEqual(result.stderr.count("argc=2 argv="), 1, result)
        # Without a further word it re-runs the banner row: usage and exit code 1.
        self.assertEqual(result.returncode, 1, result)
        self.assertIn("Usage: agent ", result.stderr)
        self.assertTrue(os.path.exists(self.home.file("var/shutdown")))

    def test_gates(self):
        cases = {" TrAcE ": ("DEBUG", "TRACE"), "debug": ("DEBUG",), "info": (), "": ()}
        for level, expected in cases.items():
            with self.subTest(level=level):
                result = self.home.run("run", env={"QUENDA_SERVICE_LOGGING_LEVEL": level})
                self.assertEqual("DEBUG" in result.stderr, "DEBUG" in expected, result)
        # No line of any level may show a build path.
        self.assertNotRegex(result.stderr, r"\((/|[A-Z]:\\)")


if __name__ == "__main__":
    unittest.main()
