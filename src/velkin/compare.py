"""Compare whole runs of an eval suite: conversations paired across runs,
statistics calibrated against replicate runs of the baseline.

A run is an ``.agentlog`` file, a directory of them, or a list of record
dicts. ``compare_runs`` returns the suite report as a dict; ``velkin compare``
prints it.
"""
from __future__ import annotations

import os
import sys
import textwrap
from pathlib import Path

from velkin import _core, _native
from velkin.defaults import DEFAULT_SEED

EXIT_OK = 0
EXIT_REGRESSION = 1
EXIT_BAD_INPUT = 2

WIDTH = 80
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


def load_run(run) -> list:
    """The records of one run: a file, a directory of .agentlog files (in name order) or a record list."""
    if isinstance(run, list):
        return run
    if not isinstance(run, (str, os.PathLike)):
        raise TypeError(f"a run is a path or a list of records, not {type(run).__name__}")
    path = Path(run)
    if not path.is_dir():
        return read_trace(path)
    files = sorted(p for p in path.iterdir() if p.suffix == TRACE_SUFFIX and p.is_file())
    if not files:
        raise ValueError(f"{path}: no {TRACE_SUFFIX} files in the directory")
    records = []
    for file in files:
        records.extend(read_trace(file))
    return records


def as_runs(runs, side: str) -> list:
    """One path, one record list, or a list of runs."""
    if isinstance(runs, (str, os.PathLike)):
        runs = [runs]
    elif isinstance(runs, list) and runs and all(isinstance(r, dict) for r in runs):
        runs = [runs]
    if not isinstance(runs, (list, tuple)) or not runs:
        raise ValueError(f"no {side} runs")
    return [load_run(run) for run in runs]


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
    baseline = as_runs(baseline_runs, "baseline")
    candidate = as_runs(candidate_runs, "candidate")
    report = _native.compare_runs(baseline, candidate, key, outcome, pricing, seed, threads)
    return {"version": _core.__version__, **report}


# Terminal report -------------------------------------------------------------

def wrap(text: str, indent: str = "", width: int = WIDTH) -> list:
    return textwrap.wrap(text, width, initial_indent=indent, subsequent_indent=indent,
                         break_on_hyphens=False) or [indent]


def number(x, sign: str = "") -> str:
    if x is None:
        return "n/a"
    if x != 0 and abs(x) < 0.01:
        return f"{x:{sign}.2g}"
    if abs(x) >= 10000:
        return f"{x:{sign}.3g}"
    return f"{x:{sign}.3f}"


def p_text(p) -> str:
    return "-" if p is None else f"{p:.3f}"


def header(report: dict) -> list:
    runs = f"{report['baseline_runs']} baseline run(s), {report['candidate_runs']} candidate run(s)"
    key = report["key"]
    by = {"member": f"metadata member `{key['member']}`", "trace_id": "trace id",
          "first_request": "first user request"}[key["source"]]
    lines = [f"Verdict: {report['verdict'].upper()}", *wrap(runs)]
    lines += wrap(f"{report['paired']} conversation(s) paired by {by}; {report['baseline_only']} only in the "
                  f"baseline, {report['candidate_only']} only in the candidate.")
    if report["calibrated"]:
        lines += wrap(f"Calibrated against the baseline replicates: {report['relabellings']} relabellings, "
                      f"p-values adjusted by the Westfall-Young step-down method; seed {report['seed']}.")
    else:
        lines += wrap("UNCALIBRATED: no conversation has two baseline runs, so noise cannot be told from "
                      f"change; graded as the single-trace report grades. Seed {report['seed']}.")
    return lines


