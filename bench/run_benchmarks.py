#!/usr/bin/env python3
"""Benchmarks of agent.exe under Wine, each figure a ratio to a baseline measured in the same run.

    bench/run_benchmarks.py [--arch x86|x64] [--build DIR] [--rounds N] [--service-rounds N] [--no-service]

Builds nothing: run scripts/build.sh first. The build measured is build/x86 (the shipped PE32 program)
where 32-bit Wine runs and build/x64 elsewhere, unless --arch or --build says otherwise; the first
line printed names it. Everything runs under the build tree's own Wine prefix. Programs are started and timed from a Windows parent of our
own (bench/bench_driver.cpp), so that the figures hold a program's start and work and not the cost
of starting Wine from a Linux shell. Cases of one figure run interleaved, round by round, and each
figure is the median over the rounds with its spread (interquartile range, and minimum to maximum).

Figures (goals in brackets):
  1. Launcher overhead: start of "agent.exe run" to the stand-in runtime's entry into
     JNI_CreateJavaVM, without and with bin\\set_env.cmd, against the minimal launcher
     (bench/minimal_launcher.exe), and one "cmd /c" run of a script calling a trivial program.
     [without set_env.cmd: <= 1.3 x minimal; with: <= minimal + 1.2 x cmd run]
  2. "stop" and "_winenv" start to end against a trivial program of the same build. [<= 1.3 x]
  3. Service stop latency: stop request to SERVICE_STOPPED for the agent's service (the stand-in agent
     polls for the shutdown marker every 100 ms) against a minimal service that stops at once.
     [the host adds <= poll interval + 50 ms]
  4. Peak working set of agent.exe on entry to JNI_CreateJavaVM [< 8 MiB]; executable size with and
     without symbols.
  5. A FATAL line with its stack trace resolved from the symbol file, against the same command
     failing at the same stage with one ERROR line.
"""

import argparse
import os
import platform
import shutil
import statistics
import subprocess
import sys
import tempfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
POLL_MS = 100


