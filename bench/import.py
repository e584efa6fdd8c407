"""Import throughput of velkin's OTLP importer against orjson.loads alone.

    python bench/import.py            # a 100 MB OTLP JSON Lines file
    python bench/import.py --mb 20
    python bench/import.py --reference OTHER/bin/python   # and the same bytes as another build's

The input is made once from the bundled producer fixtures (tests/data/import),
each copy under fresh trace ids, and cached in bench/data/. Ours parses and maps
every line into .agentlog records; the peer only parses the same lines
(already split) into Python objects. Both read from memory; each figure is the
median of several runs with the garbage collector off.
"""
from __future__ import annotations

import argparse
import hashlib
import json
import os
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, HERE)

from timing import median_seconds  # noqa: E402
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


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--mb", type=int, default=100, help="input size in MB (default 100)")
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--reference", metavar="PYTHON",
                        help="an interpreter with another build of velkin whose output must be the same bytes")
    args = parser.parse_args()
    path = otlp_path(args.mb)
    with open(path, "rb") as f:
        data = f.read()
    lines = data.splitlines()
    megabytes = len(data) / 1e6

    ours = median_seconds(lambda: _native.import_traces([("bench", data)], "otlp"), args.runs)
    peer = median_seconds(lambda: [orjson.loads(line) for line in lines], args.runs)
    # CPU seconds too (ours summed over its threads): on a shared machine they move less than wall time.
    ours_cpu = median_seconds(lambda: _native.import_traces([("bench", data)], "otlp"), args.runs, time.process_time)
    peer_cpu = median_seconds(lambda: [orjson.loads(line) for line in lines], args.runs, time.process_time)
    output, summary = _native.import_traces([("bench", data)], "otlp")
    print(f"input: {megabytes:.1f} MB, {len(lines)} lines; output {len(output) / 1e6:.1f} MB, "
          f"{summary['conversations']} conversations, {summary['records']} records")
    print(f"velkin import (parse + map + write): {ours:.3f} s  {megabytes / ours:7.1f} MB/s")
    print(f"orjson.loads alone:                  {peer:.3f} s  {megabytes / peer:7.1f} MB/s")
    print(f"ratio (ours / orjson throughput):    {peer / ours:.2f}x")
    print(f"cpu seconds: ours {ours_cpu:.3f} (all threads), orjson {peer_cpu:.3f}; ratio {peer_cpu / ours_cpu:.2f}x")
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
