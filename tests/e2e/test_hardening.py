"""Fuzz-style runs of agent.exe over the inputs it parses: the two configuration files, command words
and their arguments, install-service options that are refused, kill-ancestor depths,
UPGRADE_PARENT_HANDLE texts and the environments that set_env.cmd hands to the loader.

Every case is generated from a fixed seed and must end with a defined message and exit code: no
crash report from Wine, no hang (each case is bounded), no output cut short. The cases of a test run
one after another from one Windows process (tests/support/case_runner.cpp), each in an agent home of
its own whose bin\\agent.exe is a hard link to the built program.
"""

import os
import random
import re
import shutil
import subprocess
import tempfile
import time
import unittest

import javahome
from harness import AGENT_EXE, CRASH_MARKERS, WINE_RUN, windows_path

CASE_RUNNER_EXE = os.environ["CASE_RUNNER_EXE"]
CASE_TIMEOUT_MS = 30000

LOG_LINE = re.compile(r"^(TRACE|DEBUG|INFO |WARN |ERROR|FATAL) \S+\([^():]+:\d+\): ")


def windows_quote(argument):
    """One argument quoted the way CommandLineToArgvW and the runtime read it back."""
    if argument and not re.search(r'[ \t\n\v"]', argument):
        return argument
    out, backslashes = '"', 0
    for c in argument:
        if c == "\\":
            backslashes += 1
            continue
        if c == '"':
            out += "\\" * (2 * backslashes + 1) + '"'
        else:
            out += "\\" * backslashes + c
        backslashes = 0
    return out + "\\" * (2 * backslashes) + '"'


def command_line(program, args):
    return " ".join([windows_quote(program)] + [windows_quote(a) for a in args])


def utf16_hex(text):
    return text.encode("utf-16-le", "surrogatepass").hex()


class CaseResult:
    def __init__(self, case, outcome, stdout, stderr):
        self.case = case
        self.outcome = outcome            # exit code as int, or "timeout ..." / "start-failed ..."
        self.stdout = stdout
        self.stderr = stderr
        self.stderr_lines = stderr.splitlines()

    @property
    def returncode(self):
        return self.outcome if isinstance(self.outcome, int) else None

    def __repr__(self):
        return "case %s %r\nargs=%r env=%r\noutcome=%r\nstdout:\n%s\nstderr:\n%s" % (
            self.case.id, self.case.note, self.case.args, self.case.env, self.outcome, self.stdout[-3000:],
            self.stderr[-3000:])


class Case:
    def __init__(self, id, program, args, env=None, note="", timeout_ms=CASE_TIMEOUT_MS):
        self.id, self.program, self.args, self.env, self.note = id, program, list(args), env or {}, note
        self.timeout_ms = timeout_ms


def run_cases(cases, work_dir):
    """Runs the cases through the case runner; returns one CaseResult per case, in order."""
    out_dir = os.path.join(work_dir, "out")
    os.makedirs(out_dir, exist_ok=True)
    lines = []
    for case in cases:
        env_text = "".join(("%s=%s" % (k, v) if v is not None else k) + "\0" for k, v in case.env.items())
        lines.append("%s\t%d\t%s\t%s" % (case.id, case.timeout_ms, utf16_hex(env_text),
                                         utf16_hex(command_line(case.program, case.args))))
    case_file = os.path.join(work_dir, "cases.txt")
    with open(case_file, "w", encoding="ascii", newline="\n") as f:
        f.write("\n".join(lines) + "\n")
    env = dict(os.environ)
    for name in ("QUENDA_SERVICE_LOGGING_LEVEL", "QUENDA_SERVICE_LOG_PER_PID", "UPGRADE_SET_AGENT_HOME",
                 "UPGRADE_PARENT_HANDLE", "TESTJVM_JAVA_HOME", "JAVA_DEBUG_OPTS", "QUENDA_CHECK_JNI"):
        env.pop(name, None)
    bound = sum(c.timeout_ms for c in cases) / 1000 + 60
    subprocess.run([WINE_RUN, CASE_RUNNER_EXE, windows_path(case_file), windows_path(out_dir)], env=env,
                   stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=bound,
                   check=True)
    outcomes = {}
    with open(os.path.join(out_dir, "results"), encoding="ascii") as f:
        for line in f:
            id, _, rest = line.strip().partition(" ")
            outcomes[id] = int(rest) if rest.lstrip("-").isdigit() else rest
    results = []
    for case in cases:
        def read(suffix):
            path = os.path.join(out_dir, case.id + suffix)
            if not os.path.exists(path):
                return ""
            with open(path, "rb") as f:
                return f.read().decode("utf-8", errors="replace")
        results.append(CaseResult(case, outcomes.get(case.id, "missing"), read(".out"), read(".err")))
    return results


