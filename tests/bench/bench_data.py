#!/usr/bin/env python3
"""The data path of the reference server against the floor (tests/bench/bench_floor.cpp, blocking Winsock doing
the same file work), both standalone under one Wine and interleaved in one run: a 64 MiB PUT, a 64 MiB GET and 32
concurrent 1 MiB PUTs, in MB/s (10^6 bytes per second), medians over --count runs after one warm-up round, and the
ratio server/floor.

The client is this program, on Linux, over loopback. A second table shows where each transfer's time goes: its
elapsed time and the CPU time of the client, of the Wine program and of the wineserver (which does the work of every
Winsock call the program makes). A client whose CPU time neared the elapsed time would be measuring itself.

Run it through scripts/bench --data, which builds both programs first. Standard output is the table; its last line
is "put-ratio=R get-ratio=R concurrent-ratio=R".
"""
import argparse
import os
import re
import select
import shutil
import socket
import statistics
import subprocess
import threading
import time

MIB = 1 << 20
TIME_LIMIT = 60  # seconds, for any one start, connection, socket operation or join
LARGE, SMALL, CONCURRENT = 64 * MIB, MIB, 32
MEASURES = ("PUT 64 MiB", "GET 64 MiB", f"{CONCURRENT} x 1 MiB PUT")
FLOOR, SERVER = "floor (bench_floor)", "reference server"


def exchange(port, head, body=b"", into=None):
    """One request on a connection of its own; the answer's status and body length. A 200 body is stored in into."""
    with socket.create_connection(("127.0.0.1", port), timeout=TIME_LIMIT) as connection:
        connection.sendall(head)
        connection.sendall(body)
        received = b""
        while b"\r\n\r\n" not in received:
            chunk = connection.recv(64 * 1024)
            if not chunk:
                raise RuntimeError(f"{head.splitlines()[0]}: the connection closed before the answer")
            received += chunk
        answer, _, start = received.partition(b"\r\n\r\n")
        status = int(answer.split()[1])
        found = re.search(rb"\r\ncontent-length: *(\d+)", answer, re.I)
        length = int(found.group(1)) if found else 0
        view = memoryview(into if into is not None and status == 200 else bytearray(length))[:length]
        view[: len(start)] = start
        got = len(start)
        while got < length:
            count = connection.recv_into(view[got:])
            if count == 0:
                raise RuntimeError(f"{head.splitlines()[0]}: the body ended after {got} of {length} bytes")
            got += count
    return status, length


def put(port, name, body):
    """Seconds from connecting to the answer of a PUT, which must store the file."""
    start = time.perf_counter()
    status, _ = exchange(
        port, f"PUT /files/{name} HTTP/1.1\r\nHost: x\r\nContent-Length: {len(body)}\r\n\r\n".encode(), body
    )
    elapsed = time.perf_counter() - start
    if status not in (201, 204):
        raise RuntimeError(f"PUT {name}: status {status}")
    return elapsed


def get(port, name, into):
    """Seconds from connecting to the last byte of a GET, whose body must fill into exactly."""
    start = time.perf_counter()
    status, length = exchange(port, f"GET /files/{name} HTTP/1.1\r\nHost: x\r\n\r\n".encode(), into=into)
    elapsed = time.perf_counter() - start
    if status != 200 or length != len(into):
        raise RuntimeError(f"GET {name}: status {status}, {length} bytes")
    return elapsed


