"""The host under Wine's services.exe, in file order: the console start before any service start (Wine hands a
pending start to any process calling the dispatcher), uninstall last. Soak: --full, --count; bench: scripts/bench."""
import contextlib, random, re, socket, statistics, subprocess, threading, time, urllib.parse  # noqa: E401
from concurrent.futures import ThreadPoolExecutor
import pytest
from conftest import PORT, SERVICE, SHIPPED, WIN_DIR, entries

HOST, SERVER, MISSING = (WIN_DIR + "\\" + name for name in (SHIPPED[0], SHIPPED[1], "missing-server.exe"))
LAUNCH, STARTED = ("info", "Launching server executable " + SERVER), ("info", "Server started")
SUCCESS, SETUP_FAILURE = ("info", "Server terminated successfully"), (
    "error",
    "Could not create primary socket connection",
)
LAUNCH_FAILURE, CAUSE = ("error", "Could not start server process"), "the error that caused it"
EVENT_SOURCE_KEY, EVENT_SOURCE = "EventLog\\Application\\" + SERVICE, (  # as reg prints them, in its order
    f"    EventMessageFile    REG_SZ    {WIN_DIR}\\quorvanta_errors.dll\n    TypesSupported    REG_DWORD    0x7\n"
)
STOPPED, STOP_PENDING, RUNNING = "1", "3", "4"
OPTIONS = ["--pre-established-listener", "--pre-established-connection", "--max-file-write-cache-size"]
TEXTS = {
    1: "invalid argument",
    2: "unsupported hardware",
    4: "could not open response file",
    5: "could not parse response file",
    6: "could not open log file",
    7: "error running the server",
    8: "exit code 8",
}
ended = lambda text: [LAUNCH, STARTED, ("error", "Server terminated" + text)]
# id: steps, the run's event entries, the final status's dwWin32ExitCode and dwServiceSpecificExitCode
ROADS = {
    **{
        str(code): ([f"start:--exit-at-once={code}"], ended(": " + text), "1066", str(code))
        for code, text in TEXTS.items()
    },
    "0": (["start:--exit-at-once=0"], [LAUNCH, STARTED, SUCCESS], "0", None),
    "crash": (["start:--crash"], ended(" unexpectedly with code -1073741819"), "1066", str(0xC0000005)),
    "killed": (["start", "kill:3"], ended(" unexpectedly with code 3"), "1066", "3"),
    "ignores close": (["start:--ignore-close", "stop:1"], ended(" unexpectedly with code 255"), "0", None),
    "missing server": (
        ["start:--executable=" + MISSING],
        [("info", LAUNCH[1].replace(SERVER, MISSING)), LAUNCH_FAILURE],
        CAUSE,
        None,
    ),
    "port taken": (["hold", "start"], [LAUNCH, SETUP_FAILURE], CAUSE, None),
}


def curl(path, *args):
    done = subprocess.run(
        ["curl", "-sS", "--max-time", "10", "-o", "-", "-w", "\n%{http_code}", *args, f"http://127.0.0.1:{PORT}{path}"],
        capture_output=True,
        timeout=20,
    )
    assert done.returncode == 0, done.stderr
    body, _, status = done.stdout.rpartition(b"\n")
    return int(status), body


def status_is(facts, win32, specific=None):  # each final dwWin32ExitCode (CAUSE: not 0 or 1066), specific code
    return all(code == win32 or (win32 == CAUSE and code not in ("0", "1066")) for code in facts["win32"]) and (
        specific is None or set(facts["specific"]) == {specific}
    )