def processes_naming(marker):
    """(pid, command line) of every process whose command line names `marker`."""
    for pid in os.listdir("/proc"):
        if not pid.isdigit():
            continue
        try:
            with open("/proc/%s/cmdline" % pid, "rb") as f:
                cmdline = f.read().replace(b"\0", b" ").decode("utf-8", errors="replace")
        except OSError:
            continue
        if marker in cmdline:
            yield int(pid), cmdline


def running_from(marker):
    """Command lines of the Wine processes that name `marker`."""
    return [cmdline for _, cmdline in processes_naming(marker)]


def kill_strays(marker):
    """Ends (by id) every Wine process whose command line names `marker`; returns their command lines."""
    found = []
    for pid, cmdline in processes_naming(marker):
        found.append(cmdline)
        try:
            os.kill(pid, 9)
        except OSError:
            pass
    return found


class FuzzTestCase(unittest.TestCase):
    """A work directory, a Java home made of the stand-ins, and agent homes made on demand."""

    def setUp(self):
        self.work = tempfile.mkdtemp(prefix="agent-hardening-")
        self.addCleanup(shutil.rmtree, self.work, True)
        self.addCleanup(self.check_no_strays)
        self.java_home = javahome.make_java_home(os.path.join(self.work, "jdk"))
        self.homes = 0

    def check_no_strays(self):
        """Processes of the test's homes may take a moment to end after the last step; after that
        bound, any that still runs is ended by id and reported."""
        deadline = time.monotonic() + 15
        while running_from(windows_path(self.work)) and time.monotonic() < deadline:
            time.sleep(0.2)
        strays = kill_strays(windows_path(self.work))
        self.assertEqual(strays, [], "processes left running")

    def make_home(self, javahome_conf=None, javaopts_conf=b"", set_env=None):
        """A fresh agent home; conf texts are bytes written as they are (None leaves the file out)."""
        self.homes += 1
        home = os.path.join(self.work, "home%03d" % self.homes)
        for sub in ("bin", "conf/agent", "lib", "var/log", "var/temp"):
            os.makedirs(os.path.join(home, sub))
        os.link(AGENT_EXE, os.path.join(home, "bin", "agent.exe"))
        if javahome_conf is None:
            javahome_conf = (windows_path(self.java_home) + "\r\n").encode()
        self.write(home, "conf/agent/javahome.conf", javahome_conf)
        if javaopts_conf is not None:
            self.write(home, "conf/agent/javaopts.conf", javaopts_conf)
        if set_env is not None:
            self.write(home, "bin/set_env.cmd", set_env)
        return home

    @staticmethod
    def write(home, relative, data):
        with open(os.path.join(home, relative), "wb") as f:
            f.write(data)

    @staticmethod
    def exe(home):
        return windows_path(os.path.join(home, "bin", "agent.exe"))

    def assertDefinedEnd(self, result, codes, last_line=None, stdout=None):
        """The common checks: bounded, an allowed exit code, no crash, whole lines, the expected last line."""
        self.assertIsInstance(result.outcome, int, result)
        self.assertIn(result.returncode, codes, result)
        for marker in CRASH_MARKERS + ("wine: ",):
            self.assertNotIn(marker, result.stderr, result)
            self.assertNotIn(marker, result.stdout, result)
        if result.stderr:
            self.assertTrue(result.stderr.endswith("\n"), result)
        if last_line is not None:
            lines = [line for line in result.stderr_lines if not line.startswith("\tat ")]
            self.assertTrue(lines, result)
            self.assertRegex(lines[-1], last_line, result)
        if stdout is not None:
            self.assertRegex(result.stdout, stdout, result)

    def home_files(self, home, relative):
        return sorted(os.listdir(os.path.join(home, relative)))


