#!/usr/bin/env python3
"""The host as an operator meets it: installed, started, used, stopped and
removed through Wine's own services.exe, in a Wine prefix made fresh for this
run with one persistent wineserver.

The event-log entries are read from the +eventlog trace: services.exe keeps
the standard error of the wine command that started it, and the service
processes it starts inherit that stream and the WINEDEBUG setting.

Every wait has a limit. Prints one line per case and ends with
"e2e: N passed, N failed, N skipped"; exits 1 if a case failed.
"""

import argparse
import os
import re
import shutil
import socket
import subprocess
import sys
import tempfile
import time
import urllib.parse

SERVICE = "Quorvanta-APIClient"
HOST_EXE = "quorvanta-apiclient.exe"
SERVER_EXE = "quorvanta-embedded-server.exe"
MESSAGE_DLL = "quorvanta_errors.dll"
SHIPPED = (HOST_EXE, SERVER_EXE, MESSAGE_DLL)
WIN_DIR = "C:\\svc"
PORT = 54321
# The staged stop gives the child 5000 ms after the host closes its end.
GRACE_MS = 5000

EXIT_CODE_TEXTS = {
    1: "Server terminated: invalid argument",
    2: "Server terminated: unsupported hardware",
    4: "Server terminated: could not open response file",
    5: "Server terminated: could not parse response file",
    6: "Server terminated: could not open log file",
    7: "Server terminated: error running the server",
    8: "Server terminated: exit code 8",
}
# An access violation, 0xC0000005, read as a signed 32-bit number.
CRASH_TEXT = "Server terminated unexpectedly with code -1073741819"

STOPPED, START_PENDING, STOP_PENDING, RUNNING = 1, 2, 3, 4
SETUP_FAILURE = "Could not create primary socket connection"


class CaseFailed(Exception):
    pass


class CaseSkipped(Exception):
    pass


def check(condition, message):
    if not condition:
        raise CaseFailed(message)


def check_equal(actual, expected, what):
    if actual != expected:
        raise CaseFailed(f"{what}: expected {expected!r}, got {actual!r}")


class Wine:
    """Runs Windows programs in the private prefix; every call has a limit."""

    def __init__(self, work, probe):
        self.work = work
        self.prefix = os.path.join(work, "prefix")
        self.probe = probe
        self.env = dict(os.environ)
        self.env["WINEPREFIX"] = self.prefix
        self.env["WINEDEBUG"] = "-all"
        # No Mono or Gecko installers and no window system: neither is used,
        # and asking for them costs seconds per prefix.
        self.env["WINEDLLOVERRIDES"] = "mscoree=;mshtml="
        self.env.pop("DISPLAY", None)
        self.event_log = os.path.join(work, "eventlog.txt")
        self.server_running = False

    def run(self, args, timeout=30, debug=None):
        env = self.env if debug is None else dict(self.env, WINEDEBUG=debug)
        try:
            done = subprocess.run(["wine"] + args, env=env, stdin=subprocess.DEVNULL,
                                  stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=timeout)
        except subprocess.TimeoutExpired:
            raise CaseFailed(f"wine {' '.join(args)} did not end within {timeout} s")
        out = done.stdout.decode("utf-8", "replace").replace("\r\n", "\n")
        err = done.stderr.decode("utf-8", "replace").replace("\r\n", "\n")
        return done.returncode, out, err

    def probe_run(self, *args, timeout=40):
        code, out, err = self.run([self.probe] + [str(a) for a in args], timeout=timeout)
        # The probe always prints; silence means it never ran or died early.
        check(out.strip() != "", f"service_probe {' '.join(map(str, args))} printed nothing "
                                 f"(exit code {code:#x}): {err.strip()[-500:]}")
        return code, out

    def wineserver(self, *args, timeout=60):
        subprocess.run(["wineserver"] + list(args), env=self.env, stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=timeout, check=False)

    def create_prefix(self):
        shutil.rmtree(self.prefix, ignore_errors=True)
        os.makedirs(self.prefix)
        self.wineserver("-p")
        self.server_running = True
        with open(os.path.join(self.work, "wineboot.txt"), "wb") as boot_log:
            subprocess.run(["wine", "wineboot", "-i"], env=self.env, stdin=subprocess.DEVNULL,
                           stdout=boot_log, stderr=boot_log, timeout=180, check=True)
        # Creating a prefix can leave two services.exe in one wineserver, and
        # the SCM calls then reach either at random. A restart leaves one,
        # which gets the trace stream.
        self.wineserver("-k")
        self.wineserver("-w", timeout=60)
        self.wineserver("-p")
        with open(self.event_log, "wb") as trace:
            env = dict(self.env, WINEDEBUG="-all,+eventlog")
            subprocess.run(["wine", "wineboot"], env=env, stdin=subprocess.DEVNULL,
                           stdout=subprocess.DEVNULL, stderr=trace, timeout=120, check=True)

    def windows_dir(self):
        return os.path.join(self.prefix, "drive_c", "svc")

    def shut_down(self):
        if self.server_running:
            self.wineserver("-k")
            try:
                self.wineserver("-w", timeout=30)
            except subprocess.TimeoutExpired:
                pass
            self.server_running = False


