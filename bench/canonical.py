"""Canonical JSON throughput against canonicaljson and rfc8785, and the cost of content_id.

    python bench/canonical.py             # the payloads of a 100 MB trace
    python bench/canonical.py --mb 10

1. canonical_bytes over every payload of the shared generated trace against
   canonicaljson.encode_canonical_json and rfc8785.dumps on the same payloads.
   orjson.dumps with sorted keys is shown as a floor for walking the same
   objects: it writes no canonical form (no NFC, other float and key rules).
2. The same against orjson on payloads whose texts are almost all beyond
   ASCII (accented Latin, Greek, Cyrillic, CJK, Hangul, emoji), already NFC.
3. content_id of one ~10 MB payload against canonical_bytes followed by
   hashlib.sha256 (the hashing must add next to nothing).

Figures are medians of several runs with the garbage collector off while timing.
Needs `pip install canonicaljson rfc8785`.
"""
from __future__ import annotations

import argparse
import hashlib
import os
import random
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

from gen_trace import trace_path  # noqa: E402
from timing import median_seconds  # noqa: E402


def load_payloads(mb: int) -> list:
    import orjson
    with open(trace_path(mb), "rb") as f:
        return [orjson.loads(line)["payload"] for line in f if line.strip()]


def payload_of_size(payloads: list, target_bytes: int, canonical_bytes) -> dict:
    """One payload of about target_bytes canonical bytes, built from trace payloads."""
    items, size = [], 0
    for payload in payloads:
        items.append(payload)
        size += len(canonical_bytes(payload)) + 1
        if size >= target_bytes:
            break
    return {"kind": "bundle", "items": items}


_NON_ASCII_WORDS = ("café naïve Zürich Ångström straße λόγος δεδομένα данные поиск 東京 データ 検索 结果 "
                    "모델 서울 🚀 ✅").split()


def non_ascii_payloads(count: int = 2000) -> list:
    rng = random.Random(1)
    return [{"text": " ".join(rng.choices(_NON_ASCII_WORDS, k=200)),
             "items": [{"name": " ".join(rng.choices(_NON_ASCII_WORDS, k=5)), "n": i} for i in range(10)]}
            for _ in range(count)]


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--mb", type=int, default=100, help="size of the generated trace in MB")
    parser.add_argument("--runs", type=int, default=5)
    args = parser.parse_args(argv)

    import canonicaljson
    import orjson
    import rfc8785

    from velkin._core import canonical_bytes, content_id

    payloads = load_payloads(args.mb)
    megabytes = sum(len(canonical_bytes(p)) for p in payloads) / 1e6
    print(f"{len(payloads)} payloads, {megabytes:.1f} MB of canonical bytes")

    def run_all(encode):
        return lambda: [encode(p) for p in payloads]

    ours = median_seconds(run_all(canonical_bytes), args.runs)
    print(f"{'velkin canonical_bytes':<24} {ours * 1e3:9.1f} ms  {megabytes / ours:8.1f} MB/s")
    for name, encode, runs, target in (
        ("canonicaljson", canonicaljson.encode_canonical_json, args.runs, 3.0),
        ("rfc8785.dumps", rfc8785.dumps, max(1, min(args.runs, 3)), 30.0),
    ):
        seconds = median_seconds(run_all(encode), runs)
        print(f"{name:<24} {seconds * 1e3:9.1f} ms  {megabytes / seconds:8.1f} MB/s"
              f"  velkin is {seconds / ours:6.2f}x faster (target >= {target:g}x)")
    floor = median_seconds(run_all(lambda p: orjson.dumps(p, option=orjson.OPT_SORT_KEYS)), args.runs)
    print(f"{'orjson, sorted keys':<24} {floor * 1e3:9.1f} ms  {megabytes / floor:8.1f} MB/s"
          f"  velkin takes {ours / floor:6.2f}x its time (not a canonical writer)")

    wide = non_ascii_payloads()
    wide_ours = median_seconds(lambda: [canonical_bytes(p) for p in wide], max(args.runs, 7))
    wide_floor = median_seconds(lambda: [orjson.dumps(p, option=orjson.OPT_SORT_KEYS) for p in wide],
                                max(args.runs, 7))
    print(f"non-ASCII payloads: velkin {wide_ours * 1e3:.1f} ms, orjson sorted keys {wide_floor * 1e3:.1f} ms, "
          f"velkin takes {wide_ours / wide_floor:.2f}x its time (target <= 1.25x)")

    big = payload_of_size(payloads, 10_000_000, canonical_bytes)
    big_mb = len(canonical_bytes(big)) / 1e6
    runs = max(args.runs, 7)
    with_id = median_seconds(lambda: content_id(big), runs)
    pair = median_seconds(lambda: hashlib.sha256(canonical_bytes(big)).hexdigest(), runs)
    print(f"content_id of a {big_mb:.1f} MB payload          {with_id * 1e3:8.1f} ms")
    print(f"canonical_bytes + hashlib.sha256 of it    {pair * 1e3:8.1f} ms")
    print(f"content_id / pair: {with_id / pair:.3f} (target <= 1.1)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
