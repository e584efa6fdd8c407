"""Time of velkin._core.compute_diff_report on generated traces.

    python bench/diff.py                        # 100, 1,000 and 10,000 responses
    python bench/diff.py --cpp build/h1/bench_diff

Baseline and candidate come from gen_trace.generate: 1 KB texts, 0-3 tool
calls per turn, about 10 % of candidate turns edited, dropped or inserted.
Each figure is the median of several runs with the garbage collector off.
With --cpp, the same traces are written to bench/data/ and the C++ benchmark
splits the time into parsing, the nine rows one by one and the full report.
"""
from __future__ import annotations

import argparse
import gc
import json
import os
import statistics
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
DATA_DIR = os.path.join(HERE, "data")
sys.path.insert(0, HERE)

import gen_trace  # noqa: E402

PRICING = {"nimbus-pro": (3e-06, 1.5e-05)}


def median_seconds(run, runs: int) -> float:
    times = []
    for _ in range(runs):
        gc.collect()
        gc.disable()
        try:
            start = time.perf_counter()
            run()
            times.append(time.perf_counter() - start)
        finally:
            gc.enable()
    return statistics.median(times)


def write_trace(records: list, path: str) -> None:
    with open(path, "w", encoding="utf-8") as out:
        for record in records:
            out.write(json.dumps(record, separators=(",", ":"), ensure_ascii=False))
            out.write("\n")


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sizes", type=int, nargs="+", default=[100, 1_000, 10_000])
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--cpp", help="path of the bench_diff executable (CMake option VELKIN_BUILD_BENCH)")
    args = parser.parse_args(argv)

    from velkin._core import compute_diff_report

    print(f"{'responses':>10} {'pairs':>7} {'report':>10} {'per pair':>10}")
    for n in args.sizes:
        baseline, candidate = gen_trace.generate(n, seed=n, perturb=0.1)
        report = compute_diff_report(baseline, candidate, PRICING, 42)
        pairs = report["pair_count"]
        seconds = median_seconds(lambda: compute_diff_report(baseline, candidate, PRICING, 42), args.runs)
        print(f"{n:>10} {pairs:>7} {seconds * 1e3:>8.1f}ms {seconds * 1e6 / max(pairs, 1):>8.1f}us")
        if args.cpp:
            os.makedirs(DATA_DIR, exist_ok=True)
            paths = [os.path.join(DATA_DIR, f"diff_{n}_{side}.agentlog") for side in ("baseline", "candidate")]
            write_trace(baseline, paths[0])
            write_trace(candidate, paths[1])
            subprocess.run([args.cpp, *paths, str(args.runs)], check=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