ENTRY = re.compile(r'^[0-9a-f]+:(trace|err):eventlog:ReportEventW L"(.*)"\s*$')


def decode_wine_text(text):
    """Undoes Wine's debugstr_w escaping."""
    out = []
    i = 0
    while i < len(text):
        c = text[i]
        if c == "\\" and i + 1 < len(text):
            n = text[i + 1]
            if n in "\\\"'":
                out.append(n)
                i += 2
                continue
            if n in "nrt":
                out.append({"n": "\n", "r": "\r", "t": "\t"}[n])
                i += 2
                continue
            hex_digits = text[i + 1:i + 5]
            if re.fullmatch(r"[0-9a-fA-F]{4}", hex_digits):
                out.append(chr(int(hex_digits, 16)))
                i += 5
                continue
        out.append(c)
        i += 1
    return "".join(out)


def parse_entries(raw):
    entries = []
    for line in raw.splitlines():
        match = ENTRY.match(line)
        if match:
            level = "info" if match.group(1) == "trace" else "error"
            entries.append((level, decode_wine_text(match.group(2))))
    return entries


class EventLog:
    def __init__(self, path):
        self.path = path

    def mark(self):
        return os.path.getsize(self.path)

    def since(self, mark):
        with open(self.path, "rb") as trace:
            trace.seek(mark)
            return parse_entries(trace.read().decode("utf-8", "replace"))

    def wait_for(self, mark, wanted, limit_s=10.0):
        """Entries since mark once the wanted text is among them, or at the limit."""
        return self.wait_until(mark, lambda texts: wanted in texts, limit_s)

    def wait_until(self, mark, done, limit_s):
        deadline = time.monotonic() + limit_s
        while True:
            entries = self.since(mark)
            if done([text for _, text in entries]) or time.monotonic() > deadline:
                return entries
            time.sleep(0.05)


def parse_watch(out):
    seen = [int(m.group(1)) for m in re.finditer(r"^seen=(\d+)", out, re.M)]
    reached = re.search(r"^reached=(\d+) at=(\d+)", out, re.M)
    return seen, (int(reached.group(1)), int(reached.group(2))) if reached else (None, None)


# /proc/net/tcp state codes.
TCP_STATES = {"01": "ESTABLISHED", "02": "SYN_SENT", "03": "SYN_RECV", "04": "FIN_WAIT1", "05": "FIN_WAIT2",
              "06": "TIME_WAIT", "07": "CLOSE", "08": "CLOSE_WAIT", "09": "LAST_ACK", "0A": "LISTEN", "0B": "CLOSING"}


def port_sockets():
    """(state, local port, remote port) of every IPv4 TCP socket on port 54321 in this network namespace."""
    found = []
    try:
        with open("/proc/net/tcp") as table:
            next(table)
            for row in table:
                fields = row.split()
                local = int(fields[1].split(":")[1], 16)
                remote = int(fields[2].split(":")[1], 16)
                if PORT in (local, remote):
                    found.append((TCP_STATES.get(fields[3], fields[3]), local, remote))
    except OSError:
        pass
    return found


def port_54321_listening():
    return any(state == "LISTEN" and local == PORT for state, local, _ in port_sockets())


def port_54321_local_states():
    """The sockets whose own port is 54321: what can stand in the way of a bind."""
    return [f"{state} with port {remote}" for state, local, remote in port_sockets() if local == PORT]


def port_54321_time_wait():
    """Connections on port 54321 in TIME_WAIT, by which end holds it."""
    waiting = [(local, remote) for state, local, remote in port_sockets() if state == "TIME_WAIT"]
    return sum(local == PORT for local, _ in waiting), sum(remote == PORT for _, remote in waiting)


