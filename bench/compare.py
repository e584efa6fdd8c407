"""Time and memory of velkin.compare.compare_runs on generated eval suites.

    python bench/compare.py                    # 1,000, 3,000 and 10,000 conversations
    python bench/compare.py --sizes 10000

A suite has N conversations of 10 responses each and two runs per side; the
runs of one conversation reword their answers, and now and then call another
tool or another argument value, like reruns of a stochastic agent. The records
are built in memory (as a caller holding runs would pass them) with a fixed seed.

"cpu s" is the processor time of one run (all threads): on a busy shared
machine it shows the cost better than the wall time. "lock cpu s" is the
processor time of the calling thread, which holds the interpreter lock: it
converts the records (while other threads compare the conversations already
converted) and builds the result. "compare s" runs two comparing threads,
"1 thread s" one (the calling thread converts beside it in both). "serial %"
is the share of the one-thread time that a second thread does not halve, from
the two wall times (Amdahl's law: 2 * T2 - T1 over T1), so it is only as
steady as the machine is idle.

Peer: velkin._core.compute_diff_report over the same pairs of conversations
(first baseline run against first candidate run, one call per conversation),
the single-trace report a user would otherwise run conversation by
conversation. Times are medians of several runs with the garbage collector off.
Memory is measured in a child process per size: the resident memory the input
records take, and the peak growth while compare_runs works beyond them.
"""
from __future__ import annotations

import argparse
import gc
import os
import random
import resource
import statistics
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

from timing import median_seconds  # noqa: E402

RESPONSES = 10
WORDS = ("flight booking seat change refund baggage economy business window aisle reservation date "
         "passenger payment card certificate upgrade cancel confirm itinerary delay gate").split()
TOOLS = ("get_user_details", "get_reservation_details", "search_direct_flight", "update_reservation", "calculate")


def conversation(rng: random.Random, run: str, task: int, *, words: int = 30, reworded: int = 3,
                 tool_every: int = 2) -> list:
    """A run of one task: each answer drawn from the task's words, of which each run rewords `reworded`
    (`words` for answers drawn afresh in every run, as real reruns word theirs)."""
    trace = f"{run}-{task}"
    meta = {"trace_id": trace, "task_id": task, "reward": float(rng.random() < 0.6)}
    records = [{"version": "0.1", "id": f"{trace}-m", "kind": "metadata", "ts": "2025-01-01T00:00:00Z",
                "parent": None, "meta": meta, "payload": {"source": "bench"}},
               {"version": "0.1", "id": f"{trace}-q", "kind": "chat_request", "ts": "2025-01-01T00:00:00Z",
                "parent": f"{trace}-m", "meta": {"trace_id": trace},
                "payload": {"messages": [{"role": "user", "content": f"Task {task}: please help with my trip."}]}}]
    task_rng = random.Random(task)  # what the task asks for, shared by every run
    topic = task_rng.sample(WORDS, 12)
    for turn in range(RESPONSES):
        text = [task_rng.choice(WORDS) for _ in range(words)]
        # A rerun's words mostly stay on the task's topic.
        for position in (range(words) if reworded >= words else (rng.randrange(words) for _ in range(reworded))):
            text[position] = rng.choice(topic if rng.random() < 0.7 else WORDS)
        content = [{"type": "text", "text": " ".join(text)}]
        if turn % tool_every == 0:
            tool = TOOLS[(task + turn) % len(TOOLS)] if rng.random() > 0.05 else rng.choice(TOOLS)
            value = f"id-{task}-{turn}" if rng.random() > 0.05 else f"id-{rng.randrange(100)}"
            content.append({"type": "tool_use", "id": f"{trace}-{turn}", "name": tool, "input": {"id": value}})
        records.append({"version": "0.1", "id": f"{trace}-r{turn}", "kind": "chat_response",
                        "ts": "2025-01-01T00:00:00Z", "parent": records[-1]["id"], "meta": {"trace_id": trace},
                        "payload": {"model": "nimbus-pro", "content": content,
                                    "stop_reason": "tool_use" if turn % tool_every == 0 else "end_turn",
                                    "usage": {"input_tokens": 800 + rng.randrange(100),
                                              "output_tokens": 40 + rng.randrange(20)},
                                    "latency_ms": 500 + rng.randrange(300)}})
    return records


def suite(conversations: int) -> tuple:
    rng = random.Random(1)
    runs = [[r for task in range(conversations) for r in conversation(rng, name, task)]
            for name in ("b1", "b2", "c1", "c2")]
    return runs[:2], runs[2:]


def cpu_seconds(work, runs: int) -> tuple:
    """Medians of the processor time of all threads and of the calling thread."""
    total, main = [], []
    for _ in range(runs):
        gc.collect()
        start_total, start_main = time.process_time(), time.thread_time()
        work()
        main.append(time.thread_time() - start_main)
        total.append(time.process_time() - start_total)
    return statistics.median(total), statistics.median(main)


def rss_bytes() -> int:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def measure_memory(conversations: int) -> None:
    """Runs in a child: prints the input's resident bytes and the peak growth beyond it."""
    from velkin.compare import compare_runs

    before = rss_bytes()
    baseline, candidate = suite(conversations)
    with_input = rss_bytes()
    compare_runs(baseline, candidate, key="task_id")
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
    print(with_input - before, max(0, peak - with_input))


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sizes", type=int, nargs="+", default=[1000, 3000, 10000])
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--memory-child", type=int, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.memory_child:
        measure_memory(args.memory_child)
        return

    from velkin import _core
    from velkin.compare import compare_runs

    print(f"{'conversations':>13} {'compare s':>10} {'1 thread s':>11} {'cpu s':>6} {'lock cpu s':>11} {'serial %':>9} "
          f"{'peer s':>7} {'peer/ours':>9} {'input MiB':>10} {'peak extra MiB':>15} {'peak/input':>10}")
    for size in args.sizes:
        baseline, candidate = suite(size)
        ours = median_seconds(lambda: compare_runs(baseline, candidate, key="task_id", threads=2), args.runs)
        single = median_seconds(lambda: compare_runs(baseline, candidate, key="task_id", threads=1), args.runs)
        cpu, lock_cpu = cpu_seconds(lambda: compare_runs(baseline, candidate, key="task_id", threads=2), args.runs)
        pairs = []
        per = len(baseline[0]) // size
        for i in range(size):
            pairs.append((baseline[0][i * per:(i + 1) * per], candidate[0][i * per:(i + 1) * per]))
        peer = median_seconds(lambda: [_core.compute_diff_report(b, c, None, 0) for b, c in pairs], args.runs)
        baseline = candidate = pairs = None  # freed before the memory child runs
        child = subprocess.run([sys.executable, __file__, "--memory-child", str(size)], capture_output=True,
                               text=True, check=True)
        input_bytes, extra = map(int, child.stdout.split())
        print(f"{size:>13} {ours:>10.3f} {single:>11.3f} {cpu:>6.2f} {lock_cpu:>11.2f} {100 * (2 * ours - single) / single:>9.1f} "
              f"{peer:>7.3f} {peer / ours:>9.2f} "
              f"{input_bytes / 2**20:>10.1f} {extra / 2**20:>15.1f} {(input_bytes + extra) / input_bytes:>10.2f}")


if __name__ == "__main__":
    main()
