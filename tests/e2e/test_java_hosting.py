"""The Java runtime in process: where it is found, which options it gets, how its failures end."""

import os
import unittest

import javahome
from agent_java import JavaAgentTestCase
from harness import windows_path


class OptionsTest(JavaAgentTestCase):
    def test_run_passes_fixed_then_configured_options_and_the_class_path(self):
        self.write_conf("javaopts.conf", "  -Xmx64m  \r\n\r\n-Dx=a b\r-Dy=1")
        result = self.home.run("run")
        self.assertEqual(result.returncode, 0, result)
        run = self.last_run()
        self.assertEqual(run.options, self.fixed_options("run") + ["-Xmx64m", "-Dx=a b", "-Dy=1",
                                                                  "-DteskLogToConsole=y",
                                                                  "-Djava.class.path=" + self.class_path()])
        self.assertEqual(run.value("hook.exit"), "no")
        self.assertEqual(run.value("cwd"), self.home.windows + "\\bin")
        env = run.env
        self.assertEqual(env["AGENT_HOME"], self.home.windows)
        self.assertEqual(env["AGENT_BIN_HOME"], self.home.windows)
        self.assertEqual(env["JAVA_HOME"], windows_path(self.java_home))
        self.assertTrue(env["PATH"].endswith(";%s\\opt\\tskclient;%s\\bin" % (self.home.windows,
                                                                             windows_path(self.java_home))),
                        env["PATH"])
        self.assertEqual(run.main_args, [])
        self.assertTrue(run.has("main.returned") and run.has("destroy"), run)

    def test_testjvm_puts_its_two_options_before_the_configured_ones(self):
        self.write_conf("javaopts.conf", "-Dconf=1\n")
        for args, secret, verify in (((), "", ""), (("x",), "x", ""), (("s3cr3t", "v", "ignored"), "s3cr3t", "v")):
            with self.subTest(args=args):
                result = self.home.run("_testjvm", *args, env={"QUENDA_SERVICE_LOGGING_LEVEL": "debug"})
                self.assertEqual(result.returncode, 0, result)
                self.assertEqual(self.last_run().options[:11], self.fixed_options("_testjvm") + [
                    "-Dtestjvm.secret=" + secret, "-Dtestjvm.verifyId=" + verify, "-Dconf=1",
                    "-DteskLogToConsole=y"])
        # The secret reaches the runtime only: the start-up record and both option lists mask it.
        self.assertNotIn("s3cr3t", result.stderr)
        masked = [line for line in result.stderr_lines if line.startswith("DEBUG ") and line.endswith("=********")]
        self.assertEqual(len(masked), 3, result.stderr)

    def test_start_mode_adds_reduced_signals_after_the_configured_options(self):
        self.write_conf("javaopts.conf", "-Dconf=1\n")
        result = self.home.run("_start_continue")
        self.assertEqual(result.returncode, 0, result)
        options = self.last_run().options
        self.assertEqual(options[7:9], ["-Dconf=1", "-Xrs"])
        self.assertNotIn("-DteskLogToConsole=y", options)

    def test_debug_options_follow_the_flag_and_the_variable(self):
        default = ["-Xdebug", "-Xrunjdwp:transport=dt_socket,address=10001,server=y,suspend=n",
                   "-Dcom.sun.management.jmxremote"]
        cases = [
            (("-debug", "extra"), None, default),
            (("-DEBUG",), None, []),
            (("-debug",), "-agentlib:jdwp=transport=dt_socket,server=y,address=5005",
             ["-agentlib:jdwp=transport=dt_socket,server=y,address=5005"]),
            (("-debug",), ' -Da="x y"  -Db ', ["-Da=x y", "-Db"]),
            (("-debug",), "   ", []),
            ((), "-Dnever", []),
        ]
        for args, variable, expected in cases:
            with self.subTest(args=args, variable=variable):
                env = {} if variable is None else {"JAVA_DEBUG_OPTS": variable}
                result = self.home.run("run", *args, env=env)
                self.assertEqual(result.returncode, 0, result)
                options = self.last_run().options
                self.assertEqual(options[8:-1], expected)

    def test_check_jni_only_for_true(self):
        for value, expected in ((" TRUE ", True), ("1", False), ("yes", False)):
            with self.subTest(value=value):
                self.home.run("run", env={"QUENDA_CHECK_JNI": value})
                self.assertEqual("-Xcheck:jni" in self.last_run().options, expected)

    def test_tskclient_fragment_anywhere_in_path_suppresses_the_addition(self):
        # Wine builds a program's PATH itself, so the installation's script supplies the fragment.
        with open(self.home.file("bin/set_env.cmd"), "w") as f:
            f.write("set PATH=%PATH%;D:\\other\\opt\\tskclient\r\n")
        self.home.run("run")
        path = self.last_run().env["PATH"]
        self.assertEqual(path.count("tskclient"), 1, path)

    def test_exit_without_hook_ends_the_process_with_the_java_status(self):
        self.write_conf("javaopts.conf", "-Dstub.main=exit:7\n")
        result = self.home.run("run")
        self.assertEqual(result.returncode, 7, result)


