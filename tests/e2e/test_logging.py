"""FATAL lines, exception traces and the gates, through a small program linked with the logger."""

import os
import re
import unittest

from harness import AgentTestCase, run_windows

PROBE = os.environ["LOG_PROBE_EXE"]
FRAME = re.compile(r"^\tat (\S.*)\((\S+):(\d+)\) - 0x[0-9a-f]+=0x[0-9a-f]+\+[0-9a-f]+$")


class LoggingTest(AgentTestCase):
    def test_fatal_line_is_followed_by_a_resolved_trace_and_exit_code_1(self):
        result = run_windows(PROBE, ["fatal"])
        self.assertEqual(result.returncode, 1, result)
        lines = result.stderr_lines
        self.assertRegex(lines[0], r"^FATAL wmain\(log_probe\.cpp:\d+\): probe fatal: 42$")
        frames = [FRAME.match(line) for line in lines[1:]]
        self.assertTrue(frames and all(frames), result)
        self.assertEqual(frames[0].group(1), "log_message")
        self.assertEqual(frames[0].group(2), "logging.cpp")
        self.assertIn("wmain", [f.group(1) for f in frames])
        self.assertNoCrash(result)

    def test_line_with_exception_prints_the_trace_captured_at_the_throw(self):
        result = run_windows(PROBE, ["error-with-exception"])
        self.assertEqual(result.returncode, 0, result)
        self.assertRegex(result.stderr_lines[0], r"^ERROR wmain\(log_probe\.cpp:\d+\): caught:$")
        self.assertRegex(result.stderr_lines[1],
                         r"^  fail_deep_inside\(log_probe\.cpp:\d+\): system call failed: call=ProbeCall\(87\)")
        frames = [line for line in result.stderr_lines[2:] if line.startswith("\tat ")]
        # Printed twice, identically; the throwing function is among the first frames.
        half = len(frames) // 2
        self.assertEqual(frames[:half], frames[half:])
        self.assertIn("fail_deep_inside(log_probe.cpp", "".join(frames[:3]))

    def test_gates_follow_the_level_variable(self):
        for level, expect_debug, expect_trace in ((" TRACE\t", True, True), ("Debug", True, False),
                                                  ("verbose", False, False), ("", False, False)):
            with self.subTest(level=level):
                result = run_windows(PROBE, ["levels"], env={"QUENDA_SERVICE_LOGGING_LEVEL": level})
                self.assertEqual("debug line" in result.stderr, expect_debug, result)
                self.assertEqual("trace line" in result.stderr, expect_trace, result)
                self.assertIn("INFO  wmain(log_probe.cpp:", result.stderr)


if __name__ == "__main__":
    unittest.main()
