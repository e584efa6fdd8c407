"""Import time against the number of logged conversations that look alike.

    python bench/import_ids.py                     # 4k, 8k, 16k and 32k of each shape
    python bench/import_ids.py --conversations 4000 64000 --runs 1

Two shapes of OpenAI log lines, each figure the median wall time of `import_agentlog` over the
lines in memory; a time that grows with the square of the count means each conversation is
searched against all those before it:
- identical: identical lines (no conversation id of their own, nothing sent back) are each a
  conversation of its own, all wanting one name: the first keeps it, the rest get "-2", "-3", ...
- same start: conversations of two calls that open with the same request, each answered
  differently, then followed up: each follow-up must find, among all the opening calls, the one
  whose answer it sends back.
"""
from __future__ import annotations

import argparse
import json
import os
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

from timing import median_seconds  # noqa: E402

from velkin import importers  # noqa: E402


def line(messages, answer) -> bytes:
    return json.dumps({
        "request": {"model": "gpt-4o-mini", "messages": messages},
        "response": {"id": "chatcmpl-1", "created": 1746176400, "model": "gpt-4o-mini-2024-07-18",
                     "choices": [{"index": 0, "finish_reason": "stop",
                                  "message": {"role": "assistant", "content": answer}}],
                     "usage": {"prompt_tokens": 14, "completion_tokens": 2}},
        "latency_ms": 412,
    }, separators=(",", ":")).encode() + b"\n"


OPENING = [{"role": "system", "content": "You book flights."}, {"role": "user", "content": "Book me a flight."}]


def identical(count: int) -> bytes:
    return line([{"role": "user", "content": "What is the capital of France?"}], "Paris.") * count


def same_start(count: int) -> bytes:
    answers = [f"Where to, traveller {i}?" for i in range(count)]
    first = b"".join(line(OPENING, answer) for answer in answers)
    return first + b"".join(line(OPENING + [{"role": "assistant", "content": answer},
                                            {"role": "user", "content": f"To city {i}."}], "Booked.")
                            for i, answer in enumerate(answers))


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--conversations", type=int, nargs="+", default=[4000, 8000, 16000, 32000])
    parser.add_argument("--runs", type=int, default=3)
    args = parser.parse_args()
    print(f"{'shape':>10} {'conversations':>13} {'MB':>6} {'seconds':>9} {'us/conv':>8}")
    for shape, make in (("identical", identical), ("same start", same_start)):
        for count in args.conversations:
            data = make(count)
            _, summary = importers.import_agentlog(data, "openai")
            assert summary["conversations"] == count, summary
            seconds = median_seconds(lambda data=data: importers.import_agentlog(data, "openai"), args.runs,
                                     time.perf_counter)
            print(f"{shape:>10} {count:>13} {len(data) / 1e6:>6.1f} {seconds:>9.3f} {seconds / count * 1e6:>8.1f}")


if __name__ == "__main__":
    main()