def windows_path(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def quote(arg):
    return '"%s"' % arg if (" " in arg or not arg) else arg


class Bench:
    def __init__(self, build):
        self.build = build
        self.wine_run = os.path.join(build, "wine-run")
        self.exe = {name: os.path.join(build, rel) for name, rel in {
            "agent": "src/agent.exe",
            "driver": "bench/bench_driver.exe",
            "trivial": "bench/trivial_program.exe",
            "minimal_service": "bench/minimal_service.exe",
            "host_check": "bench/minimal_launcher.exe",
            "imports": "bench/import_baseline.exe",
            "jvm": "tests/support/stub_jvm/jvm.dll",
            "java": "tests/support/stub_jvm/java.exe",
        }.items()}
        missing = [p for p in self.exe.values() if not os.path.isfile(p)]
        if missing:
            sys.exit("missing built files (run scripts/build.sh first): %s" % ", ".join(missing))
        self.work = tempfile.mkdtemp(prefix="agent-bench-")

    def close(self):
        shutil.rmtree(self.work, ignore_errors=True)

    def wine(self, args, timeout):
        env = dict(os.environ)
        for name in ("QUENDA_SERVICE_LOGGING_LEVEL", "QUENDA_SERVICE_LOG_PER_PID", "UPGRADE_SET_AGENT_HOME",
                     "UPGRADE_PARENT_HANDLE", "TESTJVM_JAVA_HOME", "JAVA_DEBUG_OPTS", "QUENDA_CHECK_JNI"):
            env.pop(name, None)
        done = subprocess.run([self.wine_run] + args, env=env, stdin=subprocess.DEVNULL, capture_output=True,
                              timeout=timeout)
        if done.returncode != 0:
            raise RuntimeError("%s failed (%d): %s %s" % (args[0], done.returncode, done.stdout.decode(errors="replace"),
                                                          done.stderr.decode(errors="replace")))
        return done.stdout.decode()

    def java_home(self):
        path = os.path.join(self.work, "jdk")
        if os.path.isdir(path):
            return path
        os.makedirs(os.path.join(path, "bin", "server"))
        shutil.copyfile(self.exe["jvm"], os.path.join(path, "bin", "server", "jvm.dll"))
        shutil.copyfile(self.exe["java"], os.path.join(path, "bin", "java.exe"))
        return path

    def agent_home(self, name, java_home, javaopts="", set_env=None):
        home = os.path.join(self.work, name)
        for sub in ("bin", "conf/agent", "lib", "var/log", "var/temp"):
            os.makedirs(os.path.join(home, sub))
        shutil.copyfile(self.exe["agent"], os.path.join(home, "bin", "agent.exe"))
        with open(os.path.join(home, "conf/agent/javahome.conf"), "w", newline="") as f:
            f.write(windows_path(java_home) + "\r\n")
        with open(os.path.join(home, "conf/agent/javaopts.conf"), "w", newline="") as f:
            f.write(javaopts)
        if set_env is not None:
            with open(os.path.join(home, "bin/set_env.cmd"), "w", newline="") as f:
                f.write(set_env)
        return home

    def launches(self, cases, rounds, exit_code=0):
        """cases: (name, kind, record path or "", command line); every run must end with exit_code.
        Returns {name: [(to_event, to_exit, peak)]}."""
        case_file = os.path.join(self.work, "cases-%d.txt" % len(os.listdir(self.work)))
        with open(case_file, "w", encoding="utf-8", newline="\n") as f:
            for name, kind, record, command in cases:
                f.write("%s\t%s\t%s\t%s\n" % (name, kind, record or "-", command))
        out = self.wine([self.exe["driver"], "launches", str(rounds), windows_path(case_file)], timeout=60 * rounds * len(cases))
        results = {name: [] for name, _, _, _ in cases}
        for line in out.splitlines():
            parts = line.split()
            if parts[0] != "launch":
                continue
            if parts[3] == "timeout":
                raise RuntimeError("a run of %s overran its bound" % parts[1])
            name, to_event, to_exit, code, peak = parts[1], parts[3], float(parts[4]), int(parts[5]), parts[6]
            if code != exit_code:
                raise RuntimeError("%s ended with exit code %d" % (name, code))
            results[name].append((None if to_event == "-" else float(to_event), to_exit, None if peak == "-" else int(peak)))
        return results


def summary(values):
    values = sorted(values)
    q = statistics.quantiles(values, n=4) if len(values) >= 2 else [values[0]] * 3
    return {"median": statistics.median(values), "q1": q[0], "q3": q[2], "min": values[0], "max": values[-1]}


def show(label, values, unit="ms"):
    s = summary(values)
    print("  %-44s median %8.1f %s   IQR %7.1f-%-7.1f  range %7.1f-%.1f" % (label, s["median"], unit, s["q1"], s["q3"],
                                                                            s["min"], s["max"]))
    return s


def show_ratio(label, values, goal_text, met):
    s = summary(values)
    print("  %-44s median %8.2f      IQR %7.2f-%-7.2f  range %7.2f-%.2f   goal %s: %s" % (
        label, s["median"], s["q1"], s["q3"], s["min"], s["max"], goal_text, "met" if met(s["median"]) else "MISSED"))
    return s


def x86_wine_runs():
    try:
        return subprocess.run(["/usr/lib/wine/wine", "--version"], capture_output=True, timeout=60).returncode == 0
    except OSError:
        return False


def build_arch(build):
    """The architecture of a build folder, from its toolchain."""
    try:
        with open(os.path.join(build, "CMakeCache.txt")) as f:
            for line in f:
                if line.startswith("CMAKE_TOOLCHAIN_FILE:"):
                    return "x64" if line.rstrip().endswith("toolchain-x64.cmake") else "x86"
    except OSError:
        pass
    return "?"


def machine(build):
    cpu = "unknown"
    try:
        with open("/proc/cpuinfo") as f:
            cpu = next(line.split(":", 1)[1].strip() for line in f if line.startswith("model name"))
    except (OSError, StopIteration):
        pass
    try:
        loader = "/usr/lib/wine/wine64" if build_arch(build) == "x64" else "/usr/lib/wine/wine"
        wine = subprocess.run([loader, "--version"], capture_output=True, text=True).stdout.strip()
    except OSError:
        wine = "wine ?"
    try:
        with open("/proc/loadavg") as f:
            load = f.read().split()[0]
    except OSError:
        load = "?"
    return "%s, %d cores, %s, %s, load %s" % (cpu, os.cpu_count(), platform.platform(terse=True), wine, load)


def launcher_overhead(bench, rounds):
    java_home = bench.java_home()
    plain = bench.agent_home("plain", java_home)
    scripted = bench.agent_home("scripted", java_home, set_env="set BENCH_VAR=1\r\n")
    minimal_record = os.path.join(bench.work, "minimal.record")
    imports_record = os.path.join(bench.work, "imports.record")
    script = os.path.join(bench.work, "calls-trivial.cmd")
    with open(script, "w", newline="") as f:
        f.write('@echo off\r\n"%s"\r\n' % windows_path(bench.exe["trivial"]))
    cases = [
        ("minimal", "create", windows_path(minimal_record),
         "%s %s -Dstub.record=%s" % (quote(windows_path(bench.exe["host_check"])),
                                     quote(windows_path(os.path.join(java_home, "bin/server/jvm.dll"))),
                                     quote(windows_path(minimal_record)))),
        ("imports", "create", windows_path(imports_record),
         "%s %s -Dstub.record=%s" % (quote(windows_path(bench.exe["imports"])),
                                     quote(windows_path(os.path.join(java_home, "bin/server/jvm.dll"))),
                                     quote(windows_path(imports_record)))),
        ("run", "create", windows_path(os.path.join(plain, "var/stub-jvm.record")),
         "%s run" % quote(windows_path(os.path.join(plain, "bin/agent.exe")))),
        ("run+set_env", "create", windows_path(os.path.join(scripted, "var/stub-jvm.record")),
         "%s run" % quote(windows_path(os.path.join(scripted, "bin/agent.exe")))),
        ("cmd", "exit", "", 'cmd /c "%s"' % windows_path(script)),
    ]
    r = bench.launches(cases, rounds)
    print("1. Launcher overhead (start to JNI_CreateJavaVM entry), %d rounds" % rounds)
    minimal = [x[0] for x in r["minimal"]]
    run = [x[0] for x in r["run"]]
    run_env = [x[0] for x in r["run+set_env"]]
    cmd = [x[1] for x in r["cmd"]]
    imports = [x[0] for x in r["imports"]]
    show("minimal launcher", minimal)
    show("same imports as agent.exe, then JVM", imports)
    show("agent.exe run, no set_env.cmd", run)
    show("agent.exe run, with set_env.cmd", run_env)
    show("cmd /c script calling a trivial program", cmd)
    show_ratio("run / minimal", [a / b for a, b in zip(run, minimal)], "<= 1.30", lambda m: m <= 1.3)
    show_ratio("run / same-import baseline (own work)", [a / b for a, b in zip(run, imports)], "(info)", lambda m: True)
    # Per round: (run with set_env.cmd - minimal) / cmd run; the goal is <= 1.2.
    show_ratio("(run with set_env - minimal) / cmd run", [(a - b) / c for a, b, c in zip(run_env, minimal, cmd)],
               "<= 1.20", lambda m: m <= 1.2)
    print()
    return r


def short_commands(bench, rounds):
    java_home = os.path.join(bench.work, "jdk")
    home = bench.agent_home("short", java_home)
    agent = quote(windows_path(os.path.join(home, "bin/agent.exe")))
    cases = [
        ("trivial", "exit", "", quote(windows_path(bench.exe["trivial"]))),
        ("imports", "exit", "", quote(windows_path(bench.exe["imports"])) + " --no-jvm"),
        ("stop", "exit", "", agent + " stop"),
        ("_winenv", "exit", "", agent + " _winenv"),
    ]
    r = bench.launches(cases, rounds)
    print("2. Short commands (start to end), %d rounds" % rounds)
    trivial = [x[1] for x in r["trivial"]]
    stop = [x[1] for x in r["stop"]]
    winenv = [x[1] for x in r["_winenv"]]
    imports = [x[1] for x in r["imports"]]
    show("trivial program", trivial)
    show("trivial program with agent.exe's imports", imports)
    show("agent.exe stop", stop)
    show("agent.exe _winenv", winenv)
    show_ratio("stop / trivial", [a / b for a, b in zip(stop, trivial)], "<= 1.30", lambda m: m <= 1.3)
    show_ratio("_winenv / trivial", [a / b for a, b in zip(winenv, trivial)], "<= 1.30", lambda m: m <= 1.3)
    show_ratio("stop / same-import baseline (own work)", [a / b for a, b in zip(stop, imports)], "(info)", lambda m: True)
    show_ratio("_winenv / same-import baseline (own work)", [a / b for a, b in zip(winenv, imports)], "(info)",
               lambda m: True)
    print()


def fatal_trace(bench, rounds):
    """A FATAL line with its stack trace resolved from the symbols beside the program, against a run
    that fails at the same stage with one ERROR line and no trace."""
    fatal_home = bench.agent_home("fatal", bench.java_home(), javaopts="-Xno-such-option\r\n")
    symbols = os.path.splitext(bench.exe["agent"])[0] + ".pdb"
    if os.path.exists(symbols):
        shutil.copyfile(symbols, os.path.join(fatal_home, "bin", "agent.pdb"))
    empty_java_home = os.path.join(bench.work, "no-jdk")
    os.makedirs(empty_java_home, exist_ok=True)
    error_home = bench.agent_home("error", empty_java_home)
    cases = [(name, "exit", "", quote(windows_path(os.path.join(home, "bin/agent.exe"))) + " run")
             for name, home in (("fatal", fatal_home), ("error", error_home))]
    r = bench.launches(cases, rounds, exit_code=1)
    fatal = [x[1] for x in r["fatal"]]
    error = [x[1] for x in r["error"]]
    print("5. FATAL line with its resolved stack trace, %d rounds" % rounds)
    show("run: JVM refuses an option (FATAL + trace)", fatal)
    show("run: no jvm.dll (one ERROR line)", error)
    show_ratio("FATAL / ERROR-only", [a / b for a, b in zip(fatal, error)], "(info)", lambda m: True)
    print()


def service_stop(bench, rounds):
    java_home = os.path.join(bench.work, "jdk")
    home = bench.agent_home("service", java_home, javaopts="-Dstub.main=wait-shutdown\r\n-Dstub.poll.ms=%d\r\n" % POLL_MS)
    agent = os.path.join(home, "bin/agent.exe")
    minimal_name = "agent-bench-minimal-%d" % os.getpid()
    record = windows_path(os.path.join(home, "var/stub-jvm.record"))
    bench.wine([agent, "install-service", "--start=manual"], timeout=120)
    agent_name = None
    try:
        bench.wine([bench.exe["driver"], "service-install", minimal_name, quote(windows_path(bench.exe["minimal_service"]))],
                   timeout=120)
        # The agent's service name, read back from its own log line.
        out = subprocess.run([bench.wine_run, agent, "start-service"], capture_output=True, timeout=120,
                             stdin=subprocess.DEVNULL).stderr.decode(errors="replace")
        agent_name = out.split("Starting service: service=[", 1)[1].split("]", 1)[0]
        bench.wine([agent, "stop-service"], timeout=120)
        lines = []
        # Alternate the two services in blocks so that both see the same machine load.
        block = max(1, rounds // 4)
        done = 0
        while done < rounds:
            n = min(block, rounds - done)
            lines += bench.wine([bench.exe["driver"], "service-stop", minimal_name, str(n), "-", "-"], timeout=120 * n).splitlines()
            lines += bench.wine([bench.exe["driver"], "service-stop", agent_name, str(n), record, "main.thread="],
                                timeout=120 * n).splitlines()
            done += n
    finally:
        subprocess.run([bench.wine_run, bench.exe["driver"], "service-delete", minimal_name], capture_output=True, timeout=120,
                       stdin=subprocess.DEVNULL)
        with open(os.path.join(home, "var/shutdown"), "w"):
            pass
        subprocess.run([bench.wine_run, agent, "uninstall-service"], capture_output=True, timeout=120, stdin=subprocess.DEVNULL)
    minimal = [float(l.split()[3]) for l in lines if l.startswith("service " + minimal_name + " ")]
    agent_stop = [float(l.split()[3]) for l in lines if l.startswith("service " + agent_name + " ")]
    agent_end = [float(l.split()[4]) for l in lines if l.startswith("service " + agent_name + " ")]
    print("3. Service stop latency (stop request to SERVICE_STOPPED), %d rounds" % rounds)
    show("minimal service", minimal)
    show("agent service (stand-in polls every %d ms)" % POLL_MS, agent_stop)
    show("agent service, to the end of its process", agent_end)
    added = [a - statistics.median(minimal) for a in agent_stop]
    s = show("added by the host (agent - minimal median)", added)
    print("  %-44s goal <= %d ms (poll %d + 50): %s" % ("", POLL_MS + 50, POLL_MS,
                                                      "met" if s["median"] <= POLL_MS + 50 else "MISSED"))
    print()


def memory_and_size(bench, launch_results):
    print("4. Memory and size")
    mib = 1024 * 1024
    for name, label in (("minimal", "minimal launcher"), ("imports", "same-import baseline"),
                        ("run", "agent.exe run, no set_env.cmd"),
                        ("run+set_env", "agent.exe run, with set_env.cmd")):
        peaks = [x[2] / mib for x in launch_results[name] if x[2] is not None]
        if peaks:
            show("peak working set, %s" % label, peaks, "MiB")
    run = [x[2] for x in launch_results["run"]]
    minimal = [x[2] for x in launch_results["minimal"]]
    imports = [x[2] for x in launch_results["imports"]]
    if all(run) and all(minimal) and all(imports):
        wine_share = statistics.median(minimal)
        libraries = statistics.median(imports) - wine_share
        own = statistics.median(run) - statistics.median(imports)
        print("  %-44s %8.2f MiB" % ("Wine's own (minimal launcher)", wine_share / mib))
        print("  %-44s %8.2f MiB" % ("system libraries (same-import - minimal)", libraries / mib))
        print("  %-44s %8.2f MiB" % ("agent.exe's own (run - same-import)", own / mib))
        print("  %-44s goal < 8 MiB: absolute %s; without Wine's own share %s" % (
            "", "met" if statistics.median(run) < 8 * mib else "MISSED",
            "met" if statistics.median(run) - wine_share < 8 * mib else "MISSED"))
    size = os.path.getsize(bench.exe["agent"])
    stripped = os.path.join(bench.work, "agent-stripped.exe")
    subprocess.run(["llvm-strip-14", "--strip-all", "-o", stripped, bench.exe["agent"]], check=True)
    print("  %-44s %8.2f MiB (%d bytes)" % ("agent.exe as built", size / mib, size))
    print("  %-44s %8.2f MiB (%d bytes)" % ("agent.exe stripped (as packaged)", os.path.getsize(stripped) / mib,
                                           os.path.getsize(stripped)))
    symbols = os.path.splitext(bench.exe["agent"])[0] + ".pdb"
    if os.path.exists(symbols):
        print("  %-44s %8.2f MiB (%d bytes)" % ("agent.pdb", os.path.getsize(symbols) / mib, os.path.getsize(symbols)))
    print()


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--arch", choices=("x86", "x64"), help="the build to measure (default: x86 where 32-bit Wine runs)")
    parser.add_argument("--build", help="the build folder to measure (default: build/ARCH)")
    parser.add_argument("--rounds", type=int, default=21)
    parser.add_argument("--service-rounds", type=int, default=12)
    parser.add_argument("--no-service", action="store_true", help="leave out the service stop latency")
    args = parser.parse_args()
    build = args.build or os.path.join(ROOT, "build", args.arch or ("x86" if x86_wine_runs() else "x64"))
    bench = Bench(os.path.abspath(build))
    try:
        print("Build: %s (%s)" % (build_arch(bench.build), bench.build))
        print("Machine: %s" % machine(bench.build))
        print()
        results = launcher_overhead(bench, args.rounds)
        short_commands(bench, args.rounds)
        fatal_trace(bench, args.rounds)
        if not args.no_service:
            service_stop(bench, args.service_rounds)
        memory_and_size(bench, results)
    finally:
        bench.close()


if __name__ == "__main__":
    main()