class Suite:
    def __init__(self, wine, curl_dir):
        self.wine = wine
        self.log = EventLog(wine.event_log)
        self.curl_dir = curl_dir
        self.notes = []
        self.results = []
        self.port_waits = []

    # --- helpers -----------------------------------------------------------

    def host(self, *args, debug=None):
        return self.wine.run([WIN_DIR + "\\" + HOST_EXE] + list(args), debug=debug)

    def start(self, *args, limit_ms=15000, port_held=False, retry_setup=True):
        """Starts the service and watches it to RUNNING or STOPPED. Returns the
        states seen, the state reached, when, and the event-log mark taken just
        before the start."""
        if not port_held:
            self.wait_port_free()
        mark = self.log.mark()
        code, out = self.wine.probe_run("run", SERVICE, limit_ms, *args)
        check("error=" not in out, f"start failed: {out.strip()}")
        seen, (reached, at) = parse_watch(out)
        check(reached is not None, f"no RUNNING or STOPPED within {limit_ms} ms: {out.strip()}")
        if reached == STOPPED and retry_setup and not port_held:
            # The cause is logged just after STOPPED.
            entries = self.log.wait_until(
                mark, lambda texts: any(not t.startswith("Launching server executable") for t in texts), 3)
            if SETUP_FAILURE in [text for _, text in entries]:
                # The loopback pair has about 300 ms to come up; on a loaded
                # machine Wine can miss that. Say so, and try once more.
                local, remote = port_54321_time_wait()
                self.notes.append(f"start {' '.join(args) or '(no arguments)'}: '{SETUP_FAILURE}' "
                                  f"(TIME_WAIT on {PORT}: {local} server side, {remote} client side, "
                                  f"listening: {port_54321_listening()}); started again")
                time.sleep(1)
                return self.start(*args, limit_ms=limit_ms, retry_setup=False)
        return seen, reached, at, mark

    def wait_port_free(self, limit_s=3.0):
        """Under Wine the listener of a run can outlive its STOPPED report by a
        few hundred milliseconds (the wineserver lets go of the socket late);
        a start in that window cannot bind. Waits for it, and keeps count."""
        began = time.monotonic()
        waited = False
        while port_54321_listening():
            check(time.monotonic() - began < limit_s, f"port {PORT} still listening {limit_s} s after the last run")
            waited = True
            time.sleep(0.01)
        self.port_waits.append(time.monotonic() - began if waited else 0)

    def run_until_stopped(self, *args, port_held=False):
        """Starts the service for a run that ends by itself; the states seen
        and the event-log mark."""
        seen, reached, _, mark = self.start(*args, port_held=port_held)
        if reached != STOPPED:
            seen += self.watch_stopped()
        return seen, mark

    def stop(self, limit_ms=20000):
        code, out = self.wine.probe_run("stop", SERVICE, limit_ms)
        check("error=" not in out, f"stop failed: {out.strip()}")
        seen, (reached, at) = parse_watch(out)
        check(reached == STOPPED, f"not STOPPED within {limit_ms} ms: {out.strip()}")
        return seen, at

    def watch_stopped(self, limit_ms=15000):
        code, out = self.wine.probe_run("watch", SERVICE, limit_ms)
        seen, (reached, at) = parse_watch(out)
        check(reached == STOPPED, f"not STOPPED within {limit_ms} ms: {out.strip()}")
        return seen

    def state(self):
        code, out = self.wine.probe_run("state", SERVICE)
        return out.strip()

    def server_processes(self):
        code, out = self.wine.probe_run("count", SERVER_EXE)
        match = re.search(r"^count=(\d+)", out, re.M)
        check(match is not None, f"cannot count processes: {out.strip()}")
        return int(match.group(1))

    def curl(self, *args):
        try:
            done = subprocess.run(["curl", "-sS", "--max-time", "10", "-o", "-", "-w", "\n%{http_code}"] + list(args),
                                  stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                  timeout=20)
        except subprocess.TimeoutExpired:
            raise CaseFailed(f"curl {' '.join(args)} did not end")
        check(done.returncode == 0, f"curl {' '.join(args)}: {done.stderr.decode(errors='replace').strip()}")
        body, _, status = done.stdout.rpartition(b"\n")
        return int(status), body

    def url(self, path):
        return f"http://127.0.0.1:{PORT}{path}"

    def expect_entries_in_order(self, entries, wanted):
        texts = [text for _, text in entries]
        position = 0
        for level, text in wanted:
            check(text in texts[position:], f"entry {text!r} missing or out of order in {texts!r}")
            index = texts.index(text, position)
            check_equal(entries[index][0], level, f"level of {text!r}")
            position = index + 1

    def note_time_wait(self, when):
        local, remote = port_54321_time_wait()
        if local or remote:
            self.notes.append(f"{when}: TIME_WAIT on port {PORT}: {local} on the server side, {remote} on the client side")

    def no_server_left(self):
        # The host reaps its child before it reports STOPPED; allow a moment
        # for Wine to drop the process from its table.
        deadline = time.monotonic() + 3
        while self.server_processes() != 0:
            check(time.monotonic() < deadline, f"a {SERVER_EXE} is still running after STOPPED")
            time.sleep(0.1)

    # --- cases -------------------------------------------------------------

    def case_install(self):
        code, out, _ = self.host("install")
        check_equal(out, "Service installed successfully\n", "install output")
        check_equal(code, 0, "install exit code")

        code, out = self.wine.probe_run("registry")
        facts = dict(line.split("=", 1) for line in out.splitlines() if "=" in line)
        check_equal(facts.get("messagefile"), WIN_DIR + "\\" + MESSAGE_DLL, "EventMessageFile")
        check_equal(facts.get("messagefile.type"), "1", "EventMessageFile type (REG_SZ)")
        check_equal(facts.get("messagefile.terminated"), "yes", "EventMessageFile stored with its NUL")
        check_equal(facts.get("messagefile.size"), str((len(facts["messagefile"]) + 1) * 2), "EventMessageFile size")
        check_equal(facts.get("types.type"), "4", "TypesSupported type (REG_DWORD)")
        check_equal(facts.get("types"), "7", "TypesSupported")

        code, out = self.wine.probe_run("config", SERVICE)
        facts = dict(line.split("=", 1) for line in out.splitlines() if "=" in line)
        check_equal(facts.get("type"), "16", "service type (own process)")
        check_equal(facts.get("start"), "3", "start type (demand)")
        check_equal(facts.get("errorcontrol"), "1", "error control (normal)")
        check_equal(facts.get("binary"), f'"{WIN_DIR}\\{HOST_EXE}" "server"', "command line")
        check_equal(facts.get("account"), "LocalSystem", "account")
        check_equal(facts.get("display"), SERVICE, "display name")
        check_equal(facts.get("description"), "Provides a persistent Quorvanta server to send and receive files.",
                    "description")

        code, out, _ = self.host("install")
        check_equal(out, "CreateService failed (1073)\n", "second install output")

    def case_serve_and_stop(self):
        seen, reached, _, mark = self.start()
        check_equal(reached, RUNNING, "state after start")

        status, body = self.curl("-X", "PUT", "--data-binary", "@" + os.path.join(self.curl_dir, "note.txt"),
                                 self.url("/files/note.txt"))
        check(200 <= status < 300, f"PUT /files/note.txt answered {status}")
        status, body = self.curl(self.url("/files/note.txt"))
        check_equal(status, 200, "GET /files/note.txt status")
        with open(os.path.join(self.curl_dir, "note.txt"), "rb") as original:
            check_equal(body, original.read(), "file read back")
        status, body = self.curl(self.url("/files/"))
        check(status == 200 and b"note.txt" in body, f"GET /files/ does not list note.txt: {status} {body[:200]!r}")

        # What the child was started with, as it saw it.
        status, body = self.curl(self.url("/arguments"))
        check_equal(status, 200, "GET /arguments status")
        arguments = [urllib.parse.unquote(line) for line in body.decode().splitlines()]
        check(len(arguments) == 8, f"child arguments: {arguments!r}")
        check_equal(arguments[0].lower(), (WIN_DIR + "\\" + SERVER_EXE).lower(), "child executable")
        check_equal(arguments[1], "server", "child mode")
        check_equal([arguments[2], arguments[4], arguments[6]],
                    ["--pre-established-listener", "--pre-established-connection", "--max-file-write-cache-size"],
                    "child options")
        check(arguments[3].isdigit() and arguments[5].isdigit(), f"socket handle values: {arguments!r}")
        check_equal(arguments[7], "1073741824", "cache size")

        seen, at = self.stop()
        self.notes.append(f"stop of a serving child: STOPPED after {at} ms")
        check(at <= GRACE_MS, f"stop took {at} ms, more than the {GRACE_MS} ms grace period")
        entries = self.log.wait_for(mark, "Server terminated successfully")
        self.expect_entries_in_order(entries, [
            ("info", f"Launching server executable {WIN_DIR}\\{SERVER_EXE}"),
            ("info", "Server started"),
            ("info", "Server terminated successfully"),
        ])
        self.no_server_left()
        self.note_time_wait("after the first stop")

        # The stored file outlives the server.
        seen, reached, _, _ = self.start()
        check_equal(reached, RUNNING, "state after the second start")
        status, body = self.curl(self.url("/files/note.txt"))
        check_equal(status, 200, "GET after restart status")
        with open(os.path.join(self.curl_dir, "note.txt"), "rb") as original:
            check_equal(body, original.read(), "file after restart")
        seen, at = self.stop()
        check(at <= GRACE_MS, f"second stop took {at} ms")
        self.no_server_left()
        self.note_time_wait("after the second stop")

    def exit_case(self, argument, text):
        seen, mark = self.run_until_stopped(argument)
        check(STOP_PENDING not in seen, f"STOP_PENDING seen although the child ended by itself: {seen}")
        entries = self.log.wait_for(mark, text)
        self.expect_entries_in_order(entries, [
            ("info", f"Launching server executable {WIN_DIR}\\{SERVER_EXE}"),
            ("info", "Server started"),
            ("error", text),
        ])
        # One outcome per run.
        outcomes = [t for _, t in entries if t.startswith("Server terminated")]
        check_equal(outcomes, [text], "outcome entries")
        self.no_server_left()

    def case_child_ignores_close(self):
        seen, reached, _, mark = self.start("--ignore-close")
        check_equal(reached, RUNNING, "state after start")
        seen, at = self.stop(limit_ms=20000)
        self.notes.append(f"stop of a child that ignores the close: STOPPED after {at} ms")
        # Terminated after the first grace period; not after the second.
        check(GRACE_MS - 500 <= at <= 2 * GRACE_MS, f"stop took {at} ms")
        text = "Server terminated unexpectedly with code 255"
        entries = self.log.wait_for(mark, text)
        self.expect_entries_in_order(entries, [("info", "Server started"), ("error", text)])
        self.no_server_left()
        self.note_time_wait("after the terminated child")

    def case_missing_server(self):
        missing = WIN_DIR + "\\missing-server.exe"
        seen, mark = self.run_until_stopped("--executable=" + missing)
        check(RUNNING not in seen, f"RUNNING reported for a server that does not exist: {seen}")
        entries = self.log.wait_for(mark, "Could not start server process")
        self.expect_entries_in_order(entries, [
            ("info", f"Launching server executable {missing}"),
            ("error", "Could not start server process"),
        ])
        check("Server started" not in [t for _, t in entries], "'Server started' written for a failed launch")
        check_equal(self.state(), f"state={STOPPED}", "final state")

    def case_port_taken(self):
        self.wait_port_free()
        holder = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        lingering = [state for state in port_54321_local_states() if state.startswith("TIME_WAIT")]
        if lingering:
            self.notes.append(f"before the port case: {lingering} on port {PORT}")
        # A listener still makes the host's bind fail; the option only lets
        # the holder bind past a TIME_WAIT that an earlier run left behind.
        holder.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        try:
            try:
                holder.bind(("127.0.0.1", PORT))
            except OSError as error:
                raise CaseSkipped(f"cannot hold port {PORT} for the case: {error}; "
                                  f"sockets on it: {port_54321_local_states()}")
            holder.listen(1)
            seen, mark = self.run_until_stopped(port_held=True)
            check(RUNNING not in seen, f"RUNNING reported without a listener: {seen}")
            entries = self.log.wait_for(mark, SETUP_FAILURE)
            self.expect_entries_in_order(entries, [
                ("info", f"Launching server executable {WIN_DIR}\\{SERVER_EXE}"),
                ("error", SETUP_FAILURE),
            ])
            check_equal(self.state(), f"state={STOPPED}", "final state")
            self.no_server_left()
        finally:
            holder.close()

    def case_uninstall(self):
        code, out, _ = self.host("uninstall")
        check_equal(out, "Service deleted successfully\n", "uninstall output")
        check_equal(code, 0, "uninstall exit code")
        code, out, _ = self.host("uninstall")
        check_equal(out, "OpenService failed (1060)\n", "second uninstall output")
        check_equal(code, 1, "second uninstall exit code")
        check_equal(self.state(), "error=OpenService 1060", "service after uninstall")
        code, out = self.wine.probe_run("registry")
        check(f"messagefile={WIN_DIR}\\{MESSAGE_DLL}" in out and "types=7" in out,
              f"event-source key gone after uninstall: {out.strip()}")

    def case_console_start(self):
        code, out, err = self.host(debug="-all,+eventlog")
        check_equal(code, 1, "exit code without arguments")
        check("Quorvanta-APIClient " in err and " install " in err, f"no usage text: {err!r}")
        check_equal(parse_entries(err), [("error", "StartServiceCtrlDispatcher failed with 1063")], "entries")

        code, out, err = self.host("Install", debug="-all,+eventlog")
        check_equal(code, 1, "exit code of 'Install'")
        check("Service installed" not in out, f"'Install' installed: {out!r}")
        check_equal(parse_entries(err), [("error", "StartServiceCtrlDispatcher failed with 1063")], "entries")
        check_equal(self.state(), "error=OpenService 1060", "service after 'Install'")

    # --- running -----------------------------------------------------------

    def cases(self):
        # First, while services.exe has never started a service process: Wine
        # hands a pending service start to any process that calls the
        # dispatcher, so a console start after the others can be taken for one.
        yield "console start without the SCM", self.case_console_start
        yield "install registers the event source and the service", self.case_install
        yield "start, store and fetch a file, stop, restart", self.case_serve_and_stop
        for code, text in EXIT_CODE_TEXTS.items():
            yield f"child exits with {code}", (lambda c=code, t=text: self.exit_case(f"--exit-at-once={c}", t))
        yield "child crashes", (lambda: self.exit_case("--crash", CRASH_TEXT))
        yield "child ignores the close and is terminated", self.case_child_ignores_close
        yield "server executable missing", self.case_missing_server
        yield f"port {PORT} held by another process", self.case_port_taken
        yield "uninstall deletes the service and keeps the event source", self.case_uninstall

    def run(self):
        self.run_cases()
        waited = [w for w in self.port_waits if w > 0]
        if waited:
            self.notes.append(f"port {PORT} still listening before {len(waited)} of {len(self.port_waits)} starts, "
                              f"free again after at most {max(waited) * 1000:.0f} ms")

    def run_cases(self):
        for name, case in self.cases():
            began = time.monotonic()
            try:
                case()
                outcome, detail = "PASS", ""
            except CaseSkipped as skipped:
                outcome, detail = "SKIP", str(skipped)
            except CaseFailed as failed:
                outcome, detail = "FAIL", str(failed)
            except subprocess.SubprocessError as error:
                outcome, detail = "FAIL", f"{type(error).__name__}: {error}"
            took = time.monotonic() - began
            self.results.append(outcome)
            print(f"[{outcome}] {name} ({took:.1f} s){': ' + detail if detail else ''}", flush=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--bin", required=True, help="folder with the host, the server and the message file")
    parser.add_argument("--probe", required=True, help="service_probe.exe")
    parser.add_argument("--work", required=True, help="scratch folder under the build tree")
    options = parser.parse_args()

    began = time.monotonic()
    for name in SHIPPED:
        if not os.path.isfile(os.path.join(options.bin, name)):
            print(f"e2e: {name} is not built in {options.bin}", file=sys.stderr)
            return 1
    os.makedirs(options.work, exist_ok=True)
    wine = Wine(os.path.abspath(options.work), options.probe)
    curl_dir = tempfile.mkdtemp(dir=options.work)
    with open(os.path.join(curl_dir, "note.txt"), "wb") as note:
        note.write(b"A file sent through the service host.\n" + bytes(range(256)) * 64)

    results = []
    notes = []
    try:
        wine.create_prefix()
        os.makedirs(wine.windows_dir(), exist_ok=True)
        for name in SHIPPED:
            shutil.copy2(os.path.join(options.bin, name), wine.windows_dir())
        print(f"e2e: prefix ready in {time.monotonic() - began:.1f} s", flush=True)
        suite = Suite(wine, curl_dir)
        suite.run()
        results, notes = suite.results, suite.notes
    except (subprocess.SubprocessError, OSError) as error:
        print(f"e2e: setting up Wine failed: {error}", file=sys.stderr)
        results.append("FAIL")
    finally:
        wine.shut_down()
        shutil.rmtree(curl_dir, ignore_errors=True)

    for note in notes:
        print(f"e2e note: {note}")
    passed, failed, skipped = (results.count(k) for k in ("PASS", "FAIL", "SKIP"))
    print(f"e2e took {time.monotonic() - began:.1f} s")
    print(f"e2e: {passed} passed, {failed} failed, {skipped} skipped")
    return 1 if failed or not results else 0


if __name__ == "__main__":
    sys.exit(main())
