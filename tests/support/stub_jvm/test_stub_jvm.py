"""Checks the stand-in Java runtime under Wine through the minimal host, before other tests trust it.

Needs STUB_JVM_DLL, STUB_JAVA_EXE, STUB_HOST_CHECK (built files) and WINE_RUN (the build's Wine
wrapper); CTest sets them.
"""

import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
import unittest
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "e2e"))
import javahome  # noqa: E402

WINE_RUN = os.environ.get("WINE_RUN", "")
HOST = os.environ.get("STUB_HOST_CHECK", "")
LAUNCHER_CLASS = "com/brindle/quill/agent/CompactAgentLauncher"


class StubTestCase(unittest.TestCase):
    def setUp(self):
        self.home = Path(tempfile.mkdtemp(prefix="stubjvm-"))
        self.addCleanup(shutil.rmtree, self.home, ignore_errors=True)
        (self.home / "var").mkdir()
        self.java_home = javahome.make_java_home(self.home / "java")
        self.jvm = javahome.windows_path(self.java_home / "bin/server/jvm.dll")
        self.env = dict(os.environ, AGENT_HOME=javahome.windows_path(self.home))

    def start(self, program, *args):
        return subprocess.Popen([WINE_RUN, program, *args], env=self.env, stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE, stdin=subprocess.DEVNULL, text=True, encoding="utf-8")

    def run_program(self, program, *args):
        process = self.start(program, *args)
        out, err = process.communicate(timeout=60)
        return process.returncode, out, err

    def host(self, *args):
        return self.run_program(HOST, self.jvm, *args)

    def record(self, name="stub-jvm.record"):
        return javahome.read_record(self.home / "var" / name)


class JvmStartTest(StubTestCase):
    def test_main_gets_its_arguments_and_the_record_shows_the_whole_start(self):
        rc, out, _ = self.host("--arg=héllo wörld", "--arg=", "--", "-Xmx64m", "-Dagent.home=C:\\ägent",
                               "-Djava.class.path=a.jar;b.jar")
        self.assertEqual(rc, 0)
        self.assertIn("stub jvm: main started", out)
        [run] = self.record()
        self.assertEqual(run.options, ["-Xmx64m", "-Dagent.home=C:\\ägent", "-Djava.class.path=a.jar;b.jar"])
        self.assertEqual(run.value("classpath"), "a.jar;b.jar")
        self.assertEqual(run.env["AGENT_HOME"], javahome.windows_path(self.home))
        self.assertEqual(run.value("main.class"), LAUNCHER_CLASS)
        self.assertEqual(run.main_args, ["héllo wörld", ""])
        self.assertEqual(run.value("hook.exit"), "no")
        self.assertEqual(run.value("main.thread"), run.value("create.thread"))
        keys = run.keys()
        self.assertLess(keys.index("create.result"), keys.index("main.returned"))
        self.assertLess(keys.index("main.returned"), keys.index("destroy"))

    def test_every_call_form_passes_the_argument_array(self):
        for form in ("A", "varargs"):
            rc, _, _ = self.host("--call=" + form, "--arg=x")
            self.assertEqual(rc, 0)
        self.assertEqual([run.main_args for run in self.record()], [["x"], ["x"]])

    def test_a_second_run_appends_after_a_separator(self):
        self.host()
        self.host("--", "-Dstub.main=return")
        text = (self.home / "var/stub-jvm.record").read_text(encoding="utf-8")
        self.assertEqual(text.count("\n---\n"), 1)

    def test_start_arguments_of_another_version_are_refused(self):
        rc, _, err = self.host("--version=10006")
        self.assertEqual(rc, 4)
        self.assertIn("returned -3", err)

    def test_options_a_real_runtime_does_not_know_are_refused(self):
        for option in ("-Xbogus", "--nonsense", "garbage", "-Xmxlots", "-XX:", "-Xcheck:all"):
            rc, _, err = self.host("--", "-Xrs", option)
            self.assertEqual(rc, 4, option)
            self.assertIn("Unrecognized option: " + option, err)
            self.assertIn("returned -6", err)
        self.assertEqual({run.value("create.result") for run in self.record()}, {"-6"})

    def test_options_the_program_passes_are_accepted(self):
        rc, _, err = self.host("--", "-Dx=y", "-Dflag", "-Xmx512m", "-Xms1G", "-Xss512k", "-Xrs", "-Xint", "-Xcheck:jni",
                               "-Xdebug", "-Xrunjdwp:transport=dt_socket,address=10001,server=y,suspend=n",
                               "-XX:+HeapDumpOnOutOfMemoryError", "-agentlib:jdwp=transport=dt_socket",
                               "-agentpath:C:\\a.dll", "-javaagent:a.jar", "-ea", "-da", "-esa", "-verbose:gc")
        self.assertEqual(rc, 0, err)

    def test_unknown_options_pass_when_the_host_asks_to_ignore_them(self):
        rc, _, _ = self.host("--ignore-unrecognized", "--", "garbage")
        self.assertEqual(rc, 0)

    def test_only_one_virtual_machine_per_process(self):
        rc, out, _ = self.host("--create-twice")
        self.assertEqual(rc, 0)
        self.assertIn("second JNI_CreateJavaVM returned -5", out)

    def test_scripted_creation_status(self):
        rc, _, err = self.host("--", "-Dstub.create.status=-4")
        self.assertEqual(rc, 4)
        self.assertIn("returned -4", err)

    def test_misspelt_stub_setting_is_loud(self):
        rc, _, err = self.host("--", "-Dstub.mian=exit:3")
        self.assertEqual(rc, 99)
        self.assertIn("stub.mian", err)


