"""Command words, the start-up record, the log gates and the shape of log lines. (FATAL lines and their
resolved traces: tests/e2e/test_package.py.)"""

import os
import unittest

from harness import AgentTestCase, log_records

class DispatchTest(AgentTestCase):
    def test_an_unknown_word_is_named_in_one_error_line(self):
        # Only A-Z fold: a dotless i or a Kelvin sign does not make a command word.
        for word in ("bogus", "x" * 5000, "r\u00e9sum\u00e9", "\u4e2d\u6587", "_\u212aill_ancestor", "st\u0131rt"):
            with self.subTest(word=word[:20]):
                result = self.home.run(word, "arg")
                self.assertEqual(result.returncode, 1, result)
                [record] = log_records(result.stderr)
                self.assertEqual(record[:3] + record[4:], ("ERROR", "run_command", "command_table.cpp", "Unknown command: " + word))

    def test_start_up_record_names_pid_home_and_arguments_with_secrets_masked(self):
        result = self.home.run("RUN", "a\\\\\"b", "c d", env={"QUENDA_SERVICE_LOGGING_LEVEL": " Debug "})
        texts = [r[4] for r in log_records(result.stderr, "DEBUG") if r[1] == "log_app_startup"]
        self.assertRegex(texts[0], r"^pid=\[\d+\]$")
        self.assertEqual(texts[1:], ["agent_home=[%s]" % self.home.windows, "argc=4 argv=",
                                     "  [0]=%s\\bin\\agent.exe" % self.home.windows, "  [1]=RUN", '  [2]=a\\\\"b',
                                     "  [3]=c d"])
        # "_restart" writes it once, after the stream set-up of the word it runs.
        result = self.home.run("_Restart", "_testjvm", "s3cr3t", env={"QUENDA_SERVICE_LOGGING_LEVEL": "debug"})
        self.assertEqual(result.stderr.count("argc=4 argv="), 1, result)
        self.assertNotIn("s3cr3t", result.stderr)
        self.assertTrue(os.path.exists(self.home.file("var/shutdown")))

    def test_gates_follow_the_level_and_no_line_shows_a_build_path(self):
        for level, shown in ((" TrAcE ", {"TRACE", "DEBUG"}), ("debug", {"DEBUG"}), ("info", set()), ("", set())):
            with self.subTest(level=level):
                result = self.home.run("run", env={"QUENDA_SERVICE_LOGGING_LEVEL": level})
                self.assertEqual({r[0] for r in log_records(result.stderr)} & {"TRACE", "DEBUG"}, shown, result)
                # Every line is a log record whose site is a bare file name.
                self.assertEqual(len(log_records(result.stderr)), len(result.stderr_lines), result)


if __name__ == "__main__":
    unittest.main()
