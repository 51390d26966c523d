"""The host under Wine's own services.exe as operators and a hostile world
meet it, in file order: the console start before any service start (Wine
hands a pending start to any process that calls the dispatcher), uninstall
last. The soak is the same cases repeated (--full, --count); the bench runs
from scripts/bench."""
import os, random, re, socket, statistics, subprocess, threading, time, urllib.parse  # noqa: E401
from concurrent.futures import ThreadPoolExecutor
import pytest
from conftest import PORT, SERVICE, SHIPPED, WIN_DIR, entries

SERVER = WIN_DIR + "\\quorvanta-embedded-server.exe"
LAUNCH, STARTED = ("info", "Launching server executable " + SERVER), ("info", "Server started")
SUCCESS, EXIT_7 = ("info", "Server terminated successfully"), ("error", "Server terminated: error running the server")
SETUP_FAILURE = ("error", "Could not create primary socket connection")
LAUNCH_FAILURE = ("error", "Could not start server process")
EVENT_SOURCE = (f"EventMessageFile    REG_SZ    {WIN_DIR}\\quorvanta_errors.dll\n", "TypesSupported    REG_DWORD    0x7\n")
STOPPED, STOP_PENDING, RUNNING, CAUSE = "1", "3", "4", "the causing error"
TEXTS = {1: "invalid argument", 2: "unsupported hardware", 4: "could not open response file",
         5: "could not parse response file", 6: "could not open log file", 7: "error running the server", 8: "exit code 8"}

def curl(path, *args):
    done = subprocess.run(["curl", "-sS", "--max-time", "10", "-o", "-", "-w", "\n%{http_code}", *args,
                           f"http://127.0.0.1:{PORT}{path}"], capture_output=True, timeout=20)
    assert done.returncode == 0, done.stderr
    body, _, status = done.stdout.rpartition(b"\n")
    return int(status), body

def serve(wine, *steps, arg=None):
    """Starts the host, then runs the steps; once more (and says so) if the
    start met the loopback pair's time limit, which Wine can miss under load."""
    for attempt in (1, 2):
        mark = wine.mark()
        facts = wine.drive("free", "start" if arg is None else "start:" + arg, *steps)
        if facts["started"] != [STOPPED] or attempt == 2 or SETUP_FAILURE not in wine.log(mark, 2):
            return facts, mark
        print(f"note: {SETUP_FAILURE[1]!r} on a start meant to serve; started again")

def status_is(facts, win32):
    """The final status's exit code; CAUSE: a failure of the host's own, the error that caused it."""
    return facts["win32"] == [win32] or (win32 == CAUSE and facts["win32"][0] not in ("0", "1066"))

def test_console_start_prints_usage_and_fails(wine):
    with ThreadPoolExecutor() as pool:  # each takes seconds to fail under Wine
        runs = list(pool.map(lambda args: wine.host(*args, debug="-all,+eventlog"), [(), ("Install",)]))
    for code, out, err in runs:
        assert entries(err) == [("error", "StartServiceCtrlDispatcher failed with 1063")] and "installed" not in out
        usage = "\n".join(line for line in err.splitlines() if not re.match(r"[0-9a-f]+:\w+:", line))
        assert re.search(r"quorvanta-apiclient.*\d+\.\d+\.\d+", usage, re.I), usage
        assert all(word in usage for word in ("install", "uninstall", "Service Control Manager", "--executable="))
        assert code == 1
    assert wine.drive()["open"] == ["1060"]

def test_install_registers_service_and_event_source(wine):
    assert wine.host("install")[:2] == (0, "Service installed successfully\n")
    assert {key: values[0] for key, values in wine.drive("config").items()} == {
        "open": "0", "type": "16", "starttype": "3", "errorcontrol": "1", "account": "LocalSystem",
        "binary": f'"{WIN_DIR}\\quorvanta-apiclient.exe" "server"', "display": SERVICE,
        "description": "Provides a persistent Quorvanta server to send and receive files."}
    assert all(value in wine.event_source() for value in EVENT_SOURCE)
    assert wine.host("install")[:2] == (1, "CreateService failed (1073)\n")

def payload(index):  # sizes across the server's and the sockets' buffers; every 50th over 2 MiB
    sizes = (1, 777, 4096, 65537, 262147, 13, 100000)
    return random.Random(index).randbytes((2 << 20) + 3 if index % 50 == 49 else sizes[index % len(sizes)])

