"""Import time against the number of logged calls that all want one conversation id.

    python bench/import_ids.py                     # 4k, 8k, 16k and 32k identical OpenAI log lines
    python bench/import_ids.py --lines 4000 64000 --runs 1

Identical lines (no conversation id of their own, nothing sent back) are each a conversation of
its own, all derived from the same first message: the first is named by its digest, the rest
by the digest with "-2", "-3", ... . Each figure is the median wall time of `import_agentlog`
over the lines in memory; a time that grows with the square of the lines means each new name
is looked for from "-2" again.
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

LINE = json.dumps({
    "request": {"model": "gpt-4o-mini", "messages": [{"role": "user", "content": "What is the capital of France?"}]},
    "response": {"id": "chatcmpl-1", "created": 1746176400, "model": "gpt-4o-mini-2024-07-18",
                 "choices": [{"index": 0, "finish_reason": "stop",
                              "message": {"role": "assistant", "content": "Paris."}}],
                 "usage": {"prompt_tokens": 14, "completion_tokens": 2}},
    "latency_ms": 412,
}, separators=(",", ":")).encode() + b"\n"


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--lines", type=int, nargs="+", default=[4000, 8000, 16000, 32000])
    parser.add_argument("--runs", type=int, default=3)
    args = parser.parse_args()
    print(f"{'lines':>8} {'MB':>6} {'seconds':>9} {'us/line':>8}")
    for count in args.lines:
        data = LINE * count
        data_out, summary = importers.import_agentlog(data, "openai")
        assert summary["conversations"] == count, summary
        seconds = median_seconds(lambda: importers.import_agentlog(data, "openai"), args.runs, time.perf_counter)
        print(f"{count:>8} {len(data) / 1e6:>6.1f} {seconds:>9.3f} {seconds / count * 1e6:>8.1f}")


if __name__ == "__main__":
    main()
