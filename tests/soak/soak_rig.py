"""What the soak suites and the benchmark share: a private Wine prefix with
Wine's own services.exe, prepared the way the end-to-end run prepares it (its
Wine and EventLog classes are reused from tests/e2e/run_e2e.py, not copied),
the shipped programs in C:\\svc, and views of the server port from the Linux
side of the network namespace."""

import importlib.util
import os
import shutil
import subprocess
import time

HERE = os.path.dirname(os.path.abspath(__file__))
E2E_SCRIPT = os.path.join(HERE, "..", "e2e", "run_e2e.py")


def _load_e2e():
    found = importlib.util.spec_from_file_location("quorvanta_run_e2e", E2E_SCRIPT)
    module = importlib.util.module_from_spec(found)
    found.loader.exec_module(module)
    return module


e2e = _load_e2e()

SERVICE = e2e.SERVICE
WIN_DIR = e2e.WIN_DIR
HOST_EXE = e2e.HOST_EXE
SERVER_EXE = e2e.SERVER_EXE
SHIPPED = e2e.SHIPPED
PORT = e2e.PORT
CRASH_TEXT = e2e.CRASH_TEXT
SETUP_FAILURE = e2e.SETUP_FAILURE
EventLog = e2e.EventLog

class Rig:
    """A fresh prefix with the shipped programs (and any extra ones) in
    C:\\svc and the host installed as a service."""

    def __init__(self, work, bin_dir, probe, extra=()):
        self.work = os.path.abspath(work)
        os.makedirs(self.work, exist_ok=True)
        self.wine = e2e.Wine(self.work, probe)
        self.bin_dir = bin_dir
        self.extra = list(extra)
        self.log = None

    def __enter__(self):
        self.wine.create_prefix()
        target = self.wine.windows_dir()
        os.makedirs(target, exist_ok=True)
        for name in SHIPPED:
            shutil.copy2(os.path.join(self.bin_dir, name), target)
        for path in self.extra:
            shutil.copy2(path, target)
        self.log = EventLog(self.wine.event_log)
        code, out, err = self.wine.run([WIN_DIR + "\\" + HOST_EXE, "install"])
        if out.strip() != "Service installed successfully":
            raise RuntimeError(f"install answered {out.strip()!r} {err.strip()[-300:]!r}")
        return self

    def __exit__(self, *exc):
        self.wine.shut_down()
        return False

    def run(self, program, *args, timeout):
        """Runs a Windows program from the prefix's C:\\svc or a Linux path;
        returns its exit code and standard output."""
        code, out, err = self.wine.run([program] + [str(a) for a in args], timeout=timeout)
        return code, out

    def data_dir(self):
        return os.path.join(self.wine.windows_dir(), "data")


def windows_path(path):
    """The Z: drive path Wine gives a Linux file."""
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def live_port_sockets(limit_s=5.0):
    """Sockets on the server port other than TIME_WAIT, once they have had
    limit_s to go away (a closing pair takes a moment in the kernel)."""
    deadline = time.monotonic() + limit_s
    while True:
        live = [s for s in e2e.port_sockets() if s[0] != "TIME_WAIT"]
        if not live or time.monotonic() > deadline:
            return live
        time.sleep(0.1)


def parse_facts(out, key):
    """Every 'key=value ...' line for key, as a dict of its fields."""
    facts = []
    for line in out.splitlines():
        if line.startswith(key + "="):
            fields = {}
            for item in line.split(" "):
                if "=" in item:
                    name, value = item.split("=", 1)
                    fields[name] = value
            facts.append(fields)
    return facts


def median(values):
    ordered = sorted(values)
    if not ordered:
        return float("nan")
    middle = len(ordered) // 2
    return ordered[middle] if len(ordered) % 2 else (ordered[middle - 1] + ordered[middle]) / 2


def percentile(values, fraction):
    ordered = sorted(values)
    if not ordered:
        return float("nan")
    index = min(len(ordered) - 1, max(0, int(round(fraction * len(ordered) + 0.5)) - 1))
    return ordered[index]


def run_checked(args, timeout, **kwargs):
    return subprocess.run(args, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                          timeout=timeout, check=False, **kwargs)
