"""An agent home with the stand-in Java runtime configured, for the tests of the Java commands."""

import os

import javahome
from harness import AgentTestCase, windows_path


class JavaAgentTestCase(AgentTestCase):
    """Adds a Java home (bin\\server\\jvm.dll, bin\\java.exe), javahome.conf and javaopts.conf."""

    def setUp(self):
        super().setUp()
        self.prepare(self.home)

    def prepare(self, home):
        """Makes `home` the test's agent home, with a Java home of its own."""
        self.home = home
        self.java_home = javahome.make_java_home(os.path.join(home.root, "jdk"))
        self.write_conf("javahome.conf", windows_path(self.java_home) + "\r\n")
        self.write_conf("javaopts.conf", "")
        self.record_path = home.file("var/stub-jvm.record")

    def write_conf(self, name, text, encoding="utf-8"):
        with open(self.home.file("conf/agent/" + name), "w", encoding=encoding, newline="") as f:
            f.write(text)

    def write_bytes(self, relative, data):
        with open(self.home.file(relative), "wb") as f:
            f.write(data)

    def runs(self):
        return javahome.read_record(self.record_path)

    def last_run(self):
        runs = self.runs()
        self.assertTrue(runs, "the stand-in runtime recorded nothing")
        return runs[-1]

    def fixed_options(self, mode):
        home = self.home.windows
        return [
            "-Dsun.java.command=Launch Agent (%s)" % home,
            "-Dfile.encoding=UTF-8",
            "-Dconsole.encoding=UTF-8",
            "-Djava.io.tmpdir=%s\\var\\temp" % home,
            "-Djava.security.properties=%s\\conf\\agent\\java.security" % home,
            "-Dagent.mode=" + mode,
            "-Dagent.pidfile=nopidfile",
        ]

    def class_path(self):
        return "%s\\lib\\quill-agent.jar;%s\\lib\\launcher.jar" % (self.home.windows, self.home.windows)