def read_record_lines(path):
    """A record file split on line feeds only (values may hold other line-breaking characters)."""
    if not os.path.exists(path):
        return []
    with open(path, "rb") as f:
        return [line.decode("utf-8", errors="backslashreplace") for line in f.read().split(b"\n") if line]


# ---- configuration files ----------------------------------------------------------------------

CONF_PIECES = [b"\n", b"\r", b"\r\n", b"\n\r", b" ", b"\t", b"\0", b"\xef\xbb\xbf", b"\xff", b"\xfe\xff",
               b"\xc3", b"\xc3\xa9", b"\xe4\xb8\xad", b"\xed\xa0\x80", b"\x80", b"#", b"=", b"%PATH%", b'"',
               b"..\\", b"C:", b"\\\\?\\", b"a", b"z", b"*", b"?", b"<", b"|"]


def random_conf(rng, max_pieces=40):
    data = b"".join(rng.choice(CONF_PIECES) for _ in range(rng.randrange(max_pieces)))
    if rng.random() < 0.15:
        data += b"x" * rng.choice((5000, 40000, 200000))
    return data


def first_line(data):
    """The first line by the reader's rules (LF, CR LF or lone CR end it)."""
    for i, b in enumerate(data):
        if b in (0x0A, 0x0D):
            return data[:i]
    return data


def classic_trim(text):
    return text.strip(" \t\n\v\f\r")