class NonAsciiHomeTest(JavaAgentTestCase):
    home_name = "h\u00e9me \u4e2d"

    def test_option_texts_are_utf8_while_main_arguments_stay_utf16(self):
        self.assertIn(self.home_name, self.home.windows)
        result = self.home.run("_testjvm", "s\u00e9cret")
        self.assertEqual(result.returncode, 0, result)
        run = self.last_run()
        self.assertEqual(run.options[0], "-Dsun.java.command=Launch Agent (%s)" % self.home.windows)
        self.assertEqual(run.options[7], "-Dtestjvm.secret=s\u00e9cret")


class RuntimeLocationTest(JavaAgentTestCase):
    def use_java_home(self, path):
        self.write_conf("javahome.conf", windows_path(path) + "\n")

    def test_candidates_are_tried_in_order(self):
        root = os.path.join(self.home.root, "mixed")
        javahome.make_java_home(root, "bin/client", None)
        javahome.make_java_home(root, "jre/bin/server", None)
        self.use_java_home(root)
        result = self.home.run("run", env={"QUENDA_SERVICE_LOGGING_LEVEL": "trace"})
        self.assertEqual(result.returncode, 0, result)
        self.assertIn("JVM DLL loaded: module=", result.stderr)
        self.assertIn("path=[%s\\bin\\client\\jvm.dll]" % windows_path(root), result.stderr)

    def test_a_64_bit_runtime_is_skipped_for_a_32_bit_one(self):
        root = os.path.join(self.home.root, "mixed64")
        os.makedirs(os.path.join(root, "bin", "server"))
        javahome.write_fake_pe_image(os.path.join(root, "bin", "server", "jvm.dll"))
        javahome.make_java_home(root, "jre/bin/client", None)
        self.use_java_home(root)
        result = self.home.run("run", env={"QUENDA_SERVICE_LOGGING_LEVEL": "trace"})
        self.assertEqual(result.returncode, 0, result)
        self.assertIn("Binary not valid for OS/CPU: jvm_dll=[%s\\bin\\server\\jvm.dll]" % windows_path(root),
                      result.stderr)
        # The runtime's directory joins PATH so that its own libraries are found.
        self.assertTrue(self.last_run().env["PATH"].endswith(";%s\\bin;%s\\jre\\bin" % (
            windows_path(root), windows_path(root))), self.last_run().env["PATH"])

    def test_unusable_runtime_files_are_not_found_not_errors(self):
        for content in (b"M", b"", b"plain text that is long enough to be read as headers" * 3):
            with self.subTest(content=content[:10]):
                root = os.path.join(self.home.root, "bad%d" % len(content))
                os.makedirs(os.path.join(root, "bin", "server"))
                with open(os.path.join(root, "bin", "server", "jvm.dll"), "wb") as f:
                    f.write(content)
                self.use_java_home(root)
                result = self.home.run("run")
                self.assertEqual(result.returncode, 1, result)
                self.assertEqual(result.stderr_lines[-1],
                                 "ERROR do_run(do_run.cpp:%s): JVM DLL not found: java_home=[%s]" % (
                                     result.stderr_lines[-1].split(":")[1].split(")")[0], windows_path(root)))
                self.assertNoCrash(result)

    def test_missing_java_home(self):
        self.use_java_home(os.path.join(self.home.root, "nowhere"))
        result = self.home.run("_testjvm", env={"QUENDA_SERVICE_LOGGING_LEVEL": "debug"})
        self.assertEqual(result.returncode, 1, result)
        lines = result.stderr_lines
        at = next(i for i, line in enumerate(lines) if line.startswith("DEBUG do_testjvm(do_testjvm.cpp:"))
        self.assertTrue(lines[at].endswith(": Exception:"), lines[at])
        self.assertIn("create_jvm(javainterop.cpp:", lines[at + 1])
        self.assertTrue(lines[at + 2].startswith("\tat "), result)
        self.assertRegex(lines[-1], r"^ERROR do_testjvm\(do_testjvm\.cpp:\d+\): JVM DLL not found: java_home=\[")

    def test_an_image_that_fails_to_load(self):
        root = os.path.join(self.home.root, "broken")
        os.makedirs(os.path.join(root, "bin", "server"))
        javahome.write_fake_pe_image(os.path.join(root, "bin", "server", "jvm.dll"), javahome.OWN_MACHINE)
        self.use_java_home(root)
        result = self.home.run("run")
        self.assertEqual(result.returncode, 1, result)
        self.assertIn("JVM DLL failed to load: jvm_dll=[%s\\bin\\server\\jvm.dll] call=LoadLibraryExW(" %
                      windows_path(root), result.stderr)
        self.assertNoCrash(result)

    def test_a_library_without_the_entry_point(self):
        root = os.path.join(self.home.root, "noexport")
        javahome.make_java_home(root, "bin/server", None, jvm_source=javahome.stub_java_exe())
        self.use_java_home(root)
        result = self.home.run("run")
        self.assertEqual(result.returncode, 1, result)
        self.assertIn("JNI_CreateJavaVM not found", result.stderr)

    def test_env_runs_java_exe_and_ignores_its_exit_code(self):
        result = self.home.run("env")
        self.assertEqual(result.returncode, 0, result)
        self.assertRegex(result.stdout, r"(?m)^PATH=")

    def test_env_with_a_64_bit_launcher_fails(self):
        root = os.path.join(self.home.root, "java64")
        os.makedirs(os.path.join(root, "bin"))
        javahome.write_fake_pe_image(os.path.join(root, "bin", "java.exe"))
        self.use_java_home(root)
        result = self.home.run("env")
        self.assertEqual(result.returncode, 1, result)
        self.assertIn("java.exe not found: java_home=[%s]" % windows_path(root), result.stderr)


