"""Time of velkin._core.compute_diff_report on generated traces.

    python bench/diff.py                 # 100, 1,000 and 10,000 responses
    python bench/diff.py --sizes 1000    # one size only
    python bench/diff.py --no-cpp        # the Python call only

Baseline and candidate come from gen_trace.generate: 1 KB texts, 0-3 tool
calls per turn, about 10 % of candidate turns edited, dropped or inserted.
Each Python figure is the median of several runs with the garbage collector
off. The same traces are then written to bench/data/ and the C++ benchmark
(bench/cpp/bench_diff.cpp, built on first use in build/bench) splits the core
into the nine rows, the alignment with its cost per pair_cost cell, the
drill-down and the full report, in processor time; the Python call minus the
core report is the argument conversion plus the export of the result.
"""
from __future__ import annotations

import argparse
import os
import re
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
BENCH_BUILD = os.path.join(ROOT, "build", "bench")
sys.path.insert(0, HERE)

import gen_trace  # noqa: E402
from timing import median_seconds  # noqa: E402

PRICING = {"nimbus-pro": (3e-06, 1.5e-05)}


def write_trace(records: list, path: str) -> None:
    with open(path, "wb") as out:
        out.writelines(gen_trace.record_line(record) for record in records)


def build_cpp_bench() -> str:
    subprocess.run(["cmake", "-S", ROOT, "-B", BENCH_BUILD, "-G", "Ninja", "-DCMAKE_BUILD_TYPE=Release",
                    "-DVELKIN_BUILD_BENCH=ON"], check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", BENCH_BUILD, "--target", "bench_diff"], check=True, stdout=subprocess.DEVNULL)
    return os.path.join(BENCH_BUILD, "bench_diff")


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sizes", type=int, nargs="+", default=[100, 1_000, 10_000])
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--no-cpp", action="store_true", help="skip the C++ split of the core")
    args = parser.parse_args(argv)
    cpp = None if args.no_cpp else build_cpp_bench()

    from velkin._core import compute_diff_report

    print(f"{'responses':>10} {'pairs':>7} {'report':>10} {'per pair':>10}")
    for n in args.sizes:
        baseline, candidate = gen_trace.generate(n, seed=n, perturb=0.1)
        report = compute_diff_report(baseline, candidate, PRICING, 42)
        pairs = report["pair_count"]
        seconds = median_seconds(lambda: compute_diff_report(baseline, candidate, PRICING, 42), args.runs)
        print(f"{n:>10} {pairs:>7} {seconds * 1e3:>8.1f}ms {seconds * 1e6 / max(pairs, 1):>8.1f}us")
        if cpp:
            os.makedirs(gen_trace.DATA_DIR, exist_ok=True)
            paths = [os.path.join(gen_trace.DATA_DIR, f"diff_{n}_{side}.agentlog")
                     for side in ("baseline", "candidate")]
            write_trace(baseline, paths[0])
            write_trace(candidate, paths[1])
            split = subprocess.run([cpp, *paths, str(args.runs)], check=True, capture_output=True, text=True).stdout
            print("".join(f"    {line}\n" for line in split.splitlines()), end="")
            core_ms = float(re.search(r"full report\s+([\d.]+) ms", split).group(1))
            print(f"    conversion + export {seconds * 1e3 - core_ms:8.1f} ms  (Python call minus the core report)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