class ConfigurationFuzzTest(FuzzTestCase):
    def test_javahome_conf(self):
        rng = random.Random(1001)
        java = windows_path(self.java_home).encode()
        cases, expectations = [], []
        for i in range(12):
            kind = i % 4
            if kind == 0:      # the right path, then anything
                data = rng.choice([b"", b"  ", b"\t"]) + java + rng.choice([b"\r\n", b"\r", b"\n", b" \r\n"]) + random_conf(rng)
            elif kind == 1:    # a path that is almost the right one
                data = java + rng.choice(CONF_PIECES[6:]) + rng.choice([b"\r\n", b""])
            else:              # anything at all
                data = random_conf(rng)
            home = self.make_home(javahome_conf=data, javaopts_conf=b"-Dstub.main=return\n")
            cases.append(Case("jh%02d" % i, self.exe(home), ["run"], note=data[:80]))
            expectations.append(data)
        for result, data in zip(run_cases(cases, self.work), expectations):
            with self.subTest(case=result.case.id, data=data[:60]):
                line = first_line(data)
                trimmed = classic_trim(line.decode("utf-8", errors="replace"))
                if not data:
                    self.assertDefinedEnd(result, {1}, r"^ERROR load_java_home\(configuration\.cpp:\d+\): javahome\.conf empty$")
                elif not trimmed:
                    self.assertDefinedEnd(result, {1}, r"^ERROR load_java_home\(configuration\.cpp:\d+\): javahome\.conf blank$")
                elif line.strip(b" \t\n\v\f\r") == java:
                    self.assertDefinedEnd(result, {0})
                    self.assertIn("stub jvm: main started", result.stdout)
                else:
                    # Not this Java home: not found there, or a path the file system refuses.
                    self.assertDefinedEnd(result, {1}, r"^(ERROR do_run\(do_run\.cpp:\d+\): JVM DLL not found: java_home=\[|"
                                                       r"  .*(file|path|name)|FATAL )", )
                    self.assertNotIn("Non-application exception", result.stderr, result)
                    self.assertNotIn("Uncaught exception", result.stderr, result)
                    valid = True
                    try:
                        line.decode("utf-8")
                    except UnicodeDecodeError:
                        valid = False   # the system's replacement of broken sequences is its own
                    if valid and "JVM DLL not found" in result.stderr_lines[-1] and "\0" not in trimmed:
                        self.assertTrue(result.stderr_lines[-1].endswith("java_home=[%s]" % trimmed), result)

    def test_javaopts_conf(self):
        rng = random.Random(2002)
        good = [b"-Dfuzz=1", b"-Da=b c", b"-D\xc3\xa9t\xc3\xa9=\xe4\xb8\xad", b"-Xmx64m", b"-Xss1m", b"-XX:+UseG1GC",
                b"-Dempty=", b"-D=", b"-Dx=" + b"y" * 30000, b"-Dquote=\"q\"", b"-Dpct=%PATH%", b"-Dtab=a\tb",
                b"-Dbad=\xff\xfe", b"-Dcut=a\0b", b"-ea", b"-Xrs"]
        bad = [b"#comment", b"\xef\xbb\xbf-Dbom=1", b"Xmx64m", b"-Xmx64q", b"-bogus", b"--add-opens", b"\xff"]
        blanks = [b"", b" ", b"\t", b"  \t "]
        ends = [b"\n", b"\r\n", b"\r"]
        cases, expectations = [], []
        for i in range(12):
            lines = []
            for _ in range(rng.randrange(1, 12)):
                pick = rng.random()
                if pick < 0.65:
                    lines.append(rng.choice(blanks) + rng.choice(good) + rng.choice(blanks))
                elif pick < 0.8:
                    lines.append(rng.choice(blanks))
                elif i % 4 == 0:
                    lines.append(rng.choice(blanks) + rng.choice(bad))
                else:
                    lines.append(rng.choice(good))
            data = b"".join(line + rng.choice(ends) for line in lines)
            if rng.random() < 0.3:
                data = data.rstrip(b"\r\n")      # a last line without terminator
            home = self.make_home(javaopts_conf=data)
            cases.append(Case("jo%02d" % i, self.exe(home), ["run"], note=data[:80]))
            expectations.append((home, lines))
        for result, (home, lines) in zip(run_cases(cases, self.work), expectations):
            with self.subTest(case=result.case.id):
                options = [classic_trim(line.decode("utf-8", errors="replace")).encode("utf-8") for line in lines]
                options = [o.split(b"\0")[0] for o in options if o]
                rejected = [o for o in options if not (o.startswith(b"-D") or o in (b"-Xmx64m", b"-Xss1m", b"-XX:+UseG1GC",
                                                                                    b"-ea", b"-Xrs"))]
                if rejected:
                    self.assertDefinedEnd(result, {1}, r"^  .*JVM creation failed \(-6\): jvm_dll=\[")
                    self.assertIn("Unrecognized option: ", result.stderr + result.stdout)
                    continue
                self.assertDefinedEnd(result, {0})
                recorded = [line[len("option="):] for line in read_record_lines(os.path.join(home, "var/stub-jvm.record"))
                            if line.startswith("option=")]
                configured = recorded[7:7 + len(options)]
                self.assertEqual(len(configured), len(options), result)
                for got, want in zip(configured, options):
                    if b"\xff" not in want:
                        self.assertEqual(got, want.decode("utf-8"), result)
                    else:
                        self.assertNotIn("\\x", got, result)   # the runtime got UTF-8, never raw bytes

    def test_missing_and_unreadable_files(self):
        cases = []
        h1 = self.make_home(javaopts_conf=None)
        cases.append(Case("nofile", self.exe(h1), ["run"]))
        h2 = self.make_home()
        os.remove(os.path.join(h2, "conf/agent/javahome.conf"))
        os.makedirs(os.path.join(h2, "conf/agent/javahome.conf"))   # a directory where the file should be
        cases.append(Case("isdir", self.exe(h2), ["_testjvm"]))
        for result in run_cases(cases, self.work):
            with self.subTest(case=result.case.id):
                self.assertDefinedEnd(result, {1}, r"^  .*conf\\agent\\java(opts|home)\.conf\]")
                self.assertTrue([l for l in result.stderr_lines if l.startswith("FATAL wmain(main.cpp:")], result)


