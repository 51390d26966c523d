"""A fresh Wine prefix per session, the shipped programs and wine_driver.exe in C:\\svc, and the event log
read from the +eventlog trace on the standard error services.exe (and each service) inherited from wine."""
import os, pathlib, re, shutil, subprocess, time  # noqa: E401
import pytest

SERVICE, WIN_DIR, PORT = "Quorvanta-APIClient", "C:\\svc", 54321
SHIPPED = ("quorvanta-apiclient.exe", "quorvanta-embedded-server.exe", "quorvanta_errors.dll")


def pytest_addoption(parser):
    parser.addoption("--build", default=os.path.join(os.path.dirname(__file__), "..", "..", "build"))
    parser.addoption("--full", action="store_true", help="the full soak: 200 cycles, longer storms and races")
    parser.addoption("--count", type=int, help="how often each soak case repeats; the bench's cycles")
    parser.addoption("--bench", metavar="FILE", help="with -k bench: write the bench's table to FILE")


def entries(text):
    """(level, text) of each ReportEventW in a trace, Wine's debugstr_w escapes undone."""
    return [
        ("info" if level == "trace" else "error", re.sub(r"\\(.)", r"\1", body))  # texts here are ASCII
        for level, body in re.findall(r'^[0-9a-f]+:(trace|err):eventlog:ReportEventW L"(.*)"\s*$', text, re.M)
    ]


class Wine:
    def __init__(self, build):
        self.build, self.work = build, os.path.join(build, "tests", "wine", "run")
        self.trace = os.path.join(self.work, "eventlog.txt")
        # No Mono, Gecko or window system: none is used, and each costs seconds per prefix.
        self.env = dict(os.environ, WINEPREFIX=os.path.join(self.work, "prefix"), WINEDLLOVERRIDES="mscoree=;mshtml=")
        self.env.pop("DISPLAY", None)

    def wine(self, *args, debug="-all", **options):  # streams: files, never pipes, for one that starts services
        return subprocess.run(
            ["wine", *args], env=dict(self.env, WINEDEBUG=debug), stdin=subprocess.DEVNULL, timeout=300, **options
        )

    def wineserver(self, *flags):  # -p: persistent, or Wine ends the services soon after its last client
        for flag in flags:
            subprocess.run(
                ["wineserver", flag], env=self.env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=60
            )

    def create(self):
        shutil.rmtree(self.work, ignore_errors=True)
        os.makedirs(os.path.join(self.work, "prefix", "drive_c", "svc"))
        self.wineserver("-p")
        self.wine("wineboot", "-i", stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=True)
        # A new prefix can leave two services.exe in one wineserver, and SCM calls then reach
        # either at random; after a restart there is one.
        self.wineserver("-k", "-w", "-p")
        with open(self.trace, "wb") as trace:
            self.wine("wineboot", debug="-all,+eventlog", stdout=subprocess.DEVNULL, stderr=trace, check=True)
        for path in [f"{self.build}/bin/{name}" for name in SHIPPED] + [f"{self.build}/tests/bin/wine_driver.exe"]:
            shutil.copy2(path, os.path.join(self.work, "prefix", "drive_c", "svc"))

    def run(self, program, *args, debug="-all"):  # exit code, standard output and error of a program in C:\\svc
        done = self.wine(WIN_DIR + "\\" + program, *args, debug=debug, capture_output=True)
        return (
            done.returncode,
            *(s.decode("utf-8", "replace").replace("\r\n", "\n") for s in (done.stdout, done.stderr)),
        )

    def drive(self, *steps, service=SERVICE):  # every key wine_driver printed for the steps, its values in order
        code, out, err = self.run("wine_driver.exe", service, *steps)
        facts = {}
        for key, _, value in (line.partition("=") for line in out.splitlines()):
            facts.setdefault(key, []).append(value)
        assert (
            code == 0 and "error" not in facts
        ), f"wine_driver {' '.join(steps)[:300]}: {code} {out[-800:]} {err[-300:]}"
        return facts

    def reg(self, key):  # as Wine's reg prints it (in the console code page): a REG_SZ with or without its NUL alike
        done = self.wine("reg", "query", "HKLM\\SYSTEM\\CurrentControlSet\\Services\\" + key, capture_output=True)
        return done.stdout.decode("cp437").replace("\r\n", "\n")

    def mark(self):  # where the trace ends now
        return os.path.getsize(self.trace)

    def log(self, mark, count):  # the entries since mark once there are count (or after 10 s); some follow STOPPED
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
        yield rig.create() or rig
    finally:
        rig.wineserver("-k")


@pytest.fixture(scope="session")
def reps(pytestconfig):  # how often a soak case repeats: bounded in CI, full with --full, or --count
    return lambda bounded, full: pytestconfig.option.count or (full if pytestconfig.option.full else bounded)