def test_console_start_prints_usage_and_fails(wine):
    with ThreadPoolExecutor() as pool:  # each takes seconds to fail under Wine
        runs = list(pool.map(lambda args: wine.run(SHIPPED[0], *args, debug="-all,+eventlog"), [(), ("Install",)]))
    for code, out, err in runs:
        assert entries(err) == [("error", "StartServiceCtrlDispatcher failed with 1063")] and "installed" not in out
        usage = "\n".join(line for line in err.splitlines() if not re.match(r"[0-9a-f]+:\w+:", line))
        assert re.search(r"quorvanta-apiclient.*\d+\.\d+\.\d+", usage, re.I), usage
        assert code == 1 and all(
            word in usage for word in ("install", "uninstall", "Service Control Manager", "--executable=")
        )
    assert wine.drive()["open"] == ["1060"]


def test_install_registers_service_and_event_source(wine):
    assert wine.run(SHIPPED[0], "install")[:2] == (0, "Service installed successfully\n")
    config = wine.reg(SERVICE)  # what QueryServiceConfig reads under Wine, and Wine's sc has no qc
    assert all(
        f"    {value}\n" in config
        for value in (
            "Type    REG_DWORD    0x10",
            "Start    REG_DWORD    0x3",
            "ErrorControl    REG_DWORD    0x1",
            f'ImagePath    REG_SZ    "{HOST}" "server"',
            "ObjectName    REG_SZ    " "LocalSystem",
            "DisplayName    REG_SZ    " + SERVICE,
            "Description    REG_SZ    Provides a persistent Quorvanta " "server to send and receive files.",
        )
    ), config
    assert EVENT_SOURCE in wine.reg(EVENT_SOURCE_KEY)
    assert wine.run(SHIPPED[0], "install")[:2] == (1, "CreateService failed (1073)\n")


def payload(index):  # sizes across the server's and the sockets' buffers; every 50th over 2 MiB
    sizes = (1, 777, 4096, 65537, 262147, 13, 100000)
    return random.Random(index).randbytes((2 << 20) + 3 if index % 50 == 49 else sizes[index % len(sizes)])


def test_serve_stop_and_serve_again(wine, reps, tmp_path):
    cycles = reps(4, 200)
    for cycle in range(cycles + 1):  # and one more run that checks every file
        mark, facts = wine.mark(), wine.drive("free", "start")
        assert facts["started"] == [RUNNING]
        if cycle < cycles:
            (tmp_path / "upload").write_bytes(payload(cycle))
            assert curl(f"/files/soak-{cycle}", "-T", str(tmp_path / "upload"))[0] == 201
        else:
            assert curl("/files/")[1].decode().split() == sorted(f"soak-{i}" for i in range(cycles))
        kept = range(max(0, cycle - 1), cycle + 1) if cycle < cycles else range(cycles)
        assert all(curl(f"/files/soak-{i}") == (200, payload(i)) for i in kept), "a stored file changed"
        # Every other stop a storm: twenty controls at once, then nothing may follow STOPPED.
        facts = wine.drive(*(["stop:20", "quiet:1500"] if cycle % 2 else ["stop:1"]))
        results = facts["controls"][0].split(",")
        assert "0" in results and set(results) <= {"0", "1061", "1062"} and facts.get("quiet", [STOPPED]) == [STOPPED]
        assert set(facts["stopped_seen"][0].split(",")) <= {RUNNING, STOP_PENDING, STOPPED}
        # Within the grace period: the child saw the host's close and was not terminated.
        assert float(facts["stopped_ms"][0]) < 5000 and facts["left"] == ["0"]
        assert wine.log(mark, 3) == [LAUNCH, STARTED, SUCCESS] and status_is(facts, "0")  # one stop for twenty


@pytest.mark.parametrize("road", ROADS)
def test_road(wine, reps, road):
    steps, expected, win32, specific = ROADS[road]
    runs, mark = reps(20, 20) if road == "crash" else 1, wine.mark()  # the crash loop
    facts = wine.drive(*["free", *steps, "watch", "quiet:300"] * runs)
    assert wine.log(mark, len(expected) * runs) == expected * runs
    seen = ",".join(facts["started_seen"] + facts["stopped_seen"]).split(",")
    assert (STOP_PENDING not in seen or "stop:1" in steps) and (RUNNING not in seen or STARTED in expected)
    assert road != "ignores close" or 4500 <= float(facts["stopped_ms"][0]) <= 10000  # one grace period, not two
    assert facts["quiet"] == [STOPPED] * runs and set(facts["left"]) == {"0"}
    assert status_is(facts, win32, specific), facts["win32"] + facts["specific"]