def test_serve_stop_and_serve_again(wine, reps, tmp_path):
    cycles = reps(3, 200)
    for cycle in range(cycles + 1):  # and one more run that checks every file
        facts, mark = serve(wine)
        assert facts["started"] == [RUNNING]
        if cycle == 0:  # what the child was started with, as it saw it
            args = [urllib.parse.unquote(line) for line in curl("/arguments")[1].decode().splitlines()]
            assert len(args) == 8 and args[0].lower() == SERVER.lower() and args[3].isdigit() and args[5].isdigit()
            assert args[1::2] == ["server", args[3], args[5], "1073741824"] and args[2:7:2] == [
                "--pre-established-listener", "--pre-established-connection", "--max-file-write-cache-size"]
        if cycle < cycles:
            (tmp_path / "upload").write_bytes(payload(cycle))
            assert curl(f"/files/soak-{cycle}", "-T", str(tmp_path / "upload"))[0] == 201
        else:
            assert curl("/files/")[1].decode().split() == sorted(f"soak-{i}" for i in range(cycles))
        kept = range(max(0, cycle - 1), cycle + 1) if cycle < cycles else range(cycles)
        assert all(curl(f"/files/soak-{i}") == (200, payload(i)) for i in kept), "a stored file changed"
        facts = wine.drive("stop:1", "gone", "status")
        assert set(facts["stopped_seen"][0].split(",")) <= {RUNNING, STOP_PENDING, STOPPED}
        # Within the grace period: the child saw the host's close and was not terminated.
        assert float(facts["stopped_ms"][0]) < 5000 and facts["left"] == ["0"]
        assert wine.log(mark, 3) == [LAUNCH, STARTED, SUCCESS] and status_is(facts, "0")

@pytest.mark.parametrize("arg, steps, outcome, code", [
    *[(f"--exit-at-once={code}", [], "Server terminated: " + text, code) for code, text in TEXTS.items()],
    ("--exit-at-once=0", [], SUCCESS[1], 0),
    ("--crash", [], "Server terminated unexpectedly with code -1073741819", 0xC0000005),
    ("", ["kill:3"], "Server terminated unexpectedly with code 3", 3)], ids=[*map(str, TEXTS), "0", "crash", "kill"])
def test_child_ending_by_itself(wine, reps, arg, steps, outcome, code):
    runs = reps(20, 20) if arg == "--crash" else 1  # the crash loop
    mark = wine.mark()
    facts = wine.drive(*["free", "start:" + arg, *steps, "watch", "quiet:300", "status", "gone"] * runs)
    assert wine.log(mark, 3 * runs) == [LAUNCH, STARTED, ("error" if code else "info", outcome)] * runs
    assert STOP_PENDING not in ",".join(facts["started_seen"] + facts["stopped_seen"]).split(",")
    assert facts["late"] == ["none"] * runs and facts["left"] == ["0"] * runs
    assert facts["win32"] == [str(1066 if code else 0)] * runs and (not code or facts["specific"] == [str(code)] * runs)

def test_child_ignoring_the_close_is_terminated(wine):
    facts, mark = serve(wine, "stop:1", "gone", "status", arg="--ignore-close")
    assert facts["started"] == [RUNNING] and facts["left"] == ["0"]
    assert 4500 <= float(facts["stopped_ms"][0]) <= 10000  # after the first grace period, not the second
    assert wine.log(mark, 3) == [LAUNCH, STARTED, ("error", "Server terminated unexpectedly with code 255")]
    assert status_is(facts, "0")  # the stop was asked for

@pytest.mark.parametrize("road", ["missing server", "port taken"])
def test_failure_road(wine, road):
    missing = WIN_DIR + "\\missing-server.exe"
    with socket.socket() as holder:
        if road == "port taken":  # SO_REUSEADDR only gets past a TIME_WAIT; the listener blocks the host
            holder.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
            holder.bind(("127.0.0.1", PORT))
            holder.listen(1)
        mark = wine.mark()
        facts = wine.drive(*(["free", "start:--executable=" + missing] if road == "missing server" else ["start"]),
                           "watch", "status", "gone")
    assert RUNNING not in ",".join(facts["started_seen"] + facts["stopped_seen"]).split(",") and facts["left"] == ["0"]
    assert wine.log(mark, 2) == ([("info", "Launching server executable " + missing), LAUNCH_FAILURE]
                                 if road == "missing server" else [LAUNCH, SETUP_FAILURE])
    assert facts["state"] == [STOPPED] and status_is(facts, CAUSE), facts["win32"]

