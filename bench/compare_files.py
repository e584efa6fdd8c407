"""`velkin compare` end to end on runs like users': files on disk, replicates that reword whole answers.

    python bench/compare_files.py                       # 10,000 conversations
    python bench/compare_files.py --sizes 1000 10000 --runs 3

Each suite has N conversations of 10 responses of 40 words, a tool call every third response, and four
runs (two a side) whose every answer is drawn afresh from its task's words, as reruns of an agent
reword theirs. The runs are written once as .agentlog files under bench/data/. Timed, with the garbage
collector on, medians of --runs:

- "api s": `velkin.compare.compare_runs(files, files)`, the files read natively;
- "cli s" / "cli json s": the `velkin compare` command as a user runs it, a new process each time;
- "orjson s": orjson.loads of every line of the same files (reading them at all, the floor);
- "peer s": `_core.compute_diff_report` per conversation, first baseline run against first candidate
  run, on records already in memory (the single-trace report a user would otherwise run).
"""
from __future__ import annotations

import argparse
import os
import random
import statistics
import subprocess
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
DATA = HERE / "data"
sys.path.insert(0, str(HERE))
from compare import conversation  # noqa: E402

WORDS = 40


def suite_files(conversations: int) -> list:
    from velkin import write_agentlog

    paths = [DATA / f"suite-{conversations}-{name}.agentlog" for name in ("b1", "b2", "c1", "c2")]
    if not all(p.exists() for p in paths):
        DATA.mkdir(exist_ok=True)
        rng = random.Random(conversations)
        for path in paths:
            records = [r for task in range(conversations)
                       for r in conversation(rng, path.stem[-2:], task, words=WORDS, reworded=WORDS, tool_every=3)]
            tmp = path.with_suffix(".tmp")
            tmp.write_bytes(write_agentlog(records))
            os.replace(tmp, path)
    return paths


def median_seconds(work, runs: int) -> float:
    times = []
    for _ in range(runs):
        started = time.perf_counter()
        work()
        times.append(time.perf_counter() - started)
    return statistics.median(times)


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--sizes", type=int, nargs="+", default=[10000])
    parser.add_argument("--runs", type=int, default=3)
    args = parser.parse_args()
    import orjson

    from velkin import _core
    from velkin.compare import compare_runs, read_trace

    print(f"{'conversations':>13} {'files MiB':>9} {'api s':>7} {'cli s':>7} {'cli json s':>10} "
          f"{'orjson s':>8} {'peer s':>7} {'peer/api':>8}")
    for size in args.sizes:
        paths = suite_files(size)
        mib = sum(p.stat().st_size for p in paths) / 2**20
        api = median_seconds(lambda: compare_runs(paths[:2], paths[2:], key="task_id"), args.runs)
        command = [sys.executable, "-m", "velkin", "compare", "--baseline", *map(str, paths[:2]),
                   "--candidate", *map(str, paths[2:]), "--key", "task_id", "--fail-on", "never"]
        cli = median_seconds(lambda: subprocess.run(command, capture_output=True, check=True), args.runs)
        cli_json = median_seconds(lambda: subprocess.run(command + ["--json"], capture_output=True, check=True),
                                  args.runs)

        def read_all() -> None:
            for path in paths:
                with open(path, "rb") as f:
                    for line in f:
                        orjson.loads(line)
        floor = median_seconds(read_all, args.runs)
        baseline, candidate = read_trace(paths[0]), read_trace(paths[2])
        by_trace_b, by_trace_c = {}, {}
        for records, into in ((baseline, by_trace_b), (candidate, by_trace_c)):
            for r in records:
                into.setdefault(r["meta"]["trace_id"].split("-", 1)[1], []).append(r)

        def peer() -> None:
            for task, records in by_trace_b.items():
                _core.compute_diff_report(records, by_trace_c[task], None, seed=0)
        single = median_seconds(peer, 1)
        print(f"{size:>13} {mib:>9.1f} {api:>7.2f} {cli:>7.2f} {cli_json:>10.2f} {floor:>8.2f} {single:>7.2f} "
              f"{single / api:>8.2f}")


if __name__ == "__main__":
    main()
