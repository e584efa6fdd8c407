"""Time and peak memory of velkin._core.compute_diff_report on generated traces.

    python bench/diff.py                                  # 1,000 and 10,000 responses
    python bench/diff.py --sizes 1000 10000 100000 --reference /path/to/previous/venv/bin/python
    python bench/diff.py --no-cpp                         # the Python call only

Baseline and candidate come from gen_trace.generate: 1 KB texts, 0-3 tool
calls per turn, about 10 % of candidate turns edited, dropped or inserted. Each
size is measured in a fresh interpreter that loads the traces from bench/data/
and then runs the report: the median wall and processor time of several runs
with the garbage collector off (processor time is what a busy machine inflates
least; --gc leaves the collector on, as a user's call runs), and the peak
resident memory of the first run beyond what the loaded inputs already held. With --reference the same measurement runs in the
other build's interpreter and both figures are printed with their ratio; the
time exponent is fitted over the sizes from 1,000 up. The C++ benchmark
(bench/cpp/bench_diff.cpp, built on first use in build/bench) then splits the
core into the views (each side read record by record, as the Python call
reads it), the nine rows, the turn features, the alignment with its cost per
cell, the drill-down and the full report on those views, in processor time.
"""
from __future__ import annotations

import argparse
import json
import math
import os
import re
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
BENCH_BUILD = os.path.join(ROOT, "build", "bench")
sys.path.insert(0, HERE)

import gen_trace  # noqa: E402

PRICING = {"nimbus-pro": (3e-06, 1.5e-05)}


def trace_paths(n: int) -> list:
    """The two traces of size n, generated once and kept in bench/data/."""
    paths = [os.path.join(gen_trace.DATA_DIR, f"diff_{n}_{side}.agentlog") for side in ("baseline", "candidate")]
    if not all(os.path.exists(path) for path in paths):
        os.makedirs(gen_trace.DATA_DIR, exist_ok=True)
        for records, path in zip(gen_trace.generate(n, seed=n, perturb=0.1), paths):
            with open(path + ".tmp", "wb") as out:
                out.writelines(gen_trace.record_line(record) for record in records)
            os.replace(path + ".tmp", path)
    return paths


def resident_kib(field: str) -> int:
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    return 0


def measure(paths: list, runs: int, collector: bool = False) -> dict:
    """Runs in the interpreter under test; prints its figures as JSON."""
    import gc
    import time

    from velkin._core import compute_diff_report

    sides = []
    for path in paths:
        with open(path, "rb") as source:
            sides.append([json.loads(line) for line in source])
    gc.collect()
    # Resetting the high-water mark makes it the peak of the report alone.
    with open("/proc/self/clear_refs", "w") as clear:
        clear.write("5")
    before = resident_kib("VmRSS")
    times, cpu_times = [], []
    pairs = 0
    for run in range(runs):
        if not collector:
            gc.disable()
        try:
            start, cpu_start = time.perf_counter(), time.process_time()
            report = compute_diff_report(sides[0], sides[1], PRICING, 42)
            times.append(time.perf_counter() - start)
            cpu_times.append(time.process_time() - cpu_start)
        finally:
            gc.enable()
        if run == 0:
            peak = resident_kib("VmHWM") - before
        pairs = report["pair_count"]
        del report
    times.sort()
    cpu_times.sort()
    return {"seconds": times[len(times) // 2], "cpu_seconds": cpu_times[len(cpu_times) // 2],
            "peak_mib": peak / 1024, "pairs": pairs}


def run_measure(python: str, paths: list, runs: int, collector: bool) -> dict:
    out = subprocess.run([python, os.path.abspath(__file__), "--measure", *paths, "--runs", str(runs),
                          *(["--gc"] if collector else [])],
                         check=True, capture_output=True, text=True).stdout
    return json.loads(out)


def exponent(sizes: list, seconds: list) -> float:
    """Least-squares slope of log(time) over log(n)."""
    xs = [math.log(n) for n in sizes]
    ys = [math.log(s) for s in seconds]
    mx, my = sum(xs) / len(xs), sum(ys) / len(ys)
    return sum((x - mx) * (y - my) for x, y in zip(xs, ys)) / sum((x - mx) ** 2 for x in xs)


def build_cpp_bench() -> str:
    subprocess.run(["cmake", "-S", ROOT, "-B", BENCH_BUILD, "-G", "Ninja", "-DCMAKE_BUILD_TYPE=Release",
                    "-DVELKIN_BUILD_BENCH=ON"], check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", BENCH_BUILD, "--target", "bench_diff"], check=True, stdout=subprocess.DEVNULL)
    return os.path.join(BENCH_BUILD, "bench_diff")


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sizes", type=int, nargs="+", default=[1_000, 10_000])
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--reference", help="python of the previous build, measured beside this one")
    parser.add_argument("--no-cpp", action="store_true", help="skip the C++ split of the core")
    parser.add_argument("--gc", action="store_true",
                        help="leave the cyclic garbage collector on during the call, as a user's call runs")
    parser.add_argument("--measure", nargs=2, help=argparse.SUPPRESS)
    args = parser.parse_args(argv)
    if args.measure:
        print(json.dumps(measure(args.measure, args.runs, args.gc)))
        return 0
    cpp = None if args.no_cpp else build_cpp_bench()

    header = f"{'responses':>10} {'pairs':>7} {'report':>10} {'cpu':>9} {'peak':>9}"
    if args.reference:
        header += f" {'previous':>10} {'cpu':>9} {'peak':>9} {'cpu ratio':>10}"
    print(header)
    ours = []
    for n in args.sizes:
        paths = trace_paths(n)
        now = run_measure(sys.executable, paths, args.runs, args.gc)
        ours.append(now["cpu_seconds"])
        line = (f"{n:>10} {now['pairs']:>7} {now['seconds']:>9.3f}s {now['cpu_seconds']:>8.3f}s"
                f" {now['peak_mib']:>6.0f}MiB")
        if args.reference:
            before = run_measure(args.reference, paths, args.runs, args.gc)
            line += (f" {before['seconds']:>9.3f}s {before['cpu_seconds']:>8.3f}s {before['peak_mib']:>6.0f}MiB"
                     f" {now['cpu_seconds'] / before['cpu_seconds']:>10.2f}")
        print(line, flush=True)
        if cpp:
            split = subprocess.run([cpp, *paths, str(args.runs)], check=True, capture_output=True, text=True).stdout
            print("".join(f"    {line}\n" for line in split.splitlines()), end="")
            core_ms = float(re.search(r"full report\s+([\d.]+) ms", split).group(1))
            print(f"    conversion + export {now['cpu_seconds'] * 1e3 - core_ms:8.1f} ms  "
                  "(processor time of the Python call minus the full report on the views: reading the "
                  "Python records into views, and the export)")
    fitted = [(n, s) for n, s in zip(args.sizes, ours) if n >= 1_000]
    if len(fitted) >= 2:
        print(f"processor time ~ n^{exponent(*zip(*fitted)):.2f} from {fitted[0][0]:,} to {fitted[-1][0]:,} responses")
    return 0


if __name__ == "__main__":
    sys.exit(main())
