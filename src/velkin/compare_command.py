"""`velkin compare`: whole runs of an eval suite compared conversation by conversation."""
from __future__ import annotations

import os

from velkin import _native
from velkin.command_io import (
    EXIT_CODES,
    input_error,
    read_pricing,
    seed_value,
    shown,
)
from velkin.compare import compare_runs, compare_runs_json, load_run
from velkin.defaults import DEFAULT_SEED
from velkin.report_command import (
    add_report_options,
    json_alone,
    negative_price_warnings,
    publish,
    publish_json,
    report_targets,
)
from velkin.reports import gate


def register(commands) -> None:
    compare = commands.add_parser(
        "compare", help="compare runs of an eval suite, calibrated against baseline replicates",
        description="Compare CANDIDATE runs against BASELINE runs conversation by conversation. Pass two or "
                    "more baseline runs (the unchanged agent run again) to calibrate against their noise.",
        epilog=EXIT_CODES)
    compare.add_argument("--baseline", nargs="+", required=True, metavar="RUN",
                         help="baseline run: an .agentlog file or a directory of them")
    compare.add_argument("--candidate", nargs="+", required=True, metavar="RUN", help="candidate run")
    compare.add_argument("--key", metavar="NAME",
                         help="pair conversations by this identifier (a metadata member, e.g. task_id, "
                              "session.id, metadata.task_id); 'position' pairs look-alike conversations in file order")
    compare.add_argument("--key-pattern", metavar="REGEX",
                         help="pair by the part of the --key value this matches (its first group, else the match), "
                              "e.g. 'T[0-9]+' pairs baseline-T01 with candidate-T01")
    compare.add_argument("--outcome", metavar="MEMBER",
                         help='numeric metadata member to compare (default "reward" where present)')
    compare.add_argument("--pricing", metavar="FILE.json", help="prices per token by model")
    compare.add_argument("--seed", type=seed_value, default=DEFAULT_SEED, metavar="N",
                         help=f"seed of the bootstrap and the relabelling (default {DEFAULT_SEED})")
    add_report_options(compare)
    compare.set_defaults(run=run)


def file_size(path: str):
    """The size of a run given as a file; None for a directory or an unreadable path."""
    try:
        return os.path.getsize(path) if os.path.isfile(path) else None
    except OSError:
        return None


SAME_BYTES_BLOCK = 1 << 20


def same_bytes(path: str, other: str) -> bool:
    """Whether two files of one size hold the same bytes, read side by side up to the first block that
    differs (replicate runs differ within their first block); False when either cannot be read."""
    try:
        with open(path, "rb") as f, open(other, "rb") as g:
            while True:
                block = f.read(SAME_BYTES_BLOCK)
                if block != g.read(SAME_BYTES_BLOCK):
                    return False
                if not block:
                    return True
    except OSError:
        return False


def same_input_warnings(baseline: list, candidate: list) -> list:
    """A run on both sides, or two runs with the same bytes, make the comparison say nothing."""
    warnings = []
    baseline_paths = {os.path.realpath(p) for p in baseline}
    for path in candidate:
        if os.path.realpath(path) in baseline_paths:
            warnings.append(f"{path} is given as both a baseline and a candidate run: "
                            "its conversations are compared with themselves")
    firsts: list = []  # (side, path, size, real path) of the first run of each content
    for side, paths in (("baseline", baseline), ("candidate", candidate)):
        for path in paths:
            size = file_size(path)
            if size is None:
                continue
            real = os.path.realpath(path)
            # Only files of one size can be byte-identical.
            first = next((f for f in firsts if f[2] == size and (f[3] == real or same_bytes(f[1], path))), None)
            if first is None:
                firsts.append((side, path, size, real))
            elif first[3] != real:
                warnings.append(f"{first[0]} run {first[1]} and {side} run {path} are byte-identical: "
                                "replicates of one run say nothing about run-to-run noise")
    return warnings


def reader(run: str):
    """A function that reads a run's records for the page, when it first shows one of its conversations."""
    def read() -> list:
        try:
            return load_run(run)
        except ValueError as e:
            raise input_error(e) from None
    return read


def run(args) -> int:
    report_targets(args)
    pricing = read_pricing(args.pricing) if args.pricing else None
    alone = json_alone(args)
    try:
        # The files are read natively; their records become Python objects only for the page that shows turns.
        # The JSON document alone is written natively too, and the report dict then lists only the
        # conversations that regressed, which the gate reads.
        # The text, Markdown and JUnit reports show the findings of changed conversations only; the JSON
        # document and the page show every one.
        shows_every_finding = args.format == "json" or args.html
        options = {} if alone else {"findings": "all" if shows_every_finding else "changed"}
        compare = compare_runs_json if alone else compare_runs
        compared = compare(args.baseline, args.candidate, key=args.key, outcome=args.outcome, pricing=pricing,
                           seed=args.seed, key_pattern=args.key_pattern, **options)
    except ValueError as e:
        raise input_error(e) from None
    document, report = compared if alone else (None, compared)
    warnings = same_input_warnings(args.baseline, args.candidate) + gate.pricing_warnings(report)
    if pricing is not None:
        warnings += negative_price_warnings(args.pricing, pricing)
    if alone:
        return publish_json(document, warnings, gate.compare_gate_fails(report, args.fail_on))
    from velkin.reports import model  # the report model loads for the reports that show it, not for --json

    rows_of = model.conversation_rows([reader(run) for run in args.baseline], [reader(run) for run in args.candidate],
                                      _native.alignment) if args.html else None
    paths = (" ".join(map(shown, args.baseline)), " ".join(map(shown, args.candidate)))
    view = model.from_compare(report, paths=paths, warnings=warnings, rows_of=rows_of)
    return publish(view, report, args)
