"""`velkin compare` end to end on runs like users': files on disk, replicates that reword whole answers.

    python bench/compare_files.py                       # 10,000 conversations
    python bench/compare_files.py --sizes 1000 10000 100000 --runs 3

Each suite has N conversations of 10 responses of 40 words, a tool call every third response, and four
runs (two a side) whose every answer is drawn afresh from its task's words, as reruns of an agent
reword theirs. The runs are written once as .agentlog files under bench/data/. A suite larger than
10,000 conversations (a multiple of it) repeats the 10,000-conversation suite with its task and trace
ids renumbered: drawing 4 million answers word by word in Python takes hours, and each conversation
costs the comparison what it costs at 10,000.

Every figure is the median of --runs, with the garbage collector on, and comes as wall time and as
processor time (user + system, all threads): the machine's cores are shared, so the wall time says as
much about the neighbours as about velkin, while the processor time is what the work costs.

- "api": `velkin.compare.compare_runs(files, files)` in a new process, the files read natively; the
  time of the call alone, and the process's peak resident memory ("api MiB");
- "cli" / "cli json": the `velkin compare` command as a user runs it (text, `--json`), a new process
  each time, start-up included; "cli MiB" its peak resident memory;
- "orjson": orjson.loads of every line of the same files (reading them at all, the floor);
- "peer": `_core.compute_diff_report` per conversation, first baseline run against first candidate run,
  on records already in memory (the single-trace report a user would otherwise run); up to --peer-max
  conversations, as it holds every record as Python objects.
"""
from __future__ import annotations

import argparse
import json
import os
import random
import re
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
CHUNK = 5000  # conversations drawn and written at a time
BASE = 10_000  # the largest suite drawn afresh
NAMES = ("b1", "b2", "c1", "c2")
TASK_ID = re.compile(rb'"task_id":(\d+)')


def drawn_suite(conversations: int, paths: list) -> None:
    from velkin import write_agentlog

    rng = random.Random(conversations)
    for path in paths:
        tmp = path.with_suffix(".tmp")
        with open(tmp, "wb") as out:
            for first in range(0, conversations, CHUNK):
                records = [r for task in range(first, min(first + CHUNK, conversations))
                           for r in conversation(rng, path.stem[-2:], task, words=WORDS, reworded=WORDS,
                                                 tool_every=3)]
                out.write(write_agentlog(records))
        os.replace(tmp, path)


