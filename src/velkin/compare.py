"""Compare whole runs of an eval suite: conversations paired across runs,
statistics calibrated against replicate runs of the baseline.

A run is an ``.agentlog`` file, a directory of them, or a list of record
dicts. ``compare_runs`` returns the suite report as a dict; ``velkin compare``
prints it with the reports of `velkin.reports`.
"""
from __future__ import annotations

import os
import sys
from pathlib import Path

from velkin import _core, _native
from velkin.defaults import DEFAULT_SEED

EXIT_BAD_INPUT = 2

TRACE_SUFFIX = ".agentlog"
# The parser stops at a 1 GiB trace and reads at most 16 MiB + 1 bytes of the
# line that crosses it, so nothing beyond this many bytes can change its result.
TRACE_READ_LIMIT = 1073741824 + 16777216 + 1


def read_trace(path: Path) -> list:
    try:
        with open(path, "rb") as f:
            data = f.read(TRACE_READ_LIMIT)
    except OSError as e:
        raise ValueError(f"cannot read {path}: {e.strerror or e}") from None
    try:
        return _core.parse_agentlog(data)
    except ValueError as e:
        raise ValueError(f"{path}: {e}") from None


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
    itself without making Python objects of their records."""
    return run if isinstance(run, list) else tuple(str(file) for file in trace_files(run))


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
                 seed=DEFAULT_SEED, *, threads=None) -> dict:
    """Compare candidate runs against baseline runs, conversation by conversation.

    Runs of one side that hold the same conversation (by `key`) are its
    replicates; with two or more baseline replicates every statistic is
    calibrated against their run-to-run noise. `key` names a metadata member
    to pair conversations by (default: shared trace ids, else the first user
    request); `outcome` a numeric metadata member to compare (default
    "reward" where conversations carry it). `threads` defaults to one per core.
    """
    baseline = as_runs(baseline_runs, "baseline", native_run)
    candidate = as_runs(candidate_runs, "candidate", native_run)
    report = _native.compare_runs(baseline, candidate, key, outcome, pricing, seed, threads)
    return {"version": _core.__version__, **report}


# Command ---------------------------------------------------------------------

def add_command(commands, seed_type, read_pricing) -> None:
    """Registers `velkin compare` among the CLI's subcommands."""
    compare = commands.add_parser(
        "compare", help="compare runs of an eval suite, calibrated against baseline replicates",
        description="Compare CANDIDATE runs against BASELINE runs conversation by conversation. Pass two or "
                    "more baseline runs (the unchanged agent run again) to calibrate against their noise. "
                    "Exits 1 when a recommendation has severity error, 2 on bad input.")
    compare.add_argument("--baseline", nargs="+", required=True, metavar="RUN",
                         help="baseline run: an .agentlog file or a directory of them")
    compare.add_argument("--candidate", nargs="+", required=True, metavar="RUN", help="candidate run")
    compare.add_argument("--key", metavar="MEMBER", help="pair conversations by this metadata member")
    compare.add_argument("--outcome", metavar="MEMBER",
                         help='numeric metadata member to compare (default "reward" where present)')
    compare.add_argument("--pricing", metavar="FILE.json", help="prices per token by model")
    compare.add_argument("--seed", type=seed_type, default=DEFAULT_SEED, metavar="N",
                         help=f"seed of the bootstrap and the relabelling (default {DEFAULT_SEED})")
    from velkin import cli  # loaded already: it is what calls this

    cli.add_report_options(compare)
    compare.set_defaults(run=lambda args: run_command(args, read_pricing))


def run_command(args, read_pricing) -> int:
    from velkin import cli
    from velkin.reports import model

    try:
        pricing = read_pricing(args.pricing) if args.pricing else None
        baseline = as_runs(args.baseline, "baseline")
        candidate = as_runs(args.candidate, "candidate")
        report = compare_runs(baseline, candidate, key=args.key, outcome=args.outcome, pricing=pricing,
                              seed=args.seed)
    except ValueError as e:
        print(f"velkin: error: {e}", file=sys.stderr)
        return EXIT_BAD_INPUT
    sides = {"baseline": [r for run in baseline for r in run], "candidate": [r for run in candidate for r in run]}
    warnings = cli.price_warnings(args.pricing, pricing, sides) if pricing is not None else []
    view = model.from_compare(report, paths=(" ".join(args.baseline), " ".join(args.candidate)), warnings=warnings,
                              rows_of=model.conversation_rows(baseline, candidate, _native.alignment))
    return cli.publish(view, report, args)
