#!/usr/bin/env python3
"""The host under load and faults, through Wine's own services.exe: many
start/stop cycles with files stored and read back, stop storms, stop controls
that meet a child ending by itself, a crash loop, strangers racing for the
server port, and hostile start arguments checked against what the child got.

soak_driver.exe does the SCM and HTTP work inside Wine; this script prepares
the prefix, runs it and checks the event-log side in Wine's trace.

    run_soak.py --build <build dir>              the bounded form (ctest runs it)
    run_soak.py --build <build dir> --full       200 cycles, longer storms and
                                                 races, and 1,000,000 random
                                                 command lines

Every wait has a limit. Prints one line per suite and ends with
"soak: N passed, N failed, N skipped"; exits 1 if a suite failed.
"""

import argparse
import os
import re
import shutil
import subprocess
import sys
import time
import urllib.parse

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import soak_rig  # noqa: E402
from soak_rig import CRASH_TEXT, SERVICE, SERVER_EXE, SETUP_FAILURE, WIN_DIR  # noqa: E402

SERVER_PATH = WIN_DIR + "\\" + SERVER_EXE
LAUNCHING = "Launching server executable " + SERVER_PATH
SUCCESS = "Server terminated successfully"
EXIT_8 = "Server terminated: exit code 8"
CHILD_ERROR = "Server terminated: error running the server"
LAUNCH_FAILURE = "Could not start server process"

BOUNDED = {"cycles": 20, "storms": 3, "races": 12, "crashes": 20, "hostile": 6, "vectors": 0}
FULL = {"cycles": 200, "storms": 10, "races": 41, "crashes": 20, "hostile": 20, "vectors": 1000000}
SEED = 7


# One failure type for both drivers, so the harness's own checks fail a suite directly.
Failed = soak_rig.e2e.CaseFailed
Skipped = soak_rig.e2e.CaseSkipped
check = soak_rig.e2e.check


def blanked(c):
    o = ord(c)
    return (o < 0x20 and not 0x09 <= o <= 0x0D) or 0x7F <= o <= 0x9F


def child_view(arguments):
    """What the child is meant to get of the start arguments: text that has an
    unpaired surrogate cannot become UTF-8 and turns empty, empty elements
    vanish, controls other than the white-space ones become blanks."""
    view = []
    for argument in arguments:
        try:
            argument.encode("utf-8")
        except UnicodeEncodeError:
            continue
        if argument:
            view.append("".join(" " if blanked(c) else c for c in argument))
    return view


