"""content_id of one large payload against OpenSSL's SHA-256 (hashlib) of its canonical bytes.

    python bench/sha256.py            # a 10 MB payload
    python bench/sha256.py --mb 100

The payload is one ASCII string, so that writing its canonical bytes is a
scan and a copy and content_id's time is mostly the hashing. Medians of
several runs. bench/cpp/bench_sha256.cpp times each compression path alone.
"""
from __future__ import annotations

import argparse
import hashlib
import os
import random
import string
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

from timing import median_seconds  # noqa: E402


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--mb", type=int, default=10, help="size of the payload in MB")
    parser.add_argument("--runs", type=int, default=9)
    args = parser.parse_args(argv)

    from velkin._core import canonical_bytes, content_id

    rng = random.Random(3)
    text = "".join(rng.choices(string.ascii_letters + " ", k=args.mb * 1_000_000))
    data = canonical_bytes(text)
    if content_id(text) != "sha256:" + hashlib.sha256(data).hexdigest():
        print("content_id is not the SHA-256 of the canonical bytes", file=sys.stderr)
        return 1
    with_id = median_seconds(lambda: content_id(text), args.runs)
    openssl = median_seconds(lambda: hashlib.sha256(data).digest(), args.runs)
    print(f"content_id of {len(data) / 1e6:.1f} MB           {with_id * 1e3:8.1f} ms")
    print(f"hashlib.sha256 of its bytes       {openssl * 1e3:8.1f} ms")
    print(f"content_id / hashlib.sha256: {with_id / openssl:.2f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
