"""What `velkin compare` adds over the API call on the same files: runs interleaved, one of each in turn.

    python bench/command_overhead.py                    # the 10,000-conversation suite, 5 rounds
    python bench/command_overhead.py --size 1000 --rounds 9

Each round runs, each in a new process: the API call `velkin.compare.compare_runs(files, files)` (the
call alone is timed, as bench/compare_files.py times it), the command with its text report, and the
command with `--json`, whose output is read through a pipe. The commands are timed whole: the
interpreter's start, the imports, the report and the process's end. Interleaving puts every kind of run
under the same neighbours; on shared cores the differences of one round are the figures to read, and
their medians are printed beside the medians of each kind. The suites are those of
bench/compare_files.py, which writes them on its first run.
"""
from __future__ import annotations

import argparse
import json
import os
import statistics
import subprocess
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
NAMES = ("b1", "b2", "c1", "c2")


def child(command: list) -> tuple:
    """Wall and processor seconds of a new process, and its standard output."""
    started = time.perf_counter()
    process = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    out = process.stdout.read()
    _, status, usage = os.wait4(process.pid, 0)
    if os.waitstatus_to_exitcode(status) not in (0, 1):
        raise SystemExit(f"{command} failed")
    return time.perf_counter() - started, usage.ru_utime + usage.ru_stime, out


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--size", type=int, default=10_000)
    parser.add_argument("--rounds", type=int, default=5)
    args = parser.parse_args()
    paths = [str(HERE / "data" / f"suite-{args.size}-{name}.agentlog") for name in NAMES]
    if not all(os.path.exists(p) for p in paths):
        raise SystemExit(f"no suite of {args.size}: run `python bench/compare_files.py --sizes {args.size}` first")
    api = [sys.executable, str(HERE / "compare_files.py"), "--api-child", *paths]
    command = [sys.executable, "-m", "velkin", "compare", "--baseline", *paths[:2], "--candidate", *paths[2:],
               "--key", "task_id", "--fail-on", "never"]
    kinds = {"api": api, "text": command, "json": command + ["--json"]}
    runs: dict = {kind: [] for kind in kinds}
    print(f"{args.size} conversations, {os.cpu_count()} cores; seconds as wall/cpu")
    for number in range(args.rounds):
        for kind, argv in kinds.items():
            wall, cpu, out = child(argv)
            runs[kind].append(tuple(json.loads(out)) if kind == "api" else (wall, cpu))
        load = os.getloadavg()[0]
        print(f"round {number + 1}: " + "  ".join(f"{k} {w:.2f}/{c:.2f}" for k, (w, c) in
                                                 ((k, v[-1]) for k, v in runs.items())) + f"  (load {load:.1f})")
    for kind in ("text", "json"):
        over = [(w - aw, c - ac) for (w, c), (aw, ac) in zip(runs[kind], runs["api"])]
        print(f"{kind:>4}: median {statistics.median(w for w, _ in runs[kind]):.2f}/"
              f"{statistics.median(c for _, c in runs[kind]):.2f}, over the api call by a median "
              f"{statistics.median(w for w, _ in over):+.2f}/{statistics.median(c for _, c in over):+.2f}")
    print(f" api: median {statistics.median(w for w, _ in runs['api']):.2f}/"
          f"{statistics.median(c for _, c in runs['api']):.2f}")


if __name__ == "__main__":
    main()
