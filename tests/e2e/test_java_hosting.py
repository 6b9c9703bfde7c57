"""The Java runtime in process: where it is found, what it is given, and how every misconfiguration ends."""

import os
import shutil
import unittest

from harness import (OTHER_MACHINE, OWN_MACHINE, AgentTestCase, log_records, make_java_home, windows_path, write_file,
                     write_fake_pe_image)

DEBUG = {"QUENDA_SERVICE_LOGGING_LEVEL": "debug"}


class JavaHostingTest(AgentTestCase):
    # Option texts are UTF-8, so a home outside ASCII shows whether they are converted.
    home_name = "h\u00e9me \u4e2d"

    def fixed_options(self, mode):
        home = self.home.windows
        return ["-Dsun.java.command=Launch Agent (%s)" % home, "-Dfile.encoding=UTF-8", "-Dconsole.encoding=UTF-8",
                "-Djava.io.tmpdir=%s\\var\\temp" % home, "-Djava.security.properties=%s\\conf\\agent\\java.security" % home,
                "-Dagent.mode=" + mode, "-Dagent.pidfile=nopidfile"]

    def use_java_home(self, path):
        self.home.write("conf/agent/javahome.conf", windows_path(path) + "\n")

    def test_run_passes_fixed_then_configured_options_the_class_path_environment_and_directory(self):
        java, home = windows_path(self.home.java_home), self.home.windows
        class_path = "{0}\\lib\\quill-agent.jar;{0}\\lib\\launcher.jar".format(home)
        # An entry below the runtime's bin directory is another directory: bin is still added.
        self.home.write("bin/set_env.cmd", "set PATH=%%PATH%%;%s\\bin\\server\r\n" % java)
        # The configuration files as Windows editors save them: UTF-8, with or without its byte-order mark, and UTF-16 LE.
        for mark, codec in ((b"", "utf-8"), (b"\xef\xbb\xbf", "utf-8"), (b"\xff\xfe", "utf-16-le")):
            with self.subTest(codec=codec, mark=mark):
                self.home.write("conf/agent/javahome.conf", mark + (java + "\r\n").encode(codec))
                self.home.write("conf/agent/javaopts.conf", mark + "  -Xmx64m  \r\n\r\n-Dx=a b\r-Dy=\u00e9".encode(codec))
                self.assertEqual(self.home.run("run").returncode, 0)
                run = self.last_run()
                self.assertEqual(run.options, self.fixed_options("run") + ["-Xmx64m", "-Dx=a b", "-Dy=\u00e9",
                                                                           "-DteskLogToConsole=y", "-Djava.class.path=" + class_path])
                self.assertEqual([run.env[k] for k in ("AGENT_HOME", "AGENT_BIN_HOME", "JAVA_HOME")], [home] * 2 + [java])
        self.assertEqual((run.value("hook.exit"), run.value("cwd")), ("no", home + "\\bin"))
        self.assertTrue(run.env["PATH"].endswith(";%s\\bin\\server;%s\\opt\\tskclient;%s\\bin" % (java, home, java)), run.env)
        self.assertEqual(run.value("main.arg.count"), "0")
        self.assertTrue(run.has("main.returned") and run.has("destroy"), run)

    def test_each_mode_adds_its_options_and_logs_show_the_secret_masked(self):
        # Values of -D options named like secrets are masked too, and only those.
        conf = ["-Dconf=1", "-Dproxy.Password=pw1", "-Djavax.net.ssl.keyStorePassword=pw2", "-Dx.PASSWD=pw3",
                "-Dapi.token=pw4", "-Dpasswords=kept", "-Dtoken.file=kept"]
        self.home.write("conf/agent/javaopts.conf", "\n".join(conf))
        for args, mode, extra, tail in (
                (("_testjvm",), "_testjvm", ["-Dtestjvm.secret=", "-Dtestjvm.verifyId="], ["-DteskLogToConsole=y"]),
                (("_testjvm", "s\u00e9cr3t", "v", "ignored"), "_testjvm",
                 ["-Dtestjvm.secret=s\u00e9cr3t", "-Dtestjvm.verifyId=v"], ["-DteskLogToConsole=y"]),
                (("_start_continue",), "start", [], ["-Xrs"])):
            with self.subTest(args=args):
                result = self.home.run(*args, env=DEBUG)
                self.assertEqual(result.returncode, 0, result)
                self.assertEqual(self.last_run().options[:-1], self.fixed_options(mode) + extra + conf + tail)
                # The start-up record and both option lists show the secrets, and show them masked.
                output = self.home.log() if mode == "start" else result.stderr
                self.assertNotRegex(output, "s\u00e9cr3t|=pw")
                masked = [line for line in output.splitlines() if line.endswith("=********")]
                self.assertEqual((len(masked), output.count("=kept")), ((3 if "v" in args else 0) + 8, 4), output)

    def test_debug_options_follow_the_flag_and_the_variable(self):
        default = ["-Xdebug", "-Xrunjdwp:transport=dt_socket,address=127.0.0.1:10001,server=y,suspend=n",
                   "-Dcom.sun.management.jmxremote"]
        # SHELL32 comes from the system folder, also when a copy beside the program is preferred.
        shutil.copyfile(os.environ["STUB_JVM_DLL"], self.home.file("bin/shell32.dll"))
        for args, env, expected in ((("-debug", "extra"), {"WINEDLLOVERRIDES": "shell32=n,b"}, default), (("-DEBUG",), {}, []),
                                    (("-debug",), {"JAVA_DEBUG_OPTS": ' -Da="x y"  -Db '}, ["-Da=x y", "-Db"]),
                                    (("-debug",), {"JAVA_DEBUG_OPTS": "   "}, []), ((), {"JAVA_DEBUG_OPTS": "-Dnever"}, []),
                                    ((), {"QUENDA_CHECK_JNI": " TRUE "}, ["-Xcheck:jni"]),
                                    ((), {"QUENDA_CHECK_JNI": "1"}, [])):
            with self.subTest(args=args, env=env):
                result = self.home.run("run", *args, env=env)
                self.assertEqual(result.returncode, 0, result)
                self.assertEqual(self.last_run().options[8:-1], expected)

    def test_runtime_candidates_in_order_and_images_of_the_other_machine_skipped(self):
        root = os.path.join(self.home.root, "mixed")
        write_fake_pe_image(os.path.join(root, "bin", "server", "jvm.dll"))
        make_java_home(root, "jre/bin/client", None)
        make_java_home(root, "jre/bin/j9vm", None)
        self.use_java_home(root)
        result = self.home.run("run", env={"QUENDA_SERVICE_LOGGING_LEVEL": "trace"})
        self.assertEqual(result.returncode, 0, result)
        java = windows_path(root)
        self.assertLogLine(result.stderr, "TRACE", "Binary not valid for OS/CPU: jvm_dll=[%s\\bin\\server\\jvm.dll]" % java)
        self.assertEqual(log_records(result.stderr, "WARN "), [])  # named only when nothing fits
        self.assertIn("path=[%s\\jre\\bin\\client\\jvm.dll]" % java, result.stderr)
        # The runtime's directory joins PATH so that its own libraries are found.
        self.assertTrue(self.last_run().env["PATH"].endswith(";%s\\bin;%s\\jre\\bin" % (java, java)), self.last_run().env)

    def test_misconfigurations_end_as_documented_and_leave_no_temporary_file(self):
        java, root = windows_path(self.home.java_home), windows_path(self.home.root)
        for name, content in (("one-byte", b"M"), ("text", b"plain text, long enough for headers" * 3)):
            write_file(os.path.join(self.home.root, name, "bin/server/jvm.dll"), content)
        write_fake_pe_image(os.path.join(self.home.root, "unloadable/bin/server/jvm.dll"), OWN_MACHINE)
        write_fake_pe_image(os.path.join(self.home.root, "other/jre/bin/client/jvm.dll"))
        other = ("64-bit", "x64") if OTHER_MACHINE == 0x8664 else ("32-bit", "x86")
        make_java_home(os.path.join(self.home.root, "no-export"), "bin/server", None, os.environ["STUB_JAVA_EXE"])
        not_found = r"ERROR do_run\(do_run\.cpp:\d+\): JVM DLL not found: java_home=\[%s\]\n$"
        fatal = r"(?m)^FATAL wmain\(main\.cpp:\d+\): Exception:\n  "
        main_fails = r"(?s)Exception in thread \"main\".*\nFATAL call_java_main_method\(javainterop\.cpp:\d+\): %s\n"
        rows = [  # (javahome.conf, javaopts.conf, command, exit code, pattern)
            (root + "\\one-byte", "", "run", 1, not_found % r".*\\one-byte"),
            (root + "\\text", "", "run", 1, not_found % r".*\\text"),
            (root + "\\other", "", "run", 1, r"(?m)^WARN .*: JVM DLL of a %s Java runtime, which only the %s package can "
             r"host: path=\[.*\\other\\jre\\bin\\client\\jvm\.dll\]\n" % other + not_found % r".*\\other"),
            (root + "\\unloadable", "", "run", 1,
             fatal + r".*JVM DLL failed to load: jvm_dll=\[.*\\unloadable\\bin\\server\\jvm\.dll\] call=LoadLibraryExW\(\d+\)$"),
            (root + "\\unloadable", "", "_start_continue", 1, fatal + ".*LoadLibraryExW"),
            (root + "\\no-export", "", "run", 1, r"JNI_CreateJavaVM not found: jvm_dll=\["),
            (root + "\\nowhere", "", "_testjvm", 1, r"(?m)^DEBUG do_testjvm\(do_testjvm\.cpp:\d+\): Exception:\n  create_jvm\("
             r"javainterop\.cpp:\d+\): .*\n\tat (.*\n)*ERROR do_testjvm\(do_testjvm\.cpp:\d+\): JVM DLL not found: java_home=\[.*nowhere\]\n$"),
            ("", "", "run", 1, r"ERROR load_java_home\(configuration\.cpp:\d+\): javahome\.conf empty\n$"),
            (" \t \r\n" + java, "", "run", 1, r"javahome\.conf blank\n$"),
            # Trimmed, then unquoted as paths with blanks are; a stray quote is in no Windows name (error 123).
            ('  "%s"  \r\nsecond line' % java, "", "run", 0, r"stub jvm: main started"),
            ('"%s' % java, "", "run", 1, not_found % r'".*\\jdk'),
            (None, "", "run", 1, fatal + r".*conf\\agent\\javahome\.conf\]"),
            ("DIRECTORY", "", "run", 1, fatal + r".*conf\\agent\\javahome\.conf\]"),
            (java, None, "run", 1, fatal + r".*file not found: path=\[.*\\conf\\agent\\javaopts\.conf\]"),
            (java, "# a comment is an option too\n", "run", 1,
             r"Unrecognized option: # a comment(.*\n)*FATAL wmain.*\n  .*JVM creation failed \(-6\)"),
            (java, "-Dstub.fail=getstaticmethodid", "run", 1, main_fails % "Java main method not found"),
            (java, "-Dstub.fail=findclass-main", "run", 1,
             main_fails % r"Main class not found: name=\[com/brindle/quill/agent/CompactAgentLauncher\]"),
            (java, "-Dstub.fail=findclass-string", "run", 1, main_fails % r"java\.lang\.String not found"),
            (java, "-Dstub.main=throw", "run", 1, main_fails % "Java main threw exception"),
            (java, "-Dstub.main=throw", "_start_continue", 1, main_fails % "Java main threw exception"),
            (java, "-Dstub.main=exit:7", "run", 7, "stub jvm: main started"),  # without exit hook: the Java status
        ]
        # With a set_env.cmd the loader's temporary script is made, and must go whatever follows.
        self.home.write("bin/set_env.cmd", "set FAULT=1\r\n")
        for javahome_conf, javaopts_conf, command, code, pattern in rows:
            with self.subTest(javahome=javahome_conf, javaopts=javaopts_conf, command=command):
                for name, text in (("javahome.conf", javahome_conf), ("javaopts.conf", javaopts_conf)):
                    path = self.home.file("conf/agent/" + name)
                    if os.path.isdir(path):
                        os.rmdir(path)
                    elif os.path.exists(path):
                        os.remove(path)
                    if text is not None:
                        os.mkdir(path) if text == "DIRECTORY" else write_file(path, text)
                result = self.home.run(command, env=DEBUG if command == "_testjvm" else {})
                # The background agent's streams go to the log, in the console's text mode.
                output = (self.home.log() if command == "_start_continue" else result.stderr).replace("\r\n", "\n")
                self.assertEqual(result.returncode, code, result)
                self.assertRegex(output + result.stdout, pattern, result)
                self.assertTrue(output.endswith("\n") or not output, output)
                self.assertEqual(os.listdir(self.home.file("var/temp")), [], result)
                self.assertEqual(log_records(output, "FATAL")[1:], [], "more than one FATAL line")

    def test_test_java_home_overrides_the_file(self):
        os.remove(self.home.file("conf/agent/javahome.conf"))
        java = windows_path(self.home.java_home)
        result = self.home.run("run", env=dict(DEBUG, TESTJVM_JAVA_HOME=java))
        self.assertLogLine(result.stderr, "DEBUG", "Using alternative JAVA_HOME for JVM test: javahome=[%s]" % java)

    def test_env_runs_java_exe_and_returns_0_whatever_it_ends_with(self):
        self.home.write("bin/set_env.cmd", "set FOO=from-script\r\nset STUB_JAVA_EXIT=3\r\n")
        result = self.home.run("env")
        self.assertEqual(result.returncode, 0, result)
        self.assertRegex(result.stdout, r"(?m)^FOO=from-script\r?$")
        root = os.path.join(self.home.root, "java64")
        write_fake_pe_image(os.path.join(root, "bin", "java.exe"))
        self.use_java_home(root)
        result = self.home.run("env")
        self.assertEqual(result.returncode, 1, result)
        self.assertIn("java.exe not found: java_home=[%s]" % windows_path(root), result.stderr)


if __name__ == "__main__":
    unittest.main()