def test_stop_meets_child_exit(wine, reps):
    runs, mark = reps(8, 41), wine.mark()  # the control lands 0 to 40 ms into a child's life that ends at once
    facts = wine.drive(
        *[
            step
            for run in range(runs)
            for step in ("free", "start:--exit-at-once=8", f"quiet:{run * 7 % 41}", "stop:1", "quiet:1000")
        ]
    )
    assert wine.log(mark, 3 * runs) == ended(": exit code 8") * runs
    assert facts["quiet"][1::2] == [STOPPED] * runs and set(facts["left"]) == {"0"}
    assert set(facts["controls"]) <= {"0", "1061", "1062"}
    print(f"the stop control found the service running {facts['controls'].count('0')} of {runs} times")
    for control, win32, specific in zip(facts["controls"], facts["win32"], facts["specific"]):
        assert (win32, specific) == ("1066", "8") or (control == "0" and win32 == "0")


def test_strangers_racing_for_the_port(wine, reps):
    def race(done, held, until):  # connect, write bytes, hold up to 16 open
        while not done.is_set() and time.monotonic() < until:
            with contextlib.suppress(OSError):
                stranger = socket.create_connection(("127.0.0.1", PORT))
                stranger.send(b"\x01\x02\x03\x04x\r\n")
                (held if len(held) < 16 else []).append(stranger)  # a dropped one closes
        held.clear()

    for _ in range(reps(6, 20)):
        done, mark = threading.Event(), wine.drive("free") and wine.mark()
        racers = [threading.Thread(target=race, args=(done, [], time.monotonic() + 30)) for _ in range(4)]
        [racer.start() for racer in racers]
        started = wine.drive("start")["started"]
        time.sleep(0.05)  # so that strangers also queue behind the host's own connection
        done.set()
        [racer.join(10) for racer in racers]
        if started == [RUNNING]:  # a child that took a stranger for the host would take its close for the host's
            assert wine.drive("quiet:700")["quiet"] == [RUNNING] and curl("/files/")[0] == 200
            facts = wine.drive("stop:1")
            assert float(facts["stopped_ms"][0]) < 4000 and wine.log(mark, 3) == [LAUNCH, STARTED, SUCCESS]
        else:
            assert wine.log(mark, 2) == [LAUNCH, SETUP_FAILURE]
            facts = wine.drive("watch")
        assert facts["left"] == ["0"] and status_is(facts, "0" if started == [RUNNING] else CAUSE)


def child_view(arguments):
    """What the child gets: text with a lone surrogate, no UTF-8, vanishes; controls but white space turn blank."""
    blank = lambda c: " " if ord(c) < 0x09 or 0x0D < ord(c) < 0x20 or 0x7F <= ord(c) <= 0x9F else c
    return ["".join(map(blank, a)) for a in arguments if a and not re.search("[\ud800-\udfff]", a)]


