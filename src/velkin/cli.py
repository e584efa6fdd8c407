"""The `velkin` command: diff two traces, validate a trace, print a content id.

Exit codes: 0 success; 1 when a diff report holds a recommendation of
severity "error" (so the command can gate CI); 2 for bad input or bad usage.
"""
from __future__ import annotations

import argparse
import json
import signal
import sys
import textwrap

from velkin import _core

EXIT_OK = 0
EXIT_REGRESSION = 1
EXIT_BAD_INPUT = 2

MAX_SEED = 2**64 - 1
WRAP_WIDTH = 100
# The parser stops at a 1 GiB trace total and reads at most 16 MiB + 1 bytes of the line
# that crosses it, so nothing beyond this many bytes can change its result.
TRACE_READ_LIMIT = 1073741824 + 16777216 + 1


class InputError(Exception):
    """Bad input named by the user; its text goes to stderr as is."""


def read_bytes(path: str, limit: int = -1) -> bytes:
    try:
        with open(path, "rb") as f:
            return f.read(limit)
    except OSError as e:
        raise InputError(f"cannot read {path}: {e.strerror or e}") from None


def read_trace(path: str) -> list:
    try:
        return _core.parse_agentlog(read_bytes(path, TRACE_READ_LIMIT))
    except ValueError as e:
        raise InputError(f"{path}: {e}") from None


def _reject_constant(name: str):
    raise ValueError(f"{name} is not valid JSON")


def read_json(path: str):
    try:
        return json.loads(read_bytes(path).decode("utf-8"), parse_constant=_reject_constant)
    except UnicodeDecodeError as e:
        raise InputError(f"{path}: not UTF-8 text: {e.reason} at byte {e.start}") from None
    except ValueError as e:
        raise InputError(f"{path}: invalid JSON: {e}") from None
    except RecursionError:
        raise InputError(f"{path}: invalid JSON: nested too deeply") from None


def read_pricing(path: str) -> dict:
    """A model -> prices dict; a two-element list becomes the (input, output) pair form."""
    table = read_json(path)
    if not isinstance(table, dict):
        raise InputError(f"{path}: pricing must be a JSON object mapping model names to prices")
    return {model: tuple(prices) if isinstance(prices, list) and len(prices) == 2 else prices
            for model, prices in table.items()}


def seed_value(text: str) -> int:
    try:
        seed = int(text, 10)
    except ValueError:
        raise argparse.ArgumentTypeError(f"invalid seed {text!r}: expected an integer") from None
    if not 0 <= seed <= MAX_SEED:
        raise argparse.ArgumentTypeError(f"invalid seed {text}: must be between 0 and {MAX_SEED}")
    return seed


# Readable report -----------------------------------------------------------

def fmt_value(x, sign: str = "") -> str:
    if x is None:
        return "n/a"
    if x != 0 and abs(x) < 0.01:
        return f"{x:{sign}.3g}"  # prices per response are often below a cent
    return f"{x:{sign}.3f}"


def fmt_delta(x) -> str:
    return fmt_value(x, sign="+")


def fmt_confidence(x) -> str:
    return "n/a" if x is None else f"{x:.2f}"


def table(header: list, rows: list, right: set) -> list:
    """Lines of an aligned table; columns whose index is in `right` are right-aligned."""
    widths = [max(len(str(cell)) for cell in column) for column in zip(header, *rows)]
    lines = []
    for row in [header, *rows]:
        cells = [str(c).rjust(w) if i in right else str(c).ljust(w) for i, (c, w) in enumerate(zip(row, widths))]
        lines.append("  ".join(cells).rstrip())
    return lines


def wrapped(text: str, indent: str) -> list:
    return textwrap.wrap(text, WRAP_WIDTH, initial_indent=indent, subsequent_indent=indent) or [indent]


def rows_section(report: dict) -> list:
    header = ["axis", "baseline", "candidate", "delta", "95% interval", "severity", "n", "flags"]
    rows = []
    for row in report["rows"]:
        if row["n"] == 0:  # no samples: the zeros are placeholders, not measurements
            numbers = ["-", "-", "-", "-"]
        else:
            numbers = [fmt_value(row["baseline_median"]), fmt_value(row["candidate_median"]), fmt_delta(row["delta"]),
                       f"[{fmt_delta(row['ci95_low'])}, {fmt_delta(row['ci95_high'])}]"]
        rows.append([row["axis"], *numbers, row["severity"], row["n"], ", ".join(row["flags"]) or "-"])
    return table(header, rows, right={1, 2, 3, 6})


def divergence_line(d: dict) -> str:
    return (f"baseline turn {d['baseline_turn']}, candidate turn {d['candidate_turn']}: "
            f"{d['kind']} on {d['primary_axis']} (confidence {fmt_confidence(d['confidence'])})")


def divergences_section(report: dict) -> list:
    first = report["first_divergence"]
    if first is None:
        return ["First divergence: none"]
    lines = ["First divergence: " + divergence_line(first), *wrapped(first["explanation"], "  ")]
    if report["divergences"]:
        lines += ["", "Divergences (ranked):"]
        rows = [[f"b{d['baseline_turn']}/c{d['candidate_turn']}", d["kind"], d["primary_axis"],
                 fmt_confidence(d["confidence"]), d["explanation"]] for d in report["divergences"]]
        lines += ["  " + line for line in table(["turns", "kind", "axis", "conf", "explanation"], rows, right={3})]
    return lines