# ---- command words and arguments ----------------------------------------------------------------

COMMAND_WORDS = ["run", "start", "stop", "env", "_restart", "_upgrade", "_testjvm", "install-service",
                 "uninstall-service", "_service", "_service_continue", "start-service", "stop-service",
                 "_upgrade_continue", "_winenv", "_start_continue", "_check_kill_ancestor", "_kill_ancestor",
                 "_check_replace_service", "_replace_service"]
ODD = "\u0130\u0131\u017f\u212a\uff52\u00e9\u00df\u4e2d\U0001f600 \t\"\\%=&|<>^;,'"


def random_text(rng, length):
    return "".join(rng.choice(ODD) if rng.random() < 0.3 else chr(rng.randrange(0x21, 0x7f)) for _ in range(length))


class CommandFuzzTest(FuzzTestCase):
    def test_unknown_words_are_named_and_refused(self):
        rng = random.Random(3003)
        home = self.make_home()
        cases = []
        for i in range(24):
            base = rng.choice(COMMAND_WORDS)
            how = i % 4
            if how == 0:
                word = base + rng.choice(ODD + "sx_")
            elif how == 1:
                at = rng.randrange(len(base))
                word = base[:at] + rng.choice("\u0131\u017f\u212a\uff52\u00e9") + base[at + 1:]
            elif how == 2:
                word = random_text(rng, rng.randrange(1, 30))
            else:
                word = "-" + base if rng.random() < 0.5 else base + " "
            if word.lower() in COMMAND_WORDS or word == "":
                word += "x"
            args = [random_text(rng, rng.randrange(0, 8)) for _ in range(rng.randrange(3))]
            cases.append(Case("w%02d" % i, self.exe(home), [word] + args))
        for result in run_cases(cases, self.work):
            with self.subTest(case=result.case.id, word=result.case.args[0]):
                word = result.case.args[0]
                self.assertDefinedEnd(result, {1})
                self.assertEqual(len(result.stderr_lines), 1, result)
                self.assertRegex(result.stderr_lines[0], r"^ERROR run_command\(command_table\.cpp:\d+\): Unknown command: ")
                self.assertTrue(result.stderr_lines[0].endswith("Unknown command: " + word.rstrip("\n")), result)

    def test_known_words_in_any_case_with_random_arguments(self):
        rng = random.Random(4004)
        cases, homes = [], []
        safe = ["stop", "_winenv", "run", "_testjvm", "env", ""]
        for i in range(12):
            word = safe[i % len(safe)]
            word = "".join(c.upper() if rng.random() < 0.5 else c for c in word)
            args = [random_text(rng, rng.randrange(0, 12)) for _ in range(rng.randrange(4))]
            home = self.make_home(javaopts_conf=b"-Dstub.main=return\n")
            homes.append(home)
            cases.append(Case("k%02d" % i, self.exe(home), [word] + args))
        for result, home in zip(run_cases(cases, self.work), homes):
            word = result.case.args[0].lower()
            with self.subTest(case=result.case.id, word=word):
                if word == "":
                    self.assertDefinedEnd(result, {1})
                    self.assertIn("Usage", result.stderr + result.stdout, result)
                elif word == "stop":
                    self.assertDefinedEnd(result, {0})
                    self.assertTrue(os.path.exists(os.path.join(home, "var", "shutdown")))
                elif word == "_winenv":
                    self.assertDefinedEnd(result, {0})
                    raw = open(os.path.join(self.work, "out", result.case.id + ".out"), "rb").read()
                    self.assertTrue(len(raw) % 2 == 0 and raw.endswith(b"\0\0\0\0"), raw[-16:])
                elif word == "env":
                    self.assertDefinedEnd(result, {0}, stdout=r"(?m)^PATH=")
                else:
                    self.assertDefinedEnd(result, {0})
                    self.assertIn("stub jvm: main started", result.stdout)

    def test_refused_install_service_options(self):
        """Every list holds at least one refused argument: the first one is named and nothing is installed."""
        rng = random.Random(5005)
        home = self.make_home()
        valid = ["--start=auto", "--start=manual", "--start=delayed", "--start=disabled", "--start=", "--user=",
                 "--user=NetworkService", "--password=", "--password=s3cr\u00e9t pass"]
        invalid = ["--start=Auto", "--start=manual ", "--start=boot", "--START=auto", "--user", "-user=x", "user=x",
                   "--password", "--Password=x", "", " ", "--start", "\u2014start=auto", "--start=\u0430uto"]
        cases = []
        for i in range(16):
            args = [rng.choice(valid) for _ in range(rng.randrange(3))]
            args.insert(rng.randrange(len(args) + 1), rng.choice(invalid) if i % 3 else random_text(rng, 6))
            args += [rng.choice(valid + invalid) for _ in range(rng.randrange(2))]
            env = {"QUENDA_SERVICE_LOGGING_LEVEL": "debug"} if i % 2 else {}
            cases.append(Case("is%02d" % i, self.exe(home), ["install-service"] + args, env=env))
        for result in run_cases(cases, self.work):
            args = result.case.args[1:]
            with self.subTest(case=result.case.id, args=args):
                first_bad = next(a for a in args if not self.accepted(a))
                self.assertDefinedEnd(result, {1})
                errors = [l for l in result.stderr_lines if l.startswith("ERROR")]
                # A misspelt password option is named with its value masked.
                shown = re.sub(r"(?i)^(--password[=:]).+", r"\1********", first_bad)
                self.assertEqual(errors, [l for l in errors if l.endswith("Invalid argument: arg=[%s]" % shown)], result)
                self.assertEqual(len(errors), 1, result)
                self.assertNotIn("s3cr\u00e9t", result.stderr, result)
                self.assertNotIn("\tat ", result.stderr, result)

    @staticmethod
    def accepted(arg):
        if arg.startswith("--start="):
            return arg[len("--start="):] in ("", "auto", "manual", "delayed", "disabled")
        return arg.startswith("--user=") or arg.startswith("--password=")


