#!/usr/bin/env python3
"""Start and stop latency of the host under Wine's services.exe against a bare
baseline service that runs the same reference server with the same two
inherited sockets; createServerSockets alone; the host's private memory; the
shipped sizes. Prints a table whose last line is
"start-ratio=R stop-ratio=S" (host median over baseline median).

Timings are printed, never asserted. Every wait has a limit.
"""

import argparse
import os
import platform
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "soak"))
import soak_rig  # noqa: E402
from soak_rig import SERVICE, WIN_DIR, median, percentile  # noqa: E402

BASELINE = "Quorvanta-Baseline"
BASELINE_EXE = "baseline_service.exe"


def machine():
    model = platform.processor() or "unknown processor"
    try:
        with open("/proc/cpuinfo") as info:
            for line in info:
                if line.startswith("model name"):
                    model = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    try:
        wine = subprocess.run(["wine", "--version"], capture_output=True, text=True, timeout=30).stdout.strip()
    except (OSError, subprocess.SubprocessError):
        wine = "wine (version unknown)"
    return f"{model}, {os.cpu_count()} cores; {wine}"


def samples(out, label):
    return [fields for fields in soak_rig.parse_facts(out, "sample") if fields["sample"] == label]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", required=True, help="the build folder")
    parser.add_argument("--work", help="scratch folder (default: <build>/tests/bench/run)")
    parser.add_argument("--cycles", type=int, default=30, help="measured cycles per service (at least 20)")
    parser.add_argument("--socket-calls", type=int, default=500, help="createServerSockets calls (at least 200)")
    options = parser.parse_args()

    build = os.path.abspath(options.build)
    tests_bin = os.path.join(build, "tests", "bin")
    driver = os.path.join(tests_bin, "bench_driver.exe")
    baseline = os.path.join(tests_bin, BASELINE_EXE)
    probe = os.path.join(tests_bin, "service_probe.exe")
    bin_dir = os.path.join(build, "bin")
    for path in [driver, baseline, probe] + [os.path.join(bin_dir, n) for n in soak_rig.SHIPPED]:
        if not os.path.isfile(path):
            print(f"bench: {path} is not built", file=sys.stderr)
            return 1
    work = os.path.abspath(options.work or os.path.join(build, "tests", "bench", "run"))

    began = time.monotonic()
    with soak_rig.Rig(work, bin_dir, probe, extra=[baseline]) as rig:
        code, out = rig.run(driver, "install", BASELINE, WIN_DIR + "\\" + BASELINE_EXE, timeout=60)
        if code != 0:
            print(f"bench: installing the baseline failed: {out.strip()}", file=sys.stderr)
            return 1
        # One unmeasured cycle: the first start in a fresh prefix loads
        # everything from disk for both.
        code, out = rig.run(driver, "cycles", SERVICE, BASELINE, 1, timeout=120)
        if code != 0:
            print(f"bench: warm-up failed: {out.strip()}", file=sys.stderr)
            return 1
        code, cycles_out = rig.run(driver, "cycles", SERVICE, BASELINE, options.cycles,
                                   timeout=120 + 30 * options.cycles)
        if code != 0:
            print(f"bench: cycles failed: {cycles_out.strip()[-1000:]}", file=sys.stderr)
            return 1
        code, sockets_out = rig.run(driver, "sockets", options.socket_calls, timeout=60 + options.socket_calls)
        if code != 0:
            print(f"bench: sockets failed: {sockets_out.strip()}", file=sys.stderr)
            return 1

    host = samples(cycles_out, "host")
    base = samples(cycles_out, "baseline")
    figures = {}
    for label, rows in (("host", host), ("baseline", base)):
        for key in ("start_ms", "stop_ms"):
            values = [float(r[key]) for r in rows]
            figures[label, key] = (median(values), max(values))
        figures[label, "private"] = median([int(r["private_kib"]) for r in rows])
        figures[label, "port_wait"] = max(float(r["port_wait_ms"]) for r in rows)
    line = next(l for l in sockets_out.splitlines() if l.startswith("sockets "))
    sockets = dict(item.split("=", 1) for item in line.split()[1:])

    print(f"machine: {machine()}")
    print(f"cycles: {len(host)} per service, interleaved, after one unmeasured warm-up; "
          f"states polled every 1 ms with QueryServiceStatusEx")
    print()
    print(f"{'':34}{'host median':>12}{'host max':>10}{'base median':>13}{'base max':>10}")
    for key, name in (("start_ms", "start: StartServiceW to RUNNING ms"), ("stop_ms", "stop: control to STOPPED ms")):
        print(f"{name:34}{figures['host', key][0]:12.2f}{figures['host', key][1]:10.2f}"
              f"{figures['baseline', key][0]:13.2f}{figures['baseline', key][1]:10.2f}")
    print(f"{'private memory while serving KiB':34}{figures['host', 'private']:12.0f}{'':10}"
          f"{figures['baseline', 'private']:13.0f}")
    print(f"{'longest wait for a free port ms':34}{figures['host', 'port_wait']:12.1f}{'':10}"
          f"{figures['baseline', 'port_wait']:13.1f}")
    print()
    print(f"createServerSockets in-process: {sockets['calls']} calls, failed {sockets['failed']}, "
          f"median {float(sockets['median_ms']):.3f} ms, p99 {float(sockets['p99_ms']):.3f} ms, "
          f"max {float(sockets['max_ms']):.3f} ms, 1 ms sleeps {sockets['sleeps']}")
    for name in soak_rig.SHIPPED:
        print(f"shipped {name}: {os.path.getsize(os.path.join(bin_dir, name))} bytes")
    print(f"bench took {time.monotonic() - began:.1f} s")
    start_ratio = figures["host", "start_ms"][0] / figures["baseline", "start_ms"][0]
    stop_ratio = figures["host", "stop_ms"][0] / figures["baseline", "stop_ms"][0]
    print(f"start-ratio={start_ratio:.2f} stop-ratio={stop_ratio:.2f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