def test_stop_storm(wine, reps):
    for _ in range(reps(2, 10)):
        facts, mark = serve(wine, "stop:20", "quiet:1500", "status", "gone")
        results = facts["controls"][0].split(",")
        assert facts["started"] == [RUNNING] and "0" in results and set(results) <= {"0", "1061", "1062"}
        assert facts["late"] == ["none"] and facts["left"] == ["0"]
        assert wine.log(mark, 3) == [LAUNCH, STARTED, SUCCESS] and status_is(facts, "0")  # one stop for twenty

def test_stop_meets_child_exit(wine, reps):
    runs, mark = reps(8, 41), wine.mark()
    # The control lands 0 to 40 ms into the life of a child that exits with 8 at once.
    facts = wine.drive(*[step for run in range(runs) for step in (
        "free", "start:--exit-at-once=8", f"spin:{run * 7 % 41}", "stop:1", "quiet:1000", "status", "gone")])
    assert wine.log(mark, 3 * runs) == [LAUNCH, STARTED, ("error", "Server terminated: exit code 8")] * runs
    assert facts["late"] == ["none"] * runs and facts["left"] == ["0"] * runs
    assert set(facts["controls"]) <= {"0", "1061", "1062"}
    print(f"the stop control found the service running {facts['controls'].count('0')} of {runs} times")
    for control, win32, specific in zip(facts["controls"], facts["win32"], facts["specific"]):
        assert (win32, specific) == ("1066", "8") or (control == "0" and win32 == "0")

def test_strangers_racing_for_the_port(wine, reps):
    def race(held):  # connect, write bytes, hold up to 16 open
        while not done.is_set():
            try:
                stranger = socket.create_connection(("127.0.0.1", PORT))
                stranger.send(b"\x01\x02\x03\x04x\r\n")
                (held if len(held) < 16 else []).append(stranger)  # a dropped one closes
            except OSError:
                pass
        held.clear()
    for _ in range(reps(6, 20)):
        wine.drive("free")
        done, racers = threading.Event(), [threading.Thread(target=race, args=([],)) for _ in range(4)]
        for racer in racers:
            racer.start()
        mark, started = wine.mark(), wine.drive("start")["started"]
        time.sleep(0.05)  # so that strangers also queue behind the host's own connection
        done.set()
        for racer in racers:
            racer.join(10)
        if started == [RUNNING]:  # a child that took a stranger for the host would take its close for the host's
            time.sleep(0.7)
            assert wine.drive("status")["state"] == [RUNNING] and curl("/files/")[0] == 200
            facts = wine.drive("stop:1", "gone", "status")
            assert float(facts["stopped_ms"][0]) < 4000 and status_is(facts, "0")
            assert wine.log(mark, 3) == [LAUNCH, STARTED, SUCCESS]
        else:
            facts = wine.drive("quiet:300", "gone", "status")
            assert wine.log(mark, 2) == [LAUNCH, SETUP_FAILURE] and status_is(facts, CAUSE)
        assert facts["left"] == ["0"]

def child_view(arguments):
    """What the child is meant to get: text with an unpaired surrogate cannot become UTF-8 and
    vanishes, as do empty elements; controls other than white space become blanks."""
    blank = lambda c: " " if ord(c) < 0x09 or 0x0D < ord(c) < 0x20 or 0x7F <= ord(c) <= 0x9F else c
    return ["".join(map(blank, a)) for a in arguments if a and not re.search("[\ud800-\udfff]", a)]