class JvmMisuseTest(StubTestCase):
    def test_a_call_outside_the_used_set_ends_the_process(self):
        rc, _, err = self.host("--unexpected")
        self.assertEqual(rc, 99)
        self.assertIn("stub jvm: unexpected JNI call GetSuperclass", err)

    def test_failing_steps_leave_the_exception_a_real_runtime_leaves(self):
        cases = {"findclass-string": ("FindClass java/lang/String", "java.lang.NoClassDefFoundError: java/lang/String"),
                 "findclass-main": ("FindClass of the main class", "NoClassDefFoundError: " + LAUNCHER_CLASS),
                 "getstaticmethodid": ("GetStaticMethodID", "java.lang.NoSuchMethodError: main"),
                 "newobjectarray": ("NewObjectArray", "java.lang.OutOfMemoryError"),
                 "newstring": ("NewString", "java.lang.OutOfMemoryError")}
        for fail, (step, exception) in cases.items():
            rc, _, err = self.host("--arg=a", "--", "-Dstub.fail=" + fail)
            self.assertEqual(rc, 5, fail)
            self.assertIn("host_check: " + step + " failed", err)
            self.assertIn('Exception in thread "main" ', err)
            self.assertIn(exception, err)

    def test_a_class_name_with_dots_is_not_found(self):
        rc, _, err = self.host("--class=com.brindle.quill.agent.CompactAgentLauncher")
        self.assertEqual(rc, 5)
        self.assertIn("NoClassDefFoundError", err)


class JavaMainTest(StubTestCase):
    def test_main_that_throws_leaves_a_pending_exception(self):
        rc, _, err = self.host("--", "-Dstub.main=throw")
        self.assertEqual(rc, 1)
        self.assertRegex(err, r'Exception in thread "main" java\.lang\.RuntimeException: .*\r?\n\tat com\.brindle')
        self.assertTrue(self.record()[0].has("main.threw"))

    def test_exit_without_hook_ends_the_process_with_the_status(self):
        rc, _, _ = self.host("--", "-Dstub.main=exit:7")
        self.assertEqual(rc, 7)
        [run] = self.record()
        self.assertEqual(run.value("exit.status"), "7")
        self.assertFalse(run.has("main.returned") or run.has("destroy"))

    def test_a_hook_that_returns_is_followed_by_the_end_of_the_process(self):
        rc, out, _ = self.host("--hook=return", "--", "-Dstub.main=exit:6")
        self.assertEqual(rc, 6)
        self.assertIn("exit hook status=6", out)
        [run] = self.record()
        self.assertEqual(run.value("hook.exit"), "yes")
        self.assertTrue(run.has("exit.hook.returned"))

    def test_exit_from_another_java_thread_reaches_a_blocking_hook_on_that_thread(self):
        rc, out, _ = self.host("--hook=block", "--", "-Dstub.main=thread-exit:3")
        self.assertEqual(rc, 3)
        hook_thread = re.search(r"exit hook status=3 thread=(\d+)", out).group(1)
        [run] = self.record()
        self.assertEqual(run.value("exit.thread"), hook_thread)
        self.assertNotEqual(run.value("exit.thread"), run.value("main.thread"))
        self.assertFalse(run.has("exit.hook.returned"))

    def test_wait_shutdown_returns_once_the_marker_appears_and_consumes_it(self):
        process = self.start(HOST, self.jvm, "--thread", "--", "-Dstub.main=wait-shutdown-then-exit:4", "-Dstub.poll.ms=20")
        javahome.wait_for_record(self.home / "var/stub-jvm.record", lambda runs: runs and runs[0].has("main.thread"))
        time.sleep(0.5)
        self.assertIsNone(process.poll())
        (self.home / "var/shutdown").touch()
        process.communicate(timeout=30)
        self.assertEqual(process.returncode, 4)
        self.assertFalse((self.home / "var/shutdown").exists())
        self.assertTrue(self.record()[0].has("shutdown.seen"))

    def test_spawn_starts_a_child_with_extra_environment_once(self):
        jar = javahome.write_upgrader_jar(self.home / "up.jar", exit_status=5)
        java_record = self.home / "var/java.record"
        once = self.home / "var/spawned"
        options = ["-Dstub.spawn.exe=" + javahome.windows_path(self.java_home / "bin/java.exe"),
                   "-Dstub.spawn=-Dstub.record=" + javahome.windows_path(java_record) + " -jar " + javahome.windows_path(jar),
                   "-Dstub.spawn.env=UPGRADE_JAVA_OPTS=-Xmx64m", "-Dstub.spawn.env=AGENT_HOME=elsewhere",
                   "-Dstub.spawn.once=" + javahome.windows_path(once)]
        rc, _, _ = self.host("--", *options)
        self.assertEqual(rc, 0)
        [child] = javahome.wait_for_record(java_record, lambda runs: runs and runs[0].has("exit.status"))
        self.assertEqual(child.value("exit.status"), "5")
        self.assertEqual(child.env["UPGRADE_JAVA_OPTS"], "-Xmx64m")
        self.assertEqual(child.env["AGENT_HOME"], "elsewhere")
        self.assertEqual(child.value("pid"), self.record()[0].value("spawn.pid"))
        self.host("--", *options)
        self.assertTrue(self.record()[1].has("spawn.skipped"))


