"""Parse throughput of velkin._core.parse_agentlog against orjson and json.

    python bench/parse.py            # 1, 10 and 100 MB
    python bench/parse.py --full     # also 200 MB

Traces are generated on first use and cached in bench/data/. Every figure is
the median of several runs with the garbage collector off while timing, except
the "collector on" rows: the same parse with the collector at its default
settings, as a caller runs it. The
memory columns come from a fresh subprocess per parser: "retained" is the RSS
the resulting objects keep, "transient" the peak RSS beyond that.
"""
from __future__ import annotations

import argparse
import gc
import json
import os
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import orjson  # noqa: E402
from gen_trace import trace_path  # noqa: E402
from timing import median_seconds  # noqa: E402

from velkin._core import parse_agentlog  # noqa: E402  (imported up front: loading it must not count as parsing)


def _velkin(data: bytes):
    return parse_agentlog(data)


def _orjson(data: bytes):
    return [orjson.loads(line) for line in data.splitlines() if line.strip()]


def _json(data: bytes):
    return [json.loads(line) for line in data.splitlines() if line.strip()]


PARSERS = {"velkin": _velkin, "orjson": _orjson, "json": _json}


def seconds_with_collector(parse, data: bytes, runs: int) -> float:
    times = []
    for _ in range(runs):
        gc.collect()
        start = time.perf_counter()
        result = parse(data)
        times.append(time.perf_counter() - start)
        del result
    return sorted(times)[len(times) // 2]


def _rss_kib() -> int:
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") // 1024


def _peak_rss_kib() -> int:
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmHWM:"):
                return int(line.split()[1])
    return 0


def measure_memory(name: str, path: str) -> None:
    """Runs inside the subprocess: prints retained and transient KiB of one parse."""
    with open(path, "rb") as f:
        data = f.read()
    parse = PARSERS[name]
    gc.disable()
    # Reading the file may have raised the peak; start the peak afresh at the parse.
    with open("/proc/self/clear_refs", "w") as clear_refs:
        clear_refs.write("5")
    before = _rss_kib()
    result = parse(data)
    after = _rss_kib()
    retained = after - before
    peak_growth = _peak_rss_kib() - before
    print(json.dumps({"retained": retained, "transient": max(0, peak_growth - retained), "n": len(result)}))


def memory_of(name: str, path: str):
    output = subprocess.run([sys.executable, os.path.abspath(__file__), "--measure-memory", name, path],
                            check=True, capture_output=True, text=True).stdout
    return json.loads(output)


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--full", action="store_true", help="also run the 200 MB trace")
    parser.add_argument("--no-memory", action="store_true", help="skip the RSS measurements")
    parser.add_argument("--measure-memory", nargs=2, metavar=("PARSER", "FILE"), help=argparse.SUPPRESS)
    args = parser.parse_args(argv)
    if args.measure_memory:
        measure_memory(*args.measure_memory)
        return 0

    sizes = [1, 10, 100] + ([200] if args.full else [])
    print(f"{'size':>6}  {'parser':<7} {'MB/s':>8} {'vs orjson':>9} {'retained MiB':>13} {'transient MiB':>14}")
    for mb in sizes:
        path = trace_path(mb)
        with open(path, "rb") as f:
            data = f.read()
        runs = 7 if mb <= 10 else 3
        speeds = {}
        for name, parse in PARSERS.items():
            speeds[name] = len(data) / 1e6 / median_seconds(lambda: parse(data), runs)
        for name in PARSERS:
            memory = "" if args.no_memory else memory_of(name, path)
            retained = f"{memory['retained'] / 1024:13.1f}" if memory else f"{'-':>13}"
            transient = f"{memory['transient'] / 1024:14.1f}" if memory else f"{'-':>14}"
            ratio = speeds[name] / speeds["orjson"]
            print(f"{mb:>4}MB  {name:<7} {speeds[name]:8.1f} {ratio:8.2f}x {retained} {transient}", flush=True)
        for name in ("velkin", "orjson"):
            on = len(data) / 1e6 / seconds_with_collector(PARSERS[name], data, runs)
            print(f"{mb:>4}MB  {name:<7} {on:8.1f} {on / speeds['orjson']:8.2f}x  (collector on)", flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
