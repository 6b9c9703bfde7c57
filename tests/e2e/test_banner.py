"""The version banner: what agent.exe says about itself and its home, and the home it finds."""

import hashlib
import os
import unittest

from harness import AgentTestCase, service_name_of, windows_path


def sha256_of_file(path):
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


class BannerTest(AgentTestCase):
    java = False

    def banner(self, result):
        """The five values of a banner, checked for its shape: seven lines on standard error, exit code 1."""
        self.assertEqual((result.returncode, result.stdout), (1, ""), result)
        lines = result.stderr_lines
        self.assertEqual(len(lines), 7, result)
        self.assertEqual((lines[0], lines[6]), ("Olvar Tesk Agent", "Usage: agent run|start|stop|install-service|uninstall-service"))
        values = dict(line.strip().split("=", 1) for line in lines[1:6])
        self.assertEqual(list(values), ["agent_home", "service_name", "build_life_id", "git_rev_id", "exe_hash"], result)
        self.assertRegex(values["build_life_id"], r"^\S{8}$")
        self.assertRegex(values["git_rev_id"], r"^[0-9a-f]{40}$")
        return values

    def test_banner_names_this_home_its_service_and_the_digest_of_the_file_as_stored(self):
        # Appended bytes change the file but not the program that runs.
        with open(self.home.exe, "ab") as exe:
            exe.write(b"\0" * 5000)
        for args in ((), ("",), ("", "extra")):
            with self.subTest(args=args):
                values = self.banner(self.home.run(*args))
                self.assertEqual(values["agent_home"], self.home.windows)
                self.assertEqual(values["service_name"], service_name_of(self.home.windows))
                self.assertEqual(values["exe_hash"], sha256_of_file(self.home.exe))

    def test_upgrade_home_variable_gives_the_home_in_canonical_form_and_its_service_name(self):
        cases = {
            self.home.windows.replace("\\", "/") + "/../other home/": windows_path(os.path.join(self.home.root, "other home")),
            "Z:\\elsewhere\\\\x\\..\\agent\\\\": "Z:\\elsewhere\\agent",
            # Only A-Z fold in the service name: other letters keep their case.
            "Z:\\One\\AGENT Home": "Z:\\One\\AGENT Home", "Z:\\\u00c9mile": "Z:\\\u00c9mile",
            # A drive's root is "Z:\\" ("Z:" would be the current directory on Z); its service keeps the
            # name it has always had, that of "z:".
            "Z:/": "Z:\\",
        }
        for given, home in cases.items():
            with self.subTest(given=given):
                values = self.banner(self.home.run(env={"UPGRADE_SET_AGENT_HOME": given}))
                self.assertEqual(values["agent_home"], home)
                self.assertEqual(values["service_name"], service_name_of(home[:2] if home.endswith(":\\") else home))
                self.assertEqual(values["exe_hash"], sha256_of_file(self.home.exe))

    def test_executable_path_longer_than_max_path(self):
        home = self.make_home(os.path.join("a" * 100, "b" * 100, "c" * 60), java=False)
        self.assertGreater(len(windows_path(home.exe)), 260)
        values = self.banner(home.run())
        self.assertEqual(values["agent_home"], home.windows)
        self.assertEqual(values["exe_hash"], sha256_of_file(home.exe))


if __name__ == "__main__":
    unittest.main()
