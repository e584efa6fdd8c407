"""Time of building the result dicts of velkin._core: the report of two empty
traces (nine axis rows and the top-level keys, almost nothing else) and the
single statistic of compute_semantic_axis_with_embedder.

    python bench/export.py
    python bench/export.py --reference /path/to/previous/venv/bin/python

Each figure is the median time per call over several repeats of many calls.
The peer is Python itself building the same dicts and lists from the result
(a recursive copy, which makes the same objects with the same keys); with
--reference the previous build is measured in its own interpreter and shown
with the ratio.
"""
from __future__ import annotations

import argparse
import json
import os
import statistics
import subprocess
import sys
import timeit

REPEATS = 7
CASES = {
    "report of empty traces": (20_000, lambda core: core.compute_diff_report([], [])),
    "one axis statistic": (50_000, lambda core: core.compute_semantic_axis_with_embedder([], [], len)),
}


def rebuild(value):
    """The same dicts and lists, made again by the interpreter."""
    if isinstance(value, dict):
        return {key: rebuild(item) for key, item in value.items()}
    if isinstance(value, list):
        return [rebuild(item) for item in value]
    return value


def per_call(call, number: int) -> float:
    return statistics.median(timeit.repeat(call, number=number, repeat=REPEATS)) / number


def measure() -> dict:
    """Runs in the interpreter under test: seconds per call of each case."""
    from velkin import _core
    figures = {}
    for name, (number, call) in CASES.items():
        figures[name] = per_call(lambda: call(_core), number)
    return figures


def peer() -> dict:
    from velkin import _core
    figures = {}
    for name, (number, call) in CASES.items():
        result = call(_core)
        figures[name] = per_call(lambda: rebuild(result), number)
    return figures


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--reference", help="python of the previous build, measured beside this one")
    parser.add_argument("--measure", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args(argv)
    if args.measure:
        print(json.dumps(measure()))
        return 0
    ours = measure()
    python = peer()
    previous = None
    if args.reference:
        out = subprocess.run([args.reference, os.path.abspath(__file__), "--measure"], check=True,
                             capture_output=True, text=True).stdout
        previous = json.loads(out)
    header = f"{'case':<24} {'velkin':>10} {'python':>10} {'ratio':>6}"
    if previous:
        header += f" {'previous':>10} {'ratio':>6}"
    print(header)
    for name in CASES:
        line = f"{name:<24} {ours[name] * 1e6:>8.2f}us {python[name] * 1e6:>8.2f}us {ours[name] / python[name]:>6.2f}"
        if previous:
            line += f" {previous[name] * 1e6:>8.2f}us {ours[name] / previous[name]:>6.2f}"
        print(line)
    return 0


if __name__ == "__main__":
    sys.exit(main())