# No empty argument: Wine hands start arguments over as one NUL-separated block, so one would end the list.
@pytest.mark.parametrize("arguments, after_launch, win32", [
    (["\ud800", "--data-dir=C:\\soak args\\a b\\\\c\\\\\\d \u00e9\u4e2d\U0001F600\\ctl\x01\x02\x1f\x7f\x85\x9fend\\x\\",
      "--ignore-close\udc00", "x\ud83d", "\udfff\ud800"], [STARTED, SUCCESS], "0"),
    (["\udc01"] * 1000 + ["--data-dir=C:\\soak\\long" + "".join(f"\\{i:02d}" + "q" * 237 for i in range(12))]
     + ["\ud802"] * 1000, [STARTED, SUCCESS], "0"),
    # No folder name holds quotes or a tab, so the child refuses it with 7; split, it would meet an unknown option: 1.
    (['--data-dir=C:\\soak\\q"u\\"o\\\\"te\\tab\there x" y'], [STARTED, EXIT_7], "1066"),
    (["--data-dir=C:\\" + "x" * 33000], [LAUNCH_FAILURE], CAUSE)],  # longer than any command line
    ids=["escapes", "long", "quotes", "too-long"])
def test_hostile_start_arguments(wine, tmp_path, arguments, after_launch, win32):
    (tmp_path / "arguments").write_bytes("\0".join(arguments).encode("utf-16-le", "surrogatepass"))
    facts, mark = serve(wine, arg="@Z:" + str(tmp_path / "arguments").replace("/", "\\"))
    if after_launch[-1] == SUCCESS:
        assert facts["started"] == [RUNNING]
        seen = [urllib.parse.unquote(a, errors="strict") for a in curl("/arguments")[1].decode().splitlines()]
        assert [seen[0].lower(), seen[1]] == [SERVER.lower(), "server"] and seen[2:-6] == child_view(arguments)
    facts = wine.drive("stop:1" if after_launch[-1] == SUCCESS else "watch", "gone", "status")
    assert wine.log(mark, 1 + len(after_launch)) == [LAUNCH, *after_launch] and facts["left"] == ["0"]
    assert status_is(facts, win32), facts["win32"]

def test_uninstall_keeps_the_event_source(wine):
    assert wine.host("uninstall")[:2] == (0, "Service deleted successfully\n")
    assert wine.host("uninstall")[:2] == (1, "OpenService failed (1060)\n")
    assert wine.drive()["open"] == ["1060"] and all(value in wine.event_source() for value in EVENT_SOURCE)

def test_bench(wine, request):
    table, baseline = request.config.getoption("--bench"), "Quorvanta-Baseline"
    if not table:
        pytest.skip("the bench runs from scripts/bench")
    wine.host("install")
    wine.wine("sc", "create", baseline, "binpath=", f"{WIN_DIR}\\wine_driver.exe --baseline", capture_output=True)
    cycles, samples = request.config.getoption("--count") or 30, {SERVICE: [], baseline: []}
    for cycle in range(cycles + 1):  # the first unmeasured: it loads everything from disk
        for service in (SERVICE, baseline)[::1 if cycle % 2 else -1]:  # neither always meets the other's leftovers
            started = wine.drive("free", "start", service=service)
            assert started["started"] == [RUNNING] and curl("/files/")[0] == 200
            stopped = wine.drive("stop:1", "gone", service=service)
            samples[service] += [[float(started["started_ms"][0]), float(stopped["stopped_ms"][0]),
                                  float(started["portwait_ms"][0])]] * (cycle > 0)
    host, base = ([(statistics.median(c), max(c)) for c in zip(*samples[s])] for s in (SERVICE, baseline))
    wine_version = subprocess.run(["wine", "--version"], capture_output=True, text=True, timeout=30).stdout.strip()
    with open(table, "w") as out:
        print(f"{os.cpu_count()} cores, {wine_version}; {cycles} cycles per service, interleaved, after a warm-up; "
              f"states polled every 1 ms\n\n{'':34}{'host median':>12}{'host max':>10}{'base median':>13}{'base max':>10}",
              file=out)
        for row, name in enumerate(("start: StartServiceW to RUNNING ms", "stop: control to STOPPED ms",
                                    "wait for a free port ms")):
            print(f"{name:34}{host[row][0]:12.2f}{host[row][1]:10.2f}{base[row][0]:13.2f}{base[row][1]:10.2f}", file=out)
        for name in SHIPPED:
            print(f"shipped {name}: {os.path.getsize(os.path.join(wine.build, 'bin', name))} bytes", file=out)
        print(f"start-ratio={host[0][0] / base[0][0]:.2f} stop-ratio={host[1][0] / base[1][0]:.2f}", file=out)