def recommendations_section(report: dict) -> list:
    recommendations = report["recommendations"]
    if not recommendations:
        return ["Recommendations: none"]
    explanations = {d["explanation"] for d in report["divergences"]}
    lines = ["Recommendations:"]
    width = max(len(r["severity"]) for r in recommendations)
    for r in recommendations:
        lines.append(f"  {r['severity'].upper():<{width}}  {r['message']}  [{r['action']}, {r['axis']}]")
        # A divergence's rationale is its explanation, already shown above.
        if r["rationale"] not in explanations:
            lines += wrapped(r["rationale"], " " * (width + 4))
    return lines


def drill_down_section(report: dict) -> list:
    if not report["drill_down"]:
        return ["Drill-down: no response pairs"]
    rows = []
    for pair in report["drill_down"]:
        moved = sorted((s for s in pair["axis_scores"] if s["normalized_delta"]),
                       key=lambda s: -s["normalized_delta"])[:3]
        rows.append([pair["pair_index"], fmt_value(pair["regression_score"]), pair["dominant_axis"],
                     ", ".join(f"{s['axis']} {fmt_delta(s['delta'])}" for s in moved) or "-"])
    header = ["pair", "score", "dominant", "largest changes"]
    return ["Drill-down (most regressed pairs):", *["  " + line for line in table(header, rows, right={0, 1})]]


def render_report(report: dict, baseline_path: str, candidate_path: str, counts: tuple) -> str:
    lines = [
        f"baseline   {report['baseline_trace_id'] or '-'}  ({baseline_path}, {counts[0]} responses)",
        f"candidate  {report['candidate_trace_id'] or '-'}  ({candidate_path}, {counts[1]} responses)",
        f"pairs      {report['pair_count']}",
        "",
        *rows_section(report),
        "",
        *divergences_section(report),
        "",
        *recommendations_section(report),
        "",
        *drill_down_section(report),
    ]
    return "\n".join(lines)


def has_error(report: dict) -> bool:
    return any(r["severity"] == "error" for r in report["recommendations"])


# Commands ------------------------------------------------------------------

def response_count(records: list) -> int:
    return sum(1 for r in records if r["kind"] == "chat_response")


def cmd_diff(args) -> int:
    baseline = read_trace(args.baseline)
    candidate = read_trace(args.candidate)
    pricing = read_pricing(args.pricing) if args.pricing else None
    try:
        report = _core.compute_diff_report(baseline, candidate, pricing, args.seed)
    except ValueError as e:  # the records are already valid, so this is the price table
        raise InputError(f"{args.pricing or 'pricing'}: {e}") from None
    if args.json:
        print(json.dumps(report, indent=2, ensure_ascii=False))
    else:
        counts = (response_count(baseline), response_count(candidate))
        print(render_report(report, args.baseline, args.candidate, counts))
    return EXIT_REGRESSION if has_error(report) else EXIT_OK


def cmd_validate(args) -> int:
    records = read_trace(args.file)
    print(f"ok: {len(records)} records")
    return EXIT_OK


def cmd_id(args) -> int:
    document = read_json(args.file)
    try:
        print(_core.content_id(document))
    except ValueError as e:
        raise InputError(f"{args.file}: {e}") from None
    return EXIT_OK


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="velkin",
        description="Read, validate and compare .agentlog traces of LLM agents.",
        epilog="exit codes: 0 ok, 1 the diff found an error-level regression, 2 bad input or usage")
    parser.add_argument("--version", action="version", version=f"velkin {_core.__version__}")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    diff = commands.add_parser("diff", help="nine-axis diff of a candidate trace against a baseline",
                               description="Compare CANDIDATE against BASELINE. Exits 1 when a "
                                           "recommendation has severity error.")
    diff.add_argument("baseline", metavar="BASELINE", help="baseline .agentlog file")
    diff.add_argument("candidate", metavar="CANDIDATE", help="candidate .agentlog file")
    diff.add_argument("--pricing", metavar="FILE.json",
                      help='prices per token by model: {"model": [input, output]} or an object of prices')
    diff.add_argument("--seed", type=seed_value, metavar="N", help="seed for reproducible bootstrap intervals")
    diff.add_argument("--json", action="store_true", help="print the report dict as JSON")
    diff.set_defaults(run=cmd_diff)

    validate = commands.add_parser("validate", help="parse a trace and report the first error")
    validate.add_argument("file", metavar="FILE", help=".agentlog file")
    validate.set_defaults(run=cmd_validate)

    content_id = commands.add_parser("id", help="content id of a JSON document")
    content_id.add_argument("file", metavar="FILE.json", help="JSON file")
    content_id.set_defaults(run=cmd_id)

    from velkin import import_command  # its own module; it builds on this one's errors
    import_command.register(commands)
    return parser


def main(argv=None) -> int:
    if hasattr(signal, "SIGPIPE"):
        # Behave like other filters when the reader goes away (`velkin diff ... | head`).
        signal.signal(signal.SIGPIPE, signal.SIG_DFL)
    # Report text holds non-ASCII ("→", "—"); never fail on a narrow terminal encoding.
    for stream in (sys.stdout, sys.stderr):
        if hasattr(stream, "reconfigure"):
            stream.reconfigure(errors="backslashreplace")
    args = build_parser().parse_args(argv)
    try:
        return args.run(args)
    except InputError as e:
        print(f"velkin: error: {e}", file=sys.stderr)
        return EXIT_BAD_INPUT


if __name__ == "__main__":
    sys.exit(main())