def concurrent_puts(port, body):
    """Seconds from the moment all clients are let go at once to the last answer."""
    starts, ends, failures = [], [], []
    barrier = threading.Barrier(CONCURRENT, action=lambda: starts.append(time.perf_counter()))

    def client(index):
        try:
            barrier.wait(TIME_LIMIT)
            put(port, f"concurrent-{index}", body)
            ends.append(time.perf_counter())
        except Exception as error:  # reported below, with the others
            failures.append(f"client {index}: {error!r}")

    threads = [threading.Thread(target=client, args=(index,)) for index in range(CONCURRENT)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(TIME_LIMIT)
    if failures or len(ends) != CONCURRENT:
        raise RuntimeError(f"concurrent PUTs: {len(ends)} of {CONCURRENT} stored; " + "; ".join(failures[:3]))
    return max(ends) - starts[0]


class Wine:
    """A prefix of the bench's own with one persistent wineserver, and the programs started in it."""

    def __init__(self, build):
        self.work = os.path.join(build, "bench", "data")
        self.drive = os.path.join(self.work, "prefix", "drive_c")
        self.env = dict(os.environ, WINEPREFIX=os.path.join(self.work, "prefix"), WINEDEBUG="-all")
        self.env["WINEDLLOVERRIDES"] = "mscoree=;mshtml="  # no Mono or Gecko: neither is used
        self.env.pop("DISPLAY", None)
        self.processes = []

    def __enter__(self):
        shutil.rmtree(self.work, ignore_errors=True)
        os.makedirs(self.drive)
        self.wineserver("-p")
        streams = dict(stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        subprocess.run(["wine", "wineboot", "-i"], env=self.env, timeout=300, check=True, **streams)
        return self

    def __exit__(self, *_):
        for process in self.processes:
            process.stdin.close()  # the floor ends when its input closes
            process.kill()
            process.wait(TIME_LIMIT)
        self.wineserver("-k")

    def wineserver(self, flag):
        # No pipes: the wineserver stays in the background and would hold them open.
        streams = dict(stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        subprocess.run(["wineserver", flag], env=self.env, timeout=TIME_LIMIT, **streams)

    def start(self, program, *arguments):
        """The port a program prints in "listening on 127.0.0.1:<port>" once it listens."""
        process = subprocess.Popen(
            ["wine", program, *arguments],
            env=self.env,
            stdin=subprocess.PIPE,
            stdout=subprocess.PIPE,
            stderr=open(os.path.join(self.work, os.path.basename(program) + ".log"), "wb"),
        )
        self.processes.append(process)
        if not select.select([process.stdout], [], [], TIME_LIMIT)[0]:
            raise RuntimeError(f"{program} did not say where it listens within {TIME_LIMIT} s")
        found = re.search(rb"listening on 127\.0\.0\.1:(\d+)", process.stdout.readline())
        if not found:
            raise RuntimeError(f"{program} did not start; see {self.work}")
        return int(found.group(1))

    def wineserver_pid(self):
        """The wineserver of this prefix: it works in a folder named after the prefix's device and inode."""
        prefix = os.stat(self.env["WINEPREFIX"])
        folder = f"server-{prefix.st_dev:x}-{prefix.st_ino:x}"
        for pid in filter(str.isdigit, os.listdir("/proc")):
            try:
                if open(f"/proc/{pid}/comm").read().startswith("wineserver") and os.readlink(
                    f"/proc/{pid}/cwd"
                ).endswith("/" + folder):
                    return int(pid)
            except OSError:  # ended meanwhile, or not ours to look at
                continue
        raise RuntimeError(f"no wineserver works for {self.env['WINEPREFIX']}")

    def folder(self, name):  # a data folder in the prefix, by its Windows name
        os.makedirs(os.path.join(self.drive, "bench", name))
        return f"C:\\bench\\{name}"


def cpu_seconds(pid):
    """User and system time of a process so far, its ended threads included."""
    fields = open(f"/proc/{pid}/stat").read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def clocks(pid, wineserver):
    """CPU seconds so far of the client, the program and the wineserver."""
    return [time.process_time(), cpu_seconds(pid), cpu_seconds(wineserver)]


def transfer(measure, port, large, small, received):
    """Seconds one of the MEASURES took."""
    if measure == 0:
        return put(port, "large", large)
    if measure == 1:
        seconds = get(port, "large", received)
        if received != large:
            raise RuntimeError(f"port {port}: GET returned other bytes than the PUT stored")
        return seconds
    return concurrent_puts(port, small)


def run(build, count):
    large, small = os.urandom(LARGE), os.urandom(SMALL)
    received = bytearray(LARGE)
    load = os.getloadavg()  # others' work on the machine shows in every figure
    with Wine(build) as wine:
        peers = {
            FLOOR: wine.start(f"{build}/tests/bin/bench_floor.exe", wine.folder("floor")),
            SERVER: wine.start(
                f"{build}/bin/quorvanta-embedded-server.exe",
                "standalone",
                "--port=0",
                "--data-dir=" + wine.folder("server"),
            ),
        }
        pids = dict(zip(peers, (process.pid for process in wine.processes)))  # wine becomes the program itself
        wineserver = wine.wineserver_pid()
        rates = {peer: [[] for _ in MEASURES] for peer in peers}
        # Elapsed time and CPU time (client, program, wineserver) summed over the runs: CPU time comes in ticks of
        # 10 ms, too coarse for one transfer.
        times = {peer: [[0.0] * 4 for _ in MEASURES] for peer in peers}
        for run_index in range(count + 1):  # the first unmeasured: it loads everything from disk
            order = list(peers)[:: 1 if run_index % 2 else -1]  # neither always meets the other's leftovers first
            for measure in range(len(MEASURES)):
                for peer in order:
                    start = clocks(pids[peer], wineserver)
                    seconds = transfer(measure, peers[peer], large, small, received)
                    spent = [seconds] + [now - then for now, then in zip(clocks(pids[peer], wineserver), start)]
                    if run_index > 0:
                        rates[peer][measure].append((LARGE if measure < 2 else CONCURRENT * SMALL) / seconds / 1e6)
                        times[peer][measure] = [total + value for total, value in zip(times[peer][measure], spent)]
    print(f"data path, MB/s (10^6 bytes/s): median (min-max) of {count} interleaved runs after a warm-up")
    print(
        "load average (1, 5, 15 min): before {:.2f} {:.2f} {:.2f}, after {:.2f} {:.2f} {:.2f}".format(
            *load, *os.getloadavg()
        )
    )
    print(f"{'':24}" + "".join(f"{name:>22}" for name in MEASURES))
    for peer, figures in rates.items():
        cells = (f"{statistics.median(f):.0f} ({min(f):.0f}-{max(f):.0f})" for f in figures)
        print(f"{peer:24}" + "".join(f"{cell:>22}" for cell in cells))
    ratios = [statistics.median(s) / statistics.median(f) for s, f in zip(rates[SERVER], rates[FLOOR])]
    print(f"{'server / floor':24}" + "".join(f"{ratio:>22.2f}" for ratio in ratios))
    print("per transfer, mean ms: elapsed: CPU time of the client / the program / the wineserver")
    for peer, columns in times.items():
        cells = ("{:.0f}: {:.0f} / {:.0f} / {:.0f}".format(*(value / count * 1000 for value in c)) for c in columns)
        print(f"{peer:24}" + "".join(f"{cell:>22}" for cell in cells))
    print("put-ratio={:.2f} get-ratio={:.2f} concurrent-ratio={:.2f}".format(*ratios))


if __name__ == "__main__":
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--build", required=True)
    parser.add_argument("--count", type=int, default=11, help="measured runs of each figure (default 11)")
    arguments = parser.parse_args()
    run(os.path.abspath(arguments.build), arguments.count)