# ---- kill-ancestor depths -------------------------------------------------------------------------

def strtol_reference(text):
    """wcstol for ASCII text: ('none',) when no digits, ('range',) when outside 32 bits, else ('value', n)."""
    m = re.match(r"[ \t\n\v\f\r]*([+-]?)([0-9]+)", text)
    if not m:
        return ("none",)
    n = int(m.group(2)) * (-1 if m.group(1) == "-" else 1)
    if n < -2**31 or n > 2**31 - 1:
        return ("range",)
    return ("value", n)


class DepthFuzzTest(FuzzTestCase):
    """The answers are written in the console's text mode, so each line ends with CR LF."""

    def test_depth_texts(self):
        rng = random.Random(6006)
        home = self.make_home()
        pieces = ["0", "1", "2", "3", "7", "12", "+", "-", " ", "\t", "x", "2147483647", "2147483648", "-2147483648",
                  "-2147483649", "99999999999999999999", "0x10", "1e3", ".5", "\u0661", "\uff12", "\u3000", "\u00a0"]
        cases = []
        for i in range(30):
            text = "".join(rng.choice(pieces) for _ in range(rng.randrange(0, 4)))
            word = "_check_kill_ancestor"
            if i % 5 == 4:
                # Killing: only texts that can never name a live ancestor of the runner.
                ref = strtol_reference(text) if text.isascii() else ("none",)
                if text.isascii() and (ref[0] != "value" or ref[1] < 0 or ref[1] >= 2):
                    word = "_kill_ancestor"
            cases.append(Case("d%02d" % i, self.exe(home), [word] + ([text] if i % 7 else [])))
        for result in run_cases(cases, self.work):
            args = result.case.args
            with self.subTest(case=result.case.id, args=args):
                for text in (result.stdout, result.stderr):
                    self.assertEqual(text.count("\n"), text.count("\r\n"), result)
                result.stdout = result.stdout.replace("\r\n", "\n")
                result.stderr = result.stderr.replace("\r\n", "\n")
                checking = args[0] == "_check_kill_ancestor"
                if len(args) == 1:
                    self.assertDefinedEnd(result, {1})
                    self.assertEqual(result.stderr, "depth required\n")
                    continue
                text = args[1]
                if not text.isascii():
                    # Defined either way: one of the documented answers.
                    self.assertDefinedEnd(result, {0, 1})
                    self.assertRegex(result.stdout + result.stderr, r"^(1|3|depth unparseable|depth negative|depth out-of-range)\n$")
                    continue
                ref = strtol_reference(text)
                if ref[0] == "none":
                    self.assertDefinedEnd(result, {1})
                    self.assertEqual(result.stderr, "depth unparseable\n", result)
                elif ref[0] == "range":
                    self.assertDefinedEnd(result, {1})
                    self.assertEqual(result.stderr, "depth out-of-range\n", result)
                elif ref[1] < 0:
                    self.assertDefinedEnd(result, {1})
                    self.assertEqual(result.stderr, "depth negative\n", result)
                elif checking:
                    self.assertDefinedEnd(result, {0})
                    # Depth 0 is the process itself; its parent (the runner, started from Linux) has no parent.
                    self.assertEqual(result.stdout, "1\n" if ref[1] == 0 else "3\n", result)
                elif ref[1] == 0:
                    self.assertDefinedEnd(result, {1})      # ended itself with exit code 1
                    self.assertEqual(result.stdout, "")
                else:
                    self.assertDefinedEnd(result, {1})
                    self.assertEqual(result.stderr, "process not found\n", result)