# No empty argument: Wine hands start arguments over as one NUL-separated block, so one would end the list.
@pytest.mark.parametrize(
    "arguments, after_launch, win32",
    [
        (
            [
                "\ud800",
                "--data-dir=C:\\soak args\\a b\\\\c\\\\\\d \u00e9\u4e2d\U0001F600\\ctl\x01\x02\x1f\x7f\x85\x9fend\\x\\",
                "--ignore-close\udc00",
                "x\ud83d",
                "\udfff\ud800",
            ],
            [STARTED, SUCCESS],
            "0",
        ),
        (
            ["\udc01"] * 1000
            + ["--data-dir=C:\\soak\\long" + "".join(f"\\{i:02d}" + "q" * 237 for i in range(12))]
            + ["\ud802"] * 1000,
            [STARTED, SUCCESS],
            "0",
        ),
        # No folder name holds quotes or a tab, so the child refuses it with 7; split, it would meet an unknown option: 1.
        (['--data-dir=C:\\soak\\q"u\\"o\\\\"te\\tab\there x" y'], ended(": " + TEXTS[7])[1:], "1066"),
        (["--data-dir=C:\\" + "x" * 33000], [LAUNCH_FAILURE], CAUSE),
    ],  # longer than any command line
    ids=["escapes", "long", "quotes", "too-long"],
)
def test_hostile_start_arguments(wine, tmp_path, arguments, after_launch, win32):
    (tmp_path / "arguments").write_bytes("\0".join(arguments).encode("utf-16-le", "surrogatepass"))
    mark, served = wine.mark(), after_launch[-1] == SUCCESS
    facts = wine.drive("free", "start:@Z:" + str(tmp_path / "arguments").replace("/", "\\"))
    if served:
        seen = [urllib.parse.unquote(a, errors="strict") for a in curl("/arguments")[1].decode().splitlines()]
        assert [seen[0].lower(), seen[1]] == [SERVER.lower(), "server"] and seen[2:-6] == child_view(arguments)
        assert seen[-6::2] + seen[-1:] == [*OPTIONS, "1073741824"] and seen[-5].isdigit() and seen[-3].isdigit()
    facts = wine.drive("stop:1" if served else "watch")
    assert wine.log(mark, 1 + len(after_launch)) == [LAUNCH, *after_launch] and facts["left"] == ["0"]
    assert status_is(facts, win32), facts["win32"]


def test_uninstall_keeps_the_event_source(wine):
    assert wine.run(SHIPPED[0], "uninstall")[:2] == (0, "Service deleted successfully\n")
    assert wine.run(SHIPPED[0], "uninstall")[:2] == (1, "OpenService failed (1060)\n")
    assert wine.drive()["open"] == ["1060"] and EVENT_SOURCE in wine.reg(EVENT_SOURCE_KEY)


@pytest.mark.skipif("not config.getoption('--bench')", reason="the bench runs from scripts/bench")
def test_bench(wine, request):
    table, cycles = request.config.getoption("--bench"), request.config.getoption("--count") or 30
    wine.run(SHIPPED[0], "install")
    wine.wine("sc", "create", "Quorvanta-Baseline", "binpath=", f"{WIN_DIR}\\wine_driver.exe --baseline")
    samples = {SERVICE: [], "Quorvanta-Baseline": []}
    for cycle in range(cycles + 1):  # the first unmeasured: it loads everything from disk
        for service in list(samples)[:: 1 if cycle % 2 else -1]:  # neither always meets the other's leftovers
            started = wine.drive("free", "start", service=service)
            assert started["started"] == [RUNNING] and curl("/files/")[0] == 200
            stopped = wine.drive("stop:1", service=service)
            samples[service] += [(float(started["started_ms"][0]), float(stopped["stopped_ms"][0]))] * (cycle > 0)
    host, base = ([(statistics.median(c), max(c)) for c in zip(*rows)] for rows in samples.values())
    with open(table, "w") as out:
        print(f"{cycles} cycles per service, interleaved, after a warm-up; states polled every 1 ms", file=out)
        for i, name in enumerate(("start: StartServiceW to RUNNING", "stop: control to STOPPED")):
            print(
                f"{name}: host median {host[i][0]:.2f} ms, max {host[i][1]:.2f} ms; baseline median "
                f"{base[i][0]:.2f} ms, max {base[i][1]:.2f} ms",
                file=out,
            )
        print(f"start-ratio={host[0][0] / base[0][0]:.2f} stop-ratio={host[1][0] / base[1][0]:.2f}", file=out)
