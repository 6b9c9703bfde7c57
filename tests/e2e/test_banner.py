"""The version banner of the real agent.exe: what it says about the executable and its home."""

import hashlib
import os
import shutil
import tempfile
import unittest

from harness import AGENT_EXE, AgentTestCase, run_windows, windows_path

USAGE = "Usage: agent run|start|stop|install-service|uninstall-service"


def expected_service_name(windows_home):
    # Only A-Z fold; the digest is over the UTF-16LE text.
    folded = "".join(chr(ord(c) + 32) if "A" <= c <= "Z" else c for c in windows_home)
    return "olvar-tesk-agent-" + hashlib.sha256(folded.encode("utf-16-le")).hexdigest()[:32]


def sha256_of_file(path):
    with open(path, "rb") as stored:
        return hashlib.sha256(stored.read()).hexdigest()


class Banner:
    """The seven lines of one banner, checked for their shape as they are parsed."""

    def __init__(self, test, result):
        test.assertEqual(result.returncode, 1, result)
        test.assertEqual(result.stdout, "", result)
        lines = result.stderr_lines
        test.assertEqual(len(lines), 7, result)
        test.assertEqual(lines[0], "Olvar Tesk Agent")
        test.assertEqual(lines[6], USAGE)
        self.values = {}
        for line, key in zip(lines[1:6], ("agent_home", "service_name", "build_life_id", "git_rev_id", "exe_hash")):
            test.assertTrue(line.startswith("  %s=" % key), result)
            self.values[key] = line.split("=", 1)[1]
        test.assertRegex(self.values["service_name"], r"^olvar-tesk-agent-[0-9a-f]{32}$")
        test.assertRegex(self.values["build_life_id"], r"^\S{8}$")
        test.assertRegex(self.values["git_rev_id"], r"^[0-9a-f]{40}$")
        test.assertRegex(self.values["exe_hash"], r"^[0-9a-f]{64}$")

    def __getitem__(self, key):
        return self.values[key]


class BannerTest(AgentTestCase):
    def make_home(self, root, name):
        """Another installation under root, holding a copy of the program in its bin directory."""
        path = os.path.join(root, name)
        os.makedirs(os.path.join(path, "bin"))
        exe = os.path.join(path, "bin", "agent.exe")
        shutil.copyfile(AGENT_EXE, exe)
        return exe

    def scratch_root(self):
        root = tempfile.mkdtemp(prefix="agent-e2e-")
        self.addCleanup(shutil.rmtree, root, True)
        return root

    def test_banner_describes_this_executable_and_home(self):
        for args in ((), ("",), ("", "extra")):
            with self.subTest(args=args):
                banner = Banner(self, self.home.run(*args))
                self.assertEqual(banner["agent_home"], self.home.windows)
                self.assertEqual(banner["service_name"], expected_service_name(self.home.windows))
                self.assertEqual(banner["exe_hash"], sha256_of_file(self.home.exe))

    def test_digest_is_of_the_file_as_stored(self):
        # Appended bytes change the file but not the program that runs.
        with open(self.home.exe, "ab") as exe:
            exe.write(b"\0" * 5000)
        banner = Banner(self, self.home.run())
        self.assertEqual(banner["exe_hash"], sha256_of_file(self.home.exe))
        self.assertNotEqual(banner["exe_hash"], sha256_of_file(AGENT_EXE))

    def test_homes_that_differ_only_in_letter_case_share_a_service_name(self):
        root = self.scratch_root()
        banners = [Banner(self, run_windows(self.make_home(root, name), [])) for name in ("agent home", "AGENT Home")]
        self.assertNotEqual(banners[0]["agent_home"], banners[1]["agent_home"])
        self.assertEqual(banners[0]["service_name"], banners[1]["service_name"])
        # Letters beyond A-Z keep their case, so these are two services.
        accented = [Banner(self, run_windows(self.make_home(root, name), [])) for name in ("\u00c9mile", "\u00e9mile")]
        self.assertNotEqual(accented[0]["service_name"], accented[1]["service_name"])
        for banner in accented:
            self.assertEqual(banner["service_name"], expected_service_name(banner["agent_home"]))

    def test_upgrade_home_variable_sets_home_and_service_name(self):
        given = self.home.windows.replace("\\", "/") + "/../other home/"
        banner = Banner(self, self.home.run(env={"UPGRADE_SET_AGENT_HOME": given}))
        expected = windows_path(os.path.join(self.home.root, "other home"))
        self.assertEqual(banner["agent_home"], expected)
        self.assertEqual(banner["service_name"], expected_service_name(expected))
        # The digest is still of the running file.
        self.assertEqual(banner["exe_hash"], sha256_of_file(self.home.exe))
        # A home at a drive's root is "Z:\"; its service keeps the name it has always had, of "z:".
        banner = Banner(self, self.home.run(env={"UPGRADE_SET_AGENT_HOME": "Z:/"}))
        self.assertEqual((banner["agent_home"], banner["service_name"]), ("Z:\\", expected_service_name("Z:")))

    def test_executable_path_longer_than_max_path(self):
        root = self.scratch_root()
        home = os.path.join(root, "a" * 100, "b" * 100, "c" * 60)
        exe = self.make_home(os.path.dirname(home), os.path.basename(home))
        self.assertGreater(len(windows_path(exe)), 260)
        banner = Banner(self, run_windows(exe, []))
        self.assertEqual(banner["agent_home"], windows_path(home))
        self.assertEqual(banner["exe_hash"], sha256_of_file(exe))


if __name__ == "__main__":
    unittest.main()