# ---- upgrade hand-over --------------------------------------------------------------------------

class UpgradeHandleFuzzTest(FuzzTestCase):
    def test_texts_that_are_no_handle_value(self):
        rng = random.Random(7007)
        texts = ["", "-1", "0", "4294967296", "12abc", "7 ", "\uff14"]
        texts += ["".join(rng.choice("0123456789 -+x\u3000") for _ in range(rng.randrange(1, 12))) + rng.choice("x-+ .")]
        home = self.make_home(javaopts_conf=b"-Dstub.main=return\n")
        cases = [Case("u%02d" % i, self.exe(home), ["run"], env={"UPGRADE_PARENT_HANDLE": text}, timeout_ms=20000)
                 for i, text in enumerate(texts)]
        for result in run_cases(cases, self.work):
            text = result.case.env["UPGRADE_PARENT_HANDLE"]
            with self.subTest(case=result.case.id, text=text):
                if text == "":
                    self.assertDefinedEnd(result, {0})
                    continue
                self.assertDefinedEnd(result, {1}, r"^  \S+\(do_upgrade\.cpp:\d+\): bad handle string: input_string=\[")
                self.assertIn("input_string=[%s] call=wcstoul(errno=" % text, result.stderr, result)
                self.assertNotIn("stub jvm: main started", result.stdout, result)

    def test_values_that_name_no_predecessor(self):
        """Small values name whatever this fresh process holds (files, events, its standard handles):
        none is waited on or closed, and the failure is reported in full."""
        home = self.make_home(javaopts_conf=b"-Dstub.main=return\n")
        values = [str(n) for n in range(4, 44, 4)] + ["74097"]
        cases = [Case("n%02d" % i, self.exe(home), ["run"], env={"UPGRADE_PARENT_HANDLE": v}, timeout_ms=20000)
                 for i, v in enumerate(values)]
        for result in run_cases(cases, self.work):
            with self.subTest(case=result.case.id, value=result.case.env["UPGRADE_PARENT_HANDLE"]):
                self.assertDefinedEnd(result, {1}, r"^  .*call=GetProcessId\(\d+\)")
                self.assertTrue([l for l in result.stderr_lines if l.startswith("FATAL wmain(main.cpp:")], result)
                self.assertNotIn("Parent exited", result.stderr, result)
                self.assertNotIn("stub jvm: main started", result.stdout, result)


