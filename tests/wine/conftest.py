"""A fresh Wine prefix per session with the shipped programs and wine_driver.exe in C:\\svc, and the event log
read from the +eventlog trace on the standard error that services.exe (and each service) inherited from wine."""

import os
import pathlib
import re
import shutil
import subprocess
import time

import pytest

SERVICE, WIN_DIR, PORT = "Quorvanta-APIClient", "C:\\svc", 54321
HOST_EXE, SERVER_EXE, MESSAGE_DLL = "quorvanta-apiclient.exe", "quorvanta-embedded-server.exe", "quorvanta_errors.dll"


def pytest_addoption(parser):
    parser.addoption("--build", default=os.path.join(os.path.dirname(__file__), "..", "..", "build"))
    parser.addoption(
        "--full", action="store_true", help="the full soak: 100 serve cycles, 100 stop storms, longer races"
    )
    parser.addoption("--count", type=int, help="how often each soak case repeats; the bench's cycles")
    parser.addoption("--bench", metavar="FILE", help="with -k bench: write the bench's table to FILE")


def entries(text):
    """(level, text) of each ReportEventW in a trace, with Wine's escapes undone (the texts here are ASCII)."""
    found = re.findall(r'^[0-9a-f]+:(trace|err):eventlog:ReportEventW L"(.*)"\s*$', text, re.M)
    return [("info" if level == "trace" else "error", re.sub(r"\\(.)", r"\1", body)) for level, body in found]


class Wine:
    def __init__(self, build):
        self.build = build
        self.work = os.path.join(build, "tests", "wine", "run")
        self.trace = os.path.join(self.work, "eventlog.txt")
        # No Mono, Gecko or window system: none is used, and each costs seconds per prefix.
        self.env = dict(os.environ, WINEPREFIX=os.path.join(self.work, "prefix"), WINEDLLOVERRIDES="mscoree=;mshtml=")
        self.env.pop("DISPLAY", None)

    def wine(self, *args, debug="-all", **options):
        """Streams go to files, never pipes, for a command that starts services: they keep them open."""
        return subprocess.run(
            ["wine", *args], env=dict(self.env, WINEDEBUG=debug), stdin=subprocess.DEVNULL, timeout=300, **options
        )

    def wineserver(self, *flags):
        for flag in flags:
            subprocess.run(
                ["wineserver", flag], env=self.env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=60
            )

    def create(self):
        shutil.rmtree(self.work, ignore_errors=True)
        svc = os.path.join(self.work, "prefix", "drive_c", "svc")
        os.makedirs(svc)
        # Persistent: otherwise Wine ends the services soon after its last client.
        self.wineserver("-p")
        self.wine("wineboot", "-i", stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=True)
        # A new prefix can leave two services.exe in one wineserver, and SCM calls then reach either at random;
        # after a restart there is one.
        open(self.trace, "wb").close()
        self.restart()
        for name in (HOST_EXE, SERVER_EXE, MESSAGE_DLL):
            shutil.copy2(os.path.join(self.build, "bin", name), svc)
        shutil.copy2(os.path.join(self.build, "tests", "bin", "wine_driver.exe"), svc)

    def restart(self):
        """A fresh wineserver and services.exe, tracing into the same event trace; the prefix stays."""
        self.wineserver("-k", "-w", "-p")
        with open(self.trace, "ab") as trace:
            self.wine("wineboot", debug="-all,+eventlog", stdout=subprocess.DEVNULL, stderr=trace, check=True)

    def run(self, program, *args, debug="-all"):
        """Exit code, standard output and standard error of a program in C:\\svc."""
        done = self.wine(WIN_DIR + "\\" + program, *args, debug=debug, capture_output=True)
        out, err = (stream.decode("utf-8", "replace").replace("\r\n", "\n") for stream in (done.stdout, done.stderr))
        return done.returncode, out, err

    def drive(self, *steps, service=SERVICE):
        """Every key wine_driver printed for the steps, with its values in order."""
        code, out, err = self.run("wine_driver.exe", service, *steps)
        facts = {}
        for key, _, value in (line.partition("=") for line in out.splitlines()):
            facts.setdefault(key, []).append(value)
        assert code == 0, f"wine_driver {' '.join(steps)[:300]}: {code} {out[-800:]} {err[-300:]}"
        return facts

    def reg(self, key):
        """A service's registry key as Wine's reg prints it, in the console code page."""
        done = self.wine("reg", "query", "HKLM\\SYSTEM\\CurrentControlSet\\Services\\" + key, capture_output=True)
        return done.stdout.decode("cp437").replace("\r\n", "\n")

    def mark(self):
        """Where the event trace ends now."""
        return os.path.getsize(self.trace)

    def log(self, mark, count):
        """The entries since mark once there are count of them, or after 10 s: some follow STOPPED."""
        deadline = time.monotonic() + 10
        while True:
            found = entries(pathlib.Path(self.trace).read_bytes()[mark:].decode("utf-8", "replace"))
            if len(found) >= count or time.monotonic() > deadline:
                return found
            time.sleep(0.05)


@pytest.fixture(scope="session")
def wine(request):
    rig = Wine(os.path.abspath(request.config.getoption("--build")))
    try:
        rig.create()
        yield rig
    finally:
        rig.wineserver("-k")


@pytest.fixture(scope="session")
def reps(pytestconfig):
    """How often a soak case repeats: bounded in CI, full with --full, or --count."""

    def repetitions(bounded, full):
        if pytestconfig.option.count:
            return pytestconfig.option.count
        return full if pytestconfig.option.full else bounded

    return repetitions