class JavaLauncherTest(StubTestCase):
    def test_upgrader_writes_both_streams_and_exits_as_its_archive_says(self):
        jar = javahome.write_upgrader_jar(self.home / "var/upgrade/quill-agentupgrade.jar", exit_status=5, delete_jar=True)
        java = str(self.java_home / "bin/java.exe")
        rc, out, err = self.run_program(java, "-Xmx32m", "-jar", javahome.windows_path(jar), javahome.windows_path(jar))
        self.assertEqual(rc, 5)
        self.assertIn("stub upgrader: stdout jar=" + javahome.windows_path(jar), out)
        self.assertIn("stub upgrader: stderr", err)
        self.assertFalse(jar.exists())
        [run] = self.record("stub-java.record")
        self.assertIn(" -jar ", run.value("cmdline"))
        self.assertEqual(run.value("exit.status"), "5")

    def test_missing_upgrader_archive_means_success(self):
        rc, _, _ = self.run_program(str(self.java_home / "bin/java.exe"), "-jar", "Z:\\nowhere.jar")
        self.assertEqual(rc, 0)

    def test_environment_printer_and_unknown_classes(self):
        java = str(self.java_home / "bin/java.exe")
        self.env["STUB_PROBE"] = "wért"
        rc, out, _ = self.run_program(java, "-Xmx32m", "-cp", "Z:\\lib\\quill-agent.jar", "com.brindle.quill.agent.PrintEnvironment")
        self.assertEqual(rc, 0)
        self.assertIn("STUB_PROBE=wért", out.splitlines())
        rc, _, err = self.run_program(java, "-cp", "x", "com.brindle.Other")
        self.assertEqual(rc, 1)
        self.assertIn("Error: Could not find or load main class com.brindle.Other", err)

    def test_unknown_launcher_option_is_refused(self):
        rc, _, err = self.run_program(str(self.java_home / "bin/java.exe"), "--bogus", "-jar", "x.jar")
        self.assertEqual(rc, 1)
        self.assertIn("Unrecognized option: --bogus", err)


class JavaHomeTest(unittest.TestCase):
    def test_layouts_hold_runtime_images_the_program_accepts(self):
        root = Path(tempfile.mkdtemp(prefix="javahome-"))
        self.addCleanup(shutil.rmtree, root, ignore_errors=True)
        for jvm_layout, java_layout in zip(javahome.JVM_LAYOUTS, javahome.JAVA_LAYOUTS * 3):
            home = javahome.make_java_home(root / jvm_layout.replace("/", "_"), jvm_layout, java_layout)
            self.assertEqual(javahome.image_machine(home / jvm_layout / "jvm.dll"), javahome.OWN_MACHINE)
            self.assertEqual(javahome.image_machine(home / java_layout / "java.exe"), javahome.OWN_MACHINE)
        self.assertEqual(javahome.image_machine(javahome.write_fake_pe_image(root / "other.dll")), javahome.OTHER_MACHINE)
        self.assertIsNone(javahome.image_machine(javahome.write_non_image(root / "one.dll", b"M")))

    def test_record_parser_splits_runs_and_keeps_values_with_equals_signs(self):
        runs = javahome.parse_record("option=-Da=b\nmain.returned\n---\nenv.PATH=C:\\x;=y\n")
        self.assertEqual(runs[0].options, ["-Da=b"])
        self.assertTrue(runs[0].has("main.returned"))
        self.assertEqual(runs[1].env, {"PATH": "C:\\x;=y"})


if __name__ == "__main__":
    missing = [v for v in ("WINE_RUN", "STUB_HOST_CHECK", "STUB_JVM_DLL", "STUB_JAVA_EXE") if not os.environ.get(v)]
    if missing:
        sys.exit("missing environment: " + ", ".join(missing))
    unittest.main()
