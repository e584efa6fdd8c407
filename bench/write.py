"""Write throughput of velkin._core.write_agentlog against orjson.

    python bench/write.py            # the records of a 100 MB trace
    python bench/write.py --mb 10

The records come from the shared generated trace (cached in bench/data/).
The peer is one orjson.dumps per record joined with line feeds, which gives
the same kind of output without any validation. Figures are medians of
several runs with the garbage collector off while timing.
"""
from __future__ import annotations

import argparse
import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

from gen_trace import trace_path  # noqa: E402
from timing import median_seconds  # noqa: E402


def load_records(mb: int) -> list:
    import orjson
    with open(trace_path(mb), "rb") as f:
        return [orjson.loads(line) for line in f if line.strip()]


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--mb", type=int, default=100, help="size of the generated trace in MB")
    parser.add_argument("--runs", type=int, default=5)
    args = parser.parse_args(argv)

    import orjson

    from velkin._core import write_agentlog

    records = load_records(args.mb)
    ours = write_agentlog(records)
    peer = b"".join(orjson.dumps(r) + b"\n" for r in records)
    megabytes = len(ours) / 1e6
    print(f"{len(records)} records, {megabytes:.1f} MB written (orjson: {len(peer) / 1e6:.1f} MB)")

    ours_s = median_seconds(lambda: write_agentlog(records), args.runs)
    peer_s = median_seconds(lambda: b"".join(orjson.dumps(r) + b"\n" for r in records), args.runs)
    print(f"velkin write_agentlog  {ours_s * 1e3:9.1f} ms  {megabytes / ours_s:8.1f} MB/s")
    print(f"orjson dumps + join    {peer_s * 1e3:9.1f} ms  {len(peer) / 1e6 / peer_s:8.1f} MB/s")
    print(f"speed vs orjson: {peer_s / ours_s:.2f}x (target >= 1.0x)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