# ---- environment script and dump ----------------------------------------------------------------

class EnvironmentFuzzTest(FuzzTestCase):
    def test_set_env_scripts(self):
        rng = random.Random(8008)
        scripts = []
        many = "".join("set FUZZ_V%03d=%s\r\n" % (n, "v" * 900) for n in range(200))   # ~360 KB of environment
        scripts.append(("big", many + "set FUZZ_A=last\r\n", {"FUZZ_A": "last"}))
        scripts.append(("clear-path", "set PATH=\r\nset FUZZ_A=1\r\n", {"FUZZ_A": "1"}))
        scripts.append(("exit-b", "set FUZZ_A=2\r\nexit /b 3\r\n", {"FUZZ_A": "2"}))
        scripts.append(("noisy", "echo hello\r\necho oops 1>&2\r\nset FUZZ_B=x=y==z\r\n", {"FUZZ_B": "x=y==z"}))
        scripts.append(("special", "set \"FUZZ_A=a&b|c<d>e^f\"\r\nset FUZZ_B=%%PATH:~0,0%%q\r\n", {"FUZZ_A": "a&b|c<d>e^f"}))
        # Without NUL bytes: Wine's cmd never ends on a batch file that holds one (it loops at that line),
        # and the loader waits for the interpreter without a time limit, as documented.
        garbage = bytes(rng.randrange(256) for _ in range(400)).replace(b"\x1a", b"").replace(b"\0", b"")
        scripts.append(("garbage", garbage + b"\r\nset FUZZ_A=after\r\n", None))
        scripts.append(("kills-cmd", "set FUZZ_A=3\r\nexit 4\r\n", "incomplete"))
        scripts.append(("unset-all", "for /f \"delims==\" %%v in ('set') do @set \"%%v=\"\r\nset FUZZ_A=alone\r\n",
                        {"FUZZ_A": "alone"}))
        cases, homes = [], []
        for i, (name, text, _) in enumerate(scripts):
            data = text if isinstance(text, bytes) else text.encode("ascii")
            home = self.make_home(javaopts_conf=b"-Dstub.env=FUZZ_A,FUZZ_B\n", set_env=data)
            homes.append(home)
            cases.append(Case("e%02d" % i, self.exe(home), ["run"], note=name))
        for result, home, (name, _, expected) in zip(run_cases(cases, self.work), homes, scripts):
            with self.subTest(case=result.case.id, script=name):
                # The generated script never stays behind, whatever the batch file did.
                self.assertEqual(self.home_files(home, "var/temp"), [], result)
                if expected == "incomplete":
                    self.assertDefinedEnd(result, {1})
                    fatal = [l for l in result.stderr_lines if l.startswith("FATAL ")]
                    self.assertEqual(len(fatal), 1, result)
                    self.assertRegex(fatal[0], r"Incomplete read: actual=0$")
                    continue
                self.assertDefinedEnd(result, {0})
                env = {}
                for line in read_record_lines(os.path.join(home, "var/stub-jvm.record")):
                    key, _, value = line.partition("=")
                    if key.startswith("env."):
                        env[key[4:]] = value
                for key, value in (expected or {}).items():
                    self.assertEqual(env.get(key), value, result)


if __name__ == "__main__":
    unittest.main()
