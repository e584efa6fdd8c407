"""Compare whole runs of an eval suite: conversations paired across runs,
statistics calibrated against replicate runs of the baseline.

A run is an ``.agentlog`` file, a directory of them, or a list of record
dicts. ``compare_runs`` returns the suite report as a dict; ``velkin compare``
(`velkin.compare_command`) prints it with the reports of `velkin.reports`.
"""
from __future__ import annotations

import os
from pathlib import Path
from typing import Literal

from velkin import _native
from velkin.defaults import DEFAULT_SEED
from velkin.traces import TRACE_SUFFIX, read_trace


def trace_files(run) -> list:
    """The files of a run given as a path: the file, or a directory's .agentlog files in name order."""
    if not isinstance(run, (str, os.PathLike)):
        raise TypeError(f"a run is a path or a list of records, not {type(run).__name__}")
    path = Path(run)
    if not path.is_dir():
        return [path]
    files = sorted(p for p in path.iterdir() if p.suffix == TRACE_SUFFIX and p.is_file())
    if not files:
        raise ValueError(f"{path}: no {TRACE_SUFFIX} files in the directory")
    return files


def load_run(run) -> list:
    """The records of one run: a file, a directory of .agentlog files (in name order) or a record list."""
    if isinstance(run, list):
        return run
    records = []
    for file in trace_files(run):
        records.extend(read_trace(file))
    return records


def native_run(run):
    """A run as the native comparison takes it: a record list, or the paths of its files, which it reads
    itself without making Python objects of their records (only paths it can name: UTF-8 ones)."""
    if isinstance(run, list):
        return run
    paths = tuple(str(file) for file in trace_files(run))
    if any(not _is_utf8(path) for path in paths):
        return load_run(run)
    return paths


def _is_utf8(path: str) -> bool:
    try:
        path.encode("utf-8")
    except UnicodeEncodeError:
        return False
    return True


def as_runs(runs, side: str, read=load_run) -> list:
    """One path, one record list, or a list of runs."""
    if isinstance(runs, (str, os.PathLike)):
        runs = [runs]
    elif isinstance(runs, list) and runs and all(isinstance(r, dict) for r in runs):
        runs = [runs]
    if not isinstance(runs, (list, tuple)) or not runs:
        raise ValueError(f"no {side} runs")
    return [read(run) for run in runs]


def compare_runs(baseline_runs, candidate_runs, key=None, outcome=None, pricing=None,
                 seed=DEFAULT_SEED, *, threads=None, key_pattern=None, findings="all") -> dict:
    """Compare candidate runs against baseline runs, conversation by conversation.

    Runs of one side that hold the same conversation (by `key`) are its
    replicates; with two or more baseline replicates every statistic is
    calibrated against their run-to-run noise. `key` names a metadata member
    to pair conversations by, and `key_pattern` a regular expression whose
    first group (else whole match) is the part of its value that pairs. By
    default the key is whichever of the task id, the trace id, a metadata
    member and the first user request tells every run's conversations apart
    and pairs the most; when none does, the comparison refuses rather than
    pair by position, unless `key` is "position". `outcome` names a numeric
    metadata member to compare (default "reward" where conversations carry
    it). `threads` defaults to one per core; from 1 to 1024 are taken, at most four per core run.
    With `findings="changed"`, only the conversations that regressed or improved list their findings:
    all that the text, Markdown and JUnit reports show (an error makes its conversation regressed).
    """
    return _compared(baseline_runs, candidate_runs, key, outcome, pricing, seed, threads, key_pattern, False,
                     findings)


def compare_runs_json(baseline_runs, candidate_runs, key=None, outcome=None, pricing=None,
                      seed=DEFAULT_SEED, *, threads=None, key_pattern=None) -> tuple:
    """`compare_runs`, its report written as JSON without becoming Python objects: the text `velkin compare
    --json` prints (UTF-8 bytes), and the report dict listing only the conversations that regressed."""
    return _compared(baseline_runs, candidate_runs, key, outcome, pricing, seed, threads, key_pattern, True)


def _compared(baseline_runs, candidate_runs, key, outcome, pricing, seed, threads, key_pattern, json: bool,
              findings: Literal["all", "changed"] = "all"):
    baseline = as_runs(baseline_runs, "baseline", native_run)
    candidate = as_runs(candidate_runs, "candidate", native_run)
    try:
        return _native.compare_runs(baseline, candidate, key, outcome, pricing, seed, threads, key_pattern, json,
                                    findings)
    except ValueError as e:
        raise with_advice(e, baseline + candidate) from None


def with_advice(error: ValueError, runs: list) -> ValueError:
    """A file the native comparison could not parse, read again as `read_trace` reads it, whose error
    says what the file holds and what to do (a TraceError with the same message)."""
    for run in runs:
        for path in run if isinstance(run, tuple) else ():
            if str(error).startswith(f"{path}: "):
                try:
                    read_trace(path)
                except ValueError as advised:
                    return advised
    return error