def repeated_suite(conversations: int, paths: list) -> None:
    """The BASE suite again and again, each copy's tasks numbered after the last and its ids renamed."""
    for name, path in zip(NAMES, paths):
        data = (DATA / f"suite-{BASE}-{name}.agentlog").read_bytes()
        tmp = path.with_suffix(".tmp")
        with open(tmp, "wb") as out:
            for copy in range(conversations // BASE):
                renamed = data.replace(f'"{name}-'.encode(), f'"{name}.{copy}-'.encode())
                out.write(TASK_ID.sub(lambda m: b'"task_id":%d' % (int(m[1]) + copy * BASE), renamed))
        os.replace(tmp, path)


def suite_files(conversations: int) -> list:
    paths = [DATA / f"suite-{conversations}-{name}.agentlog" for name in NAMES]
    if not all(p.exists() for p in paths):
        DATA.mkdir(exist_ok=True)
        if conversations <= BASE:
            drawn_suite(conversations, paths)
        elif conversations % BASE:
            raise SystemExit(f"a suite above {BASE} conversations is a multiple of {BASE}")
        else:
            suite_files(BASE)
            repeated_suite(conversations, paths)
    return paths


def child(command: list) -> tuple:
    """Wall seconds, processor seconds, peak resident MiB and standard output of a new process."""
    started = time.perf_counter()
    process = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    out = process.stdout.read()
    _, status, usage = os.wait4(process.pid, 0)
    process.returncode = os.waitstatus_to_exitcode(status)
    if process.returncode not in (0, 1):
        raise SystemExit(f"{command} exited with {process.returncode}")
    return (time.perf_counter() - started, usage.ru_utime + usage.ru_stime, usage.ru_maxrss / 1024, out)


def timed(work) -> tuple:
    wall, cpu = time.perf_counter(), time.process_time()
    work()
    return time.perf_counter() - wall, time.process_time() - cpu


def api_child(paths: list) -> None:
    """Runs in a child: prints the wall and processor seconds of the call."""
    from velkin.compare import compare_runs

    print(json.dumps(timed(lambda: compare_runs(paths[:2], paths[2:], key="task_id"))))


def medians(samples: list) -> tuple:
    return tuple(statistics.median(column) for column in zip(*samples))


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--sizes", type=int, nargs="+", default=[BASE])
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--peer-max", type=int, default=BASE)
    parser.add_argument("--api-child", nargs=4, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.api_child:
        api_child(args.api_child)
        return
    import orjson

    from velkin import _core
    from velkin.compare import read_trace

    print(f"load average {os.getloadavg()[0]:.1f} on {os.cpu_count()} cores; seconds as wall/cpu, memory in MiB")
    print(f"{'conversations':>13} {'files MiB':>9} {'api s':>11} {'api MiB':>7} {'cli s':>11} {'cli json s':>11} "
          f"{'cli MiB':>7} {'peak/files':>10} {'orjson s':>11} {'peer s':>11} {'peer/api cpu':>12}")
    for size in args.sizes:
        paths = [str(p) for p in suite_files(size)]
        mib = sum(os.path.getsize(p) for p in paths) / 2**20
        api_runs = []
        for _ in range(args.runs):
            *_, peak, out = child([sys.executable, __file__, "--api-child", *paths])
            api_runs.append((*json.loads(out), peak))
        api_wall, api_cpu, api_peak = medians(api_runs)
        command = [sys.executable, "-m", "velkin", "compare", "--baseline", *paths[:2], "--candidate", *paths[2:],
                   "--key", "task_id", "--fail-on", "never"]
        cli_wall, cli_cpu, cli_peak, _ = medians([child(command)[:3] + (0,) for _ in range(args.runs)])
        json_wall, json_cpu, json_peak, _ = medians([child(command + ["--json"])[:3] + (0,) for _ in range(args.runs)])

        def read_all() -> None:
            for path in paths:
                with open(path, "rb") as f:
                    for line in f:
                        orjson.loads(line)
        floor_wall, floor_cpu = medians([timed(read_all) for _ in range(args.runs)])
        peer = "-"
        ratio = "-"
        if size <= args.peer_max:
            by_task = []
            for path in (paths[0], paths[2]):
                tasks = {}
                for r in read_trace(path):
                    tasks.setdefault(r["meta"]["trace_id"].split("-", 1)[1], []).append(r)
                by_task.append(tasks)

            def peer_reports() -> None:
                for task, records in by_task[0].items():
                    _core.compute_diff_report(records, by_task[1][task], None, seed=0)
            peer_wall, peer_cpu = timed(peer_reports)
            peer = f"{peer_wall:.2f}/{peer_cpu:.2f}"
            ratio = f"{peer_cpu / api_cpu:.2f}"
            del by_task
        print(f"{size:>13} {mib:>9.0f} {api_wall:>5.2f}/{api_cpu:<5.2f} {api_peak:>7.0f} {cli_wall:>5.2f}/{cli_cpu:<5.2f} "
              f"{json_wall:>5.2f}/{json_cpu:<5.2f} {max(cli_peak, json_peak):>7.0f} "
              f"{max(api_peak, cli_peak, json_peak) / mib:>10.2f} {floor_wall:>5.2f}/{floor_cpu:<5.2f} "
              f"{peer:>11} {ratio:>12}", flush=True)


if __name__ == "__main__":
    main()