def axes_section(report: dict) -> list:
    lines = ["", f"{'axis':<12}{'baseline':>10}{'candidate':>10}{'delta':>9}  {'95% interval':<18}"
                 f"{'p adj':>6}  severity"]
    for axis in report["axes"]:
        if axis["n"] == 0:
            lines.append(f"{axis['axis']:<12}{'-':>10}{'-':>10}{'-':>9}  {'no samples':<18}{'-':>6}  none")
            continue
        interval = f"[{number(axis['ci95_low'], '+')}, {number(axis['ci95_high'], '+')}]"
        lines.append(f"{axis['axis']:<12}{number(axis['baseline_median']):>10}{number(axis['candidate_median']):>10}"
                     f"{number(axis['delta'], '+'):>9}  {interval:<18}{p_text(axis['p_adjusted']):>6}  "
                     f"{axis['severity']}")
    outcome = report["outcome"]
    if outcome:
        lines.append("")
        lines += wrap(f"Outcome `{outcome['member']}` over {outcome['n']} conversations: "
                      f"{number(outcome['baseline_mean'])} -> {number(outcome['candidate_mean'])} (delta "
                      f"{number(outcome['delta'], '+')}, 95% interval [{number(outcome['ci95_low'], '+')}, "
                      f"{number(outcome['ci95_high'], '+')}], adjusted p {p_text(outcome['p_adjusted'])}); "
                      f"{len(outcome['lost'])} lost.")
    lines += ["", f"{'signature':<18}{'conversations':>14}{'candidate':>11}{'baseline':>10}{'p adj':>8}"]
    for sig in report["signatures"]:
        base = "-" if sig["baseline_rate"] is None else f"{sig['baseline_rate']:.1%}"
        mark = "  *" if sig["significant"] else ""
        lines.append(f"{sig['kind']:<18}{sig['conversations']:>14}{sig['candidate_rate']:>11.1%}{base:>10}"
                     f"{p_text(sig['p_adjusted']):>8}{mark}")
    return lines


def worst_first(conversations: list) -> list:
    regressed = [c for c in conversations if c["regressed"]]
    errors = lambda c: sum(f["severity"] == "error" for f in c["findings"])  # noqa: E731
    return sorted(regressed, key=lambda c: -errors(c))


def conversations_section(report: dict) -> list:
    regressed = worst_first(report["conversations"])
    if not regressed:
        return ["", "Regressed conversations: none"]
    lines = ["", f"Regressed conversations ({len(regressed)}), worst first:"]
    for conversation in regressed:
        ids = ", ".join(conversation["candidate_ids"])
        lines += wrap(f"{conversation['key']}  (candidate {ids})", "  ")
        for finding in conversation["findings"]:
            if finding["severity"] == "error":
                lines += wrap(f"{finding['kind']}: {finding['explanation']}", "      ")
    return lines


def recommendations_section(report: dict) -> list:
    if not report["recommendations"]:
        return ["", "Recommendations: none"]
    lines = ["", "Recommendations:"]
    for advice in report["recommendations"]:
        lines += wrap(f"{advice['severity'].upper():<8}{advice['message']}", "  ")
    return lines


def render(report: dict) -> str:
    lines = [*header(report), *axes_section(report), *conversations_section(report),
             *recommendations_section(report)]
    return "\n".join(line.rstrip() for line in lines)


def has_error(report: dict) -> bool:
    return any(r["severity"] == "error" for r in report["recommendations"])


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
    compare.add_argument("--json", action="store_true", help="print the report as JSON")
    compare.set_defaults(run=lambda args: run_command(args, read_pricing))


def run_command(args, read_pricing) -> int:
    import json

    try:
        pricing = read_pricing(args.pricing) if args.pricing else None
        report = compare_runs(args.baseline, args.candidate, key=args.key, outcome=args.outcome,
                              pricing=pricing, seed=args.seed)
    except ValueError as e:
        print(f"velkin: error: {e}", file=sys.stderr)
        return EXIT_BAD_INPUT
    if args.json:
        print(json.dumps(report, indent=2, ensure_ascii=False))
    else:
        print(render(report))
    return EXIT_REGRESSION if has_error(report) else EXIT_OK