class ConfigurationTest(JavaAgentTestCase):
    def test_javahome_conf_variants(self):
        java = windows_path(self.java_home)
        cases = [
            (java + "\r\nsecond line\r\n", 0, None),
            ("  " + java + "  ", 0, None),
            ("", 1, "javahome.conf empty"),
            ("\n" + java + "\n", 1, "javahome.conf blank"),
            (" \t \r\n", 1, "javahome.conf blank"),
            ("\ufeff" + java + "\n", 1, "JVM DLL not found: java_home=[\ufeff"),
        ]
        for text, code, message in cases:
            with self.subTest(text=text[:12]):
                self.write_conf("javahome.conf", text)
                result = self.home.run("run")
                self.assertEqual(result.returncode, code, result)
                if message:
                    self.assertIn(message, result.stderr)
                self.assertNoCrash(result)

    def test_missing_configuration_files(self):
        os.remove(self.home.file("conf/agent/javaopts.conf"))
        result = self.home.run("run")
        self.assertEqual(result.returncode, 1, result)
        self.assertIn("FATAL wmain(main.cpp:", result.stderr)
        self.assertIn("file not found: path=[%s\\conf\\agent\\javaopts.conf]" % self.home.windows, result.stderr)
        os.remove(self.home.file("conf/agent/javahome.conf"))
        result = self.home.run("run")
        self.assertIn("javahome.conf]", result.stderr)

    def test_test_java_home_overrides_the_file(self):
        os.remove(self.home.file("conf/agent/javahome.conf"))
        result = self.home.run("run", env={"TESTJVM_JAVA_HOME": windows_path(self.java_home),
                                           "QUENDA_SERVICE_LOGGING_LEVEL": "debug"})
        self.assertEqual(result.returncode, 0, result)
        self.assertIn("Using alternative JAVA_HOME for JVM test: javahome=[", result.stderr)

    def test_an_option_the_runtime_rejects(self):
        self.write_conf("javaopts.conf", "# a comment is an option too\n")
        result = self.home.run("run")
        self.assertEqual(result.returncode, 1, result)
        self.assertIn("JVM creation failed (-6): jvm_dll=[", result.stderr)
        self.assertNoCrash(result)


class JavaFailureTest(JavaAgentTestCase):
    def test_fatal_ends_after_the_java_exception_is_described(self):
        cases = [
            ("-Dstub.fail=getstaticmethodid", "Java main method not found"),
            ("-Dstub.fail=findclass-main", "Main class not found: name=[com/brindle/quill/agent/CompactAgentLauncher]"),
            ("-Dstub.fail=findclass-string", "java.lang.String not found"),
            ("-Dstub.main=throw", "Java main threw exception"),
        ]
        for option, message in cases:
            with self.subTest(option=option):
                self.write_conf("javaopts.conf", option + "\n")
                result = self.home.run("run")
                self.assertEqual(result.returncode, 1, result)
                fatal = [line for line in result.stderr_lines if line.startswith("FATAL ")]
                self.assertEqual(len(fatal), 1, result)
                self.assertIn("call_java_main_method(javainterop.cpp:", fatal[0])
                self.assertTrue(fatal[0].endswith(": " + message), result)
                self.assertIn("Exception in thread", result.stderr)
                self.assertNoCrash(result)


if __name__ == "__main__":
    unittest.main()