class Soak:
    def __init__(self, rig, driver, sizes, fuzz, verbose=False, only=None):
        self.verbose = verbose
        self.only = only
        self.rig = rig
        self.driver = driver
        self.sizes = sizes
        self.fuzz = fuzz
        self.results = []
        self.figures = []

    # --- helpers -----------------------------------------------------------

    def drive(self, *args, timeout):
        code, out = self.rig.run(self.driver, *args, timeout=timeout)
        if self.verbose:
            print(out.rstrip(), flush=True)
        failures = [line[len("failure="):] for line in out.splitlines() if line.startswith("failure=")]
        check(not failures and "result=pass" in out,
              "driver: " + "; ".join(failures[:5]) if failures else f"driver ended with {code}: {out[-500:]!r}")
        return out

    def entries(self, mark, last_text, count, limit_s=10.0):
        """The entries since mark, once `count` entries with last_text are there."""
        deadline = time.monotonic() + limit_s
        while True:
            entries = self.rig.log.since(mark)
            if sum(1 for _, t in entries if t == last_text) >= count or time.monotonic() > deadline:
                return entries
            time.sleep(0.1)

    @staticmethod
    def outcomes(entries):
        return [(level, text) for level, text in entries if text.startswith("Server terminated")]

    @staticmethod
    def errors(entries):
        return [text for level, text in entries if level == "error"]

    def expect_runs(self, entries, runs, outcome, level):
        """runs announcements, starts and outcomes, each outcome after a start."""
        texts = [t for _, t in entries]
        check(texts.count(LAUNCHING) == runs, f"{texts.count(LAUNCHING)} announcements for {runs} starts")
        check(texts.count("Server started") == runs, f"{texts.count('Server started')} 'Server started' for {runs} starts")
        outcomes = self.outcomes(entries)
        check(outcomes == [(level, outcome)] * runs,
              f"outcomes: expected {runs} x {outcome!r}, got {outcomes[:6]!r}{'...' if len(outcomes) > 6 else ''}")
        # Per run: announcement, start, outcome, in that order.
        expected = [LAUNCHING, "Server started", outcome] * runs
        check([t for t in texts if t in (LAUNCHING, "Server started", outcome)] == expected,
              "entries out of order")

    def expect_port_clean(self, when):
        live = soak_rig.live_port_sockets()
        check(not live, f"{when}: sockets left on port {soak_rig.PORT}: {live}")

    # --- suites ------------------------------------------------------------

    def suite_cycles(self):
        count = self.sizes["cycles"]
        shutil.rmtree(self.rig.data_dir(), ignore_errors=True)
        mark = self.rig.log.mark()
        out = self.drive("cycles", SERVICE, count, SEED, timeout=60 + 15 * count)
        runs = count + 1  # and the final check of every file
        entries = self.entries(mark, SUCCESS, runs)
        check(not self.errors(entries), f"error entries: {self.errors(entries)[:5]}")
        self.expect_runs(entries, runs, SUCCESS, "info")
        cycles = soak_rig.parse_facts(out, "cycle")
        check(len(cycles) == count, f"{len(cycles)} cycles reported, not {count}")
        intact = soak_rig.parse_facts(out, "files_intact")
        check(intact and intact[0]["files_intact"] == str(count), "not every file came back intact")
        starts = [float(c["start_ms"]) for c in cycles]
        stops = [float(c["stop_ms"]) for c in cycles]
        self.expect_port_clean("after the cycles")
        return (f"{count} cycles, {count} files intact; start median {soak_rig.median(starts):.1f} ms max "
                f"{max(starts):.1f} ms; stop median {soak_rig.median(stops):.1f} ms max {max(stops):.1f} ms")

    def suite_storm(self):
        rounds = self.sizes["storms"]
        mark = self.rig.log.mark()
        out = self.drive("storm", SERVICE, rounds, 20, timeout=60 + 40 * rounds)
        entries = self.entries(mark, SUCCESS, rounds)
        check(not self.errors(entries), f"error entries: {self.errors(entries)[:5]}")
        # One stop for twenty controls: the child ends by itself once, in its grace period.
        self.expect_runs(entries, rounds, SUCCESS, "info")
        storms = soak_rig.parse_facts(out, "storm")
        check(len(storms) == rounds, f"{len(storms)} storms reported, not {rounds}")
        accepted = sum(int(s["accepted"]) for s in storms)
        self.expect_port_clean("after the storms")
        return f"{rounds} x 20 stop controls: {accepted} accepted, final state STOPPED and nothing pending after it"

    def suite_race(self):
        runs = self.sizes["races"]
        mark = self.rig.log.mark()
        out = self.drive("race", SERVICE, runs, 8, timeout=60 + 30 * runs)
        entries = self.entries(mark, EXIT_8, runs)
        # The child's own code is reported whether or not the control met it.
        self.expect_runs(entries, runs, EXIT_8, "error")
        check(self.errors(entries) == [EXIT_8] * runs, f"error entries: {self.errors(entries)[:5]}")
        met = soak_rig.parse_facts(out, "controls_accepted")[0]["controls_accepted"]
        return f"{runs} runs of a child ending at once with 8; the stop control found it running {met} times"

    def suite_crash_loop(self):
        count = self.sizes["crashes"]
        mark = self.rig.log.mark()
        self.drive("crashloop", SERVICE, count, timeout=60 + 20 * count)
        entries = self.entries(mark, CRASH_TEXT, count)
        self.expect_runs(entries, count, CRASH_TEXT, "error")
        check(self.errors(entries) == [CRASH_TEXT] * count, f"error entries: {self.errors(entries)[:5]}")
        self.expect_port_clean("after the crash loop")
        return f"{count} starts, {count} x {CRASH_TEXT!r}, nothing left running"

    def suite_hostile_clients(self):
        starts = self.sizes["hostile"]
        mark = self.rig.log.mark()
        out = self.drive("hostile", SERVICE, starts, 4, timeout=60 + 40 * starts)
        runs = soak_rig.parse_facts(out, "hostile")
        check(len(runs) == starts, f"{len(runs)} starts reported, not {starts}")
        running = sum(1 for r in runs if r["reached"] == "RUNNING")
        stopped = starts - running
        entries = self.entries(mark, SUCCESS, running)
        texts = [t for _, t in entries]
        check(texts.count(LAUNCHING) == starts, f"{texts.count(LAUNCHING)} announcements for {starts} starts")
        # A start either serves and ends by the host's close, or fails cleanly.
        check(self.outcomes(entries) == [("info", SUCCESS)] * running, f"outcomes: {self.outcomes(entries)[:6]}")
        check(self.errors(entries) == [SETUP_FAILURE] * stopped, f"error entries: {self.errors(entries)[:6]}")
        self.expect_port_clean("after the hostile starts")
        connections = sum(int(r["connections"]) for r in runs)
        return (f"{starts} starts with 4 racing strangers ({connections} stranger connections): "
                f"{running} served, {stopped} ended with {SETUP_FAILURE!r}")

    def start_with(self, name, arguments):
        """Starts the service with the arguments; returns the driver's output
        and the entries of that run."""
        path = os.path.join(self.rig.work, name + ".args")
        with open(path, "w") as listing:
            for argument in arguments:
                units = argument.encode("utf-16-le", "surrogatepass")
                listing.write("".join(f"{units[i + 1]:02X}{units[i]:02X}" for i in range(0, len(units), 2)) + "\n")
        mark = self.rig.log.mark()
        out = self.drive("args", SERVICE, soak_rig.windows_path(path), timeout=120)
        return out, mark

    def child_arguments(self, out):
        lines = [line[len("argument="):] for line in out.splitlines() if line.startswith("argument=")]
        return [urllib.parse.unquote(line, errors="strict") for line in lines]

    def expect_served(self, name, arguments):
        out, mark = self.start_with(name, arguments)
        check("reached=RUNNING" in out, f"{name}: the service did not run: {out[-400:]!r}")
        seen = self.child_arguments(out)
        check(len(seen) >= 8, f"{name}: /arguments has {len(seen)} lines")
        check(seen[0].lower() == SERVER_PATH.lower() and seen[1] == "server", f"{name}: child program {seen[:2]!r}")
        check(seen[-6::2] == ["--pre-established-listener", "--pre-established-connection",
                              "--max-file-write-cache-size"], f"{name}: server-mode options {seen[-6:]!r}")
        expected = child_view(arguments)
        check(seen[2:-6] == expected,
              f"{name}: the child got {[a[:80] for a in seen[2:-6]]!r}, expected {[a[:80] for a in expected]!r}")
        entries = self.entries(mark, SUCCESS, 1)
        check(self.outcomes(entries) == [("info", SUCCESS)], f"{name}: outcomes {self.outcomes(entries)}")
        return len(arguments), len(expected)

    def suite_arguments(self):
        notes = []
        # Backslash runs inside and at the end, blanks, non-ASCII, blanked
        # controls; the data folder takes them all. Text with unpaired
        # surrogates cannot become UTF-8: the host makes it an empty element,
        # which the child never sees, even one that would change the child's
        # behaviour if it arrived. (No empty start argument: Wine hands start
        # arguments over as one NUL-separated block, so an empty one ends the
        # list there.)
        tricky = ("--data-dir=C:\\soak args\\a b\\\\c\\\\\\d \u00e9\u4e2d\U0001F600\\"
                  "ctl\x01\x02\x1f\x7f\x85\x9fend\\x\\")
        given, kept = self.expect_served("escapes", [
            "\ud800", tricky, "--ignore-close\udc00", "x\ud83d", "\udfff\ud800"])
        notes.append(f"{given} arguments, {kept} arrived")

        # Very long text: a 3,000-character folder path, and 2,000 unpaired
        # surrogates, each of which leaves a blank in the command line.
        long_dir = "--data-dir=C:\\soak\\long" + "".join(f"\\{i:02d}" + "q" * 237 for i in range(12))
        given, kept = self.expect_served("long", ["\udc01"] * 1000 + [long_dir] + ["\ud802"] * 1000)
        notes.append(f"a {len(long_dir)}-character argument among 2,000 that vanish: {kept} arrived")

        # Quotes, escaped quotes and white-space controls cannot be in a
        # folder name, so the child refuses the folder and ends with 7. That
        # code is the evidence: had the quoting split the argument, the child
        # would have met an unknown option and ended with 1 instead.
        quoted = 'C:\\soak\\q"u\\"o\\\\"te\\tab\there x" y'
        out, mark = self.start_with("quotes", ["--data-dir=" + quoted])
        entries = self.entries(mark, CHILD_ERROR, 1)
        check(self.outcomes(entries) == [("error", CHILD_ERROR)],
              f"quotes: outcomes {self.outcomes(entries)} (1 would mean the argument was split)")
        notes.append("quotes, backslashes before quotes and a tab: one argument, refused as a folder (exit 7)")

        # Past the 32,767 characters a command line may have, the launch
        # fails (the host refuses what Wine would hand on cut short).
        out, mark = self.start_with("too-long", ["--data-dir=C:\\" + "x" * 33000])
        check("reached=STOPPED" in out, f"too long: the service ran: {out[-300:]!r}")
        entries = self.entries(mark, LAUNCH_FAILURE, 1)
        check([t for _, t in entries] == [LAUNCHING, LAUNCH_FAILURE], f"too long: entries {entries}")
        notes.append("a 33,000-character argument ends the start with the launch failure")
        return "; ".join(notes)

    def suite_random_command_lines(self):
        vectors = self.sizes["vectors"]
        if not vectors:
            raise Skipped("the bounded form leaves this to the command_line_fuzz_tests test (100,000 vectors)")
        code, out = self.rig.run(self.fuzz, f"--vectors={vectors}", f"--seed={SEED}", timeout=1800)
        summary = re.search(r"^compared=.*$", out, re.M)
        print(out.rstrip(), flush=True)
        check(code == 0 and summary, f"command_line_fuzz_tests ended with {code}")
        return f"seed {SEED}: {summary.group(0)}"

    def run(self):
        suites = [
            ("start/stop cycles with a file stored and read back", self.suite_cycles),
            ("stop storms", self.suite_storm),
            ("stop controls meeting a child that ends by itself", self.suite_race),
            ("crash loop", self.suite_crash_loop),
            ("strangers racing for the server port", self.suite_hostile_clients),
            ("hostile start arguments", self.suite_arguments),
            ("random command lines against CommandLineToArgvW", self.suite_random_command_lines),
        ]
        for name, suite in suites:
            if self.only and suite.__name__ != "suite_" + self.only:
                continue
            began = time.monotonic()
            try:
                detail = suite()
                outcome = "PASS"
            except Skipped as skipped:
                outcome, detail = "SKIP", str(skipped)
            except Failed as failed:
                outcome, detail = "FAIL", str(failed)
            except (subprocess.SubprocessError, OSError) as error:
                outcome, detail = "FAIL", f"{type(error).__name__}: {error}"
            self.results.append(outcome)
            print(f"[{outcome}] {name} ({time.monotonic() - began:.1f} s): {detail}", flush=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", required=True, help="the build folder")
    parser.add_argument("--work", help="scratch folder (default: <build>/tests/soak/run)")
    parser.add_argument("--full", action="store_true", help="the full form")
    parser.add_argument("--only", help="run one suite (cycles, storm, race, crash_loop, hostile_clients, "
                        "arguments, random_command_lines)")
    parser.add_argument("--verbose", action="store_true", help="print the driver's output")
    for key in BOUNDED:
        parser.add_argument("--" + key, type=int, help=f"override the count of {key}")
    options = parser.parse_args()

    build = os.path.abspath(options.build)
    bin_dir = os.path.join(build, "bin")
    tests_bin = os.path.join(build, "tests", "bin")
    driver = os.path.join(tests_bin, "soak_driver.exe")
    probe = os.path.join(tests_bin, "service_probe.exe")
    fuzz = os.path.join(tests_bin, "command_line_fuzz_tests.exe")
    work = os.path.abspath(options.work or os.path.join(build, "tests", "soak", "run"))
    sizes = dict(FULL if options.full else BOUNDED)
    for key in BOUNDED:
        if getattr(options, key) is not None:
            sizes[key] = getattr(options, key)
    for path in [driver, probe, fuzz] + [os.path.join(bin_dir, n) for n in soak_rig.SHIPPED]:
        if not os.path.isfile(path):
            print(f"soak: {path} is not built", file=sys.stderr)
            return 1

    began = time.monotonic()
    print(f"soak: {'full' if options.full else 'bounded'} form: " + ", ".join(f"{k}={v}" for k, v in sizes.items()),
          flush=True)
    results = []
    try:
        with soak_rig.Rig(work, bin_dir, probe) as rig:
            print(f"soak: prefix ready in {time.monotonic() - began:.1f} s", flush=True)
            soak = Soak(rig, driver, sizes, fuzz, options.verbose, options.only)
            soak.run()
            results = soak.results
    except (subprocess.SubprocessError, OSError, RuntimeError, Failed) as error:
        print(f"soak: setting up Wine failed: {error}", file=sys.stderr)
        results.append("FAIL")

    passed, failed, skipped = (results.count(k) for k in ("PASS", "FAIL", "SKIP"))
    print(f"soak took {time.monotonic() - began:.1f} s")
    print(f"soak: {passed} passed, {failed} failed, {skipped} skipped")
    return 1 if failed or not results else 0


if __name__ == "__main__":
    sys.exit(main())
