"""Import throughput and processor time of velkin's OTLP importer against orjson.loads alone.

    python bench/import.py            # a 100 MB OTLP JSON Lines file
    python bench/import.py --mb 20 --runs 9
    python bench/import.py --reference OTHER/bin/python   # and the same bytes as another build's
    python bench/import.py --fresh                        # each call in a new interpreter

The input is made once from the bundled producer fixtures (tests/data/import),
each copy under fresh trace ids, and cached in bench/data/. Ours
(`_native.import_traces` on the bytes) parses every line, maps it into
.agentlog records, hashes their ids and returns the file's bytes; the peer
only parses the same lines (already split) into Python objects with
orjson.loads. Both read from memory, with the garbage collector off.

With --fresh each call is the first of a new interpreter, as `velkin import` runs:
its memory is all new pages, where later calls of one process reuse what the
allocator kept from the ones before (how much it keeps differs with the number
of threads that allocated it).

On a shared machine wall time moves with the neighbours' load; processor time
(user + system, summed over our threads) much less. Each round times ours on
every core, orjson, and ours with the process pinned to one core, one after
the other, so a ratio compares runs made under the same load; the figures are
medians over the rounds.
"""
from __future__ import annotations

import argparse
import gc
import hashlib
import json
import os
import statistics
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
import orjson  # noqa: E402

from velkin import _native  # noqa: E402

FIXTURES = ["openai-v2-span-only.traces.jsonl", "openinference-openai.traces.jsonl",
            "traceloop-anthropic.traces.jsonl", "openai-v2-event-only.traces.jsonl",
            "openai-v2-event-only.logs.jsonl"]


def fixture_lines() -> list:
    lines = []
    for name in FIXTURES:
        with open(os.path.join(ROOT, "tests", "data", "import", name), encoding="utf-8") as f:
            lines += [line.rstrip("\n") for line in f if line.strip()]
    return lines


def otlp_path(megabytes: int) -> str:
    path = os.path.join(HERE, "data", f"otlp-{megabytes}mb.jsonl")
    if os.path.exists(path):
        return path
    os.makedirs(os.path.dirname(path), exist_ok=True)
    lines = fixture_lines()
    trace_ids = sorted({value for line in lines for value in _trace_ids(json.loads(line))})
    size, copy = 0, 0
    with open(path + ".tmp", "w", encoding="utf-8") as f:
        while size < megabytes * 1_000_000:
            renamed = {old: hashlib.sha256(f"{old}/{copy}".encode()).hexdigest()[:32] for old in trace_ids}
            for line in lines:
                for old, new in renamed.items():
                    line = line.replace(old, new)
                f.write(line + "\n")
                size += len(line.encode()) + 1
            copy += 1
    os.replace(path + ".tmp", path)
    return path


def _trace_ids(node):
    if isinstance(node, dict):
        for key, value in node.items():
            if key == "traceId":
                yield value
            else:
                yield from _trace_ids(value)
    elif isinstance(node, list):
        for item in node:
            yield from _trace_ids(item)


def timed(work, one_core=False) -> tuple:
    """Wall and processor seconds (user + system of every thread) of one call, the result freed untimed."""
    cores = os.sched_getaffinity(0) if one_core else None
    if cores:
        os.sched_setaffinity(0, {min(cores)})
    gc.collect()
    gc.disable()
    try:
        wall, cpu = time.perf_counter(), time.process_time()
        result = work()
        wall, cpu = time.perf_counter() - wall, time.process_time() - cpu
        del result
    finally:
        gc.enable()
        if cores:
            os.sched_setaffinity(0, cores)
    return wall, cpu


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--mb", type=int, default=100, help="input size in MB (default 100)")
    parser.add_argument("--runs", type=int, default=5, help="rounds (default 5)")
    parser.add_argument("--reference", metavar="PYTHON",
                        help="an interpreter with another build of velkin whose output must be the same bytes")
    parser.add_argument("--fresh", action="store_true",
                        help="time each call as the first of a new interpreter, not the next of one process")
    parser.add_argument("--child", choices=("ours", "peer", "ours_one_core"), help=argparse.SUPPRESS)
    args = parser.parse_args()
    path = otlp_path(args.mb)
    with open(path, "rb") as f:
        data = f.read()
    lines = data.splitlines()
    megabytes = len(data) / 1e6

    def ours():
        return _native.import_traces([("bench", data)], "otlp")

    def peer():
        return [orjson.loads(line) for line in lines]

    def measure(key: str) -> tuple:
        if not args.fresh:
            return timed(peer if key == "peer" else ours, one_core=key == "ours_one_core")
        child = subprocess.run([sys.executable, os.path.abspath(__file__), "--mb", str(args.mb), "--child", key],
                               capture_output=True, text=True, check=True)
        wall, cpu = child.stdout.split()
        return float(wall), float(cpu)

    if args.child:
        print(*measure(args.child))
        return
    rounds = {"ours": [], "peer": [], "ours_one_core": []}
    for _ in range(args.runs):
        for key, times in rounds.items():
            times.append(measure(key))
    output, summary = ours()
    print(f"input: {megabytes:.1f} MB, {len(lines)} lines; output {len(output) / 1e6:.1f} MB, "
          f"{summary['conversations']} conversations, {summary['records']} records; {args.runs} rounds, medians"
          f"{', each call in a new interpreter' if args.fresh else ''}")
    print(f"{'':46} {'wall s':>7} {'cpu s':>7} {'MB per cpu s':>13}")
    names = {"ours": "velkin import, every core (parse+map+write)", "peer": "orjson.loads of the lines, one core",
             "ours_one_core": "velkin import, pinned to one core"}
    for key, name in names.items():
        wall = statistics.median(w for w, _ in rounds[key])
        cpu = statistics.median(c for _, c in rounds[key])
        print(f"{name:46} {wall:7.3f} {cpu:7.3f} {megabytes / cpu:13.1f}")
    for key, name in (("ours", "every core"), ("ours_one_core", "one core")):
        cpu_ratio = statistics.median(p[1] / o[1] for p, o in zip(rounds["peer"], rounds[key]))
        wall_ratio = statistics.median(p[0] / o[0] for p, o in zip(rounds["peer"], rounds[key]))
        print(f"orjson / ours, {name:10}: processor time {cpu_ratio:.2f}x, wall time {wall_ratio:.2f}x "
              "(above 1: ours takes less)")
    if args.reference:
        digest = hashlib.sha256(output).hexdigest()
        script = ("import hashlib, sys; from velkin import _native; "
                  "print(hashlib.sha256(_native.import_traces([('bench', sys.argv[1])], 'otlp')[0]).hexdigest())")
        theirs = subprocess.run([args.reference, "-c", script, path], capture_output=True, text=True, check=True)
        same = theirs.stdout.strip() == digest
        print(f"output bytes {'the same as' if same else 'DIFFERENT from'} {args.reference}'s build")
        if not same:
            sys.exit(1)


if __name__ == "__main__":
    main()
