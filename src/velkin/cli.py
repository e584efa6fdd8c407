"""The `velkin` command: diff two traces, validate a trace, print a content id.

Exit codes: 0 success; 1 when the gate fails (by default: a finding of
severity "error"); 2 for bad input, bad usage or output that cannot be written.
"""
from __future__ import annotations

import argparse
import json
import os
import shutil
import signal
import sys

from velkin import _core, _native
from velkin.command_io import InputError, OutputError, write_atomic
from velkin.defaults import DEFAULT_SEED
from velkin.reports import html, junit, markdown, model, terminal

EXIT_OK = 0
EXIT_REGRESSION = 1
EXIT_BAD_INPUT = 2

MAX_SEED = 2**64 - 1
# The parser stops at a 1 GiB trace total and reads at most 16 MiB + 1 bytes of the line
# that crosses it, so nothing beyond this many bytes can change its result.
TRACE_READ_LIMIT = 1073741824 + 16777216 + 1
UTF8_BOM = b"\xef\xbb\xbf"


def warn(message: str) -> None:
    print(f"velkin: warning: {message}", file=sys.stderr)


# Input ------------------------------------------------------------------------

def read_bytes(path: str, limit: int = -1) -> bytes:
    try:
        with open(path, "rb") as f:
            return f.read(limit)
    except OSError as e:
        raise InputError(f"cannot read {path}: {e.strerror or e}") from None


def parse_advice(data: bytes) -> str:
    """What the user can do about a trace that does not parse, judged from its first bytes."""
    if data.startswith(UTF8_BOM):
        return "the file starts with a UTF-8 byte order mark (BOM); save it as UTF-8 without a BOM"
    head = data.lstrip()[:4096]
    if head.startswith(b"["):
        return ("the file is one JSON array, not one record per line: if it holds agent runs of another "
                "format, convert them with `velkin import`")
    markers = {b'"messages"': "a chat log (OpenAI messages)", b'"choices"': "an OpenAI API response log",
               b'"resourceSpans"': "an OpenTelemetry export", b'"traj"': "agent trajectories",
               b'"role"': "a chat log"}
    for marker, kind in markers.items():
        if marker in head and b'"kind"' not in head:
            return f"the file looks like {kind}, not an .agentlog trace; convert it with `velkin import`"
    return ""


def read_trace(path: str) -> list:
    data = read_bytes(path, TRACE_READ_LIMIT)
    try:
        return _core.parse_agentlog(data)
    except ValueError as e:
        advice = parse_advice(data)
        raise InputError(f"{path}: {e}" + (f"\nvelkin: advice: {advice}" if advice else "")) from None


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


# Checks before a comparison -----------------------------------------------------

def price_entry(table: dict, name: str):
    """The table's entry for a model, trying the undated name of a dated snapshot as the cost axis does."""
    if name in table:
        return table[name]
    raw = name.encode("utf-8", "surrogatepass")
    for length, pattern in ((11, "-dddd-dd-dd"), (9, "-dddddddd")):
        tail = raw[-length:]
        if len(raw) > length and all(c == ord("-") if p == "-" else 48 <= c <= 57 for c, p in zip(tail, pattern)):
            return table.get(raw[:-length].decode("utf-8", "surrogatepass"))
    return None


def price_warnings(path: str, table: dict, sides: dict) -> list:
    warnings = []
    for name, prices in table.items():
        values = prices.values() if isinstance(prices, dict) else prices if isinstance(prices, (list, tuple)) else ()
        if any(isinstance(v, (int, float)) and not isinstance(v, bool) and v < 0 for v in values):
            warnings.append(f"{path}: model {name!r} has a negative price")
    for label, records in sides.items():
        missing, nameless = {}, 0
        for record in model.responses(records):
            name = record["payload"].get("model") if isinstance(record["payload"], dict) else None
            if not isinstance(name, str):
                nameless += 1
            elif price_entry(table, name) is None:
                missing[name] = missing.get(name, 0) + 1
        for name, count in sorted(missing.items()):
            warnings.append(f"{label}: model {name!r} is not in the price table; its "
                            f"{count} response{'s' if count != 1 else ''} cost 0 on the cost axis")
        if nameless:
            warnings.append(f"{label}: {nameless} response{'s' if nameless != 1 else ''} name no model; "
                            f"{'they cost' if nameless != 1 else 'it costs'} 0 on the cost axis")
    return warnings


def require_responses(path: str, records: list) -> None:
    if not model.responses(records):
        raise InputError(f"{path}: no chat_response records: there is nothing to compare")


# Output -------------------------------------------------------------------------

def emit(text: str) -> None:
    """One block of standard output; a failure to write it is an OutputError."""
    if sys.stdout is None:
        raise OutputError("cannot write the output: standard output is closed")
    try:
        sys.stdout.write(text + "\n")
        sys.stdout.flush()
    except OSError as e:
        raise OutputError(f"cannot write the output: {e.strerror or e}") from None


def use_color(choice: str) -> bool:
    if choice != "auto":
        return choice == "always"
    if os.environ.get("NO_COLOR") or os.environ.get("TERM") == "dumb":
        return False
    return sys.stdout is not None and sys.stdout.isatty()


def terminal_width() -> int:
    """COLUMNS when set, the terminal's width on a terminal, 80 otherwise."""
    columns = os.environ.get("COLUMNS", "")
    if columns.isdigit() and int(columns) > 0:
        return int(columns)
    if sys.stdout is not None and sys.stdout.isatty():
        return shutil.get_terminal_size((80, 24)).columns
    return 80


def publish(report: model.Report, document: dict, args) -> int:
    """Prints the report in the chosen format, writes the requested files and applies the gate."""
    for w in report.warnings:
        warn(w)
    if args.html:
        write_atomic(args.html, html.render(report))
    if args.junit:
        write_atomic(args.junit, junit.render(report))
    if args.format == "json":
        emit(json.dumps(document, indent=2, ensure_ascii=False))
    elif args.format == "markdown":
        emit(markdown.render(report))
    else:
        emit(terminal.render(report, width=terminal_width(), color=use_color(args.color), show_all=args.all,
                             show_turns=args.show_turns))
    return EXIT_REGRESSION if report.gate_fails(args.fail_on) else EXIT_OK


def add_report_options(parser: argparse.ArgumentParser) -> None:
    """The output and gate options every comparing command shares."""
    parser.add_argument("--format", choices=("text", "json", "markdown"), default="text",
                        help="text for a terminal (default), json, or markdown for a PR comment or job summary")
    parser.add_argument("--json", dest="format", action="store_const", const="json", help="same as --format json")
    parser.add_argument("--html", metavar="OUT.html", help="also write a self-contained HTML report")
    parser.add_argument("--junit", metavar="FILE.xml", help="also write a JUnit XML report for CI")
    parser.add_argument("--fail-on", choices=("error", "warning", "never"), default="error",
                        help="exit 1 on findings of this severity or worse (default: error)")
    parser.add_argument("--color", choices=("auto", "always", "never"), default="auto",
                        help="colour the text report (auto: on a terminal, unless NO_COLOR is set)")
    parser.add_argument("--all", action="store_true", help="list every divergence, not only the top five")
    parser.add_argument("--show-turns", action="store_true",
                        help="show the texts of both turns side by side for each divergence listed")


# Commands -------------------------------------------------------------------------

def cmd_diff(args) -> int:
    baseline = read_trace(args.baseline)
    candidate = read_trace(args.candidate)
    require_responses(args.baseline, baseline)
    require_responses(args.candidate, candidate)
    pricing = read_pricing(args.pricing) if args.pricing else None
    try:
        report = _core.compute_diff_report(baseline, candidate, pricing, args.seed)
    except ValueError as e:  # the records are already valid, so this is the price table
        raise InputError(f"{args.pricing or 'pricing'}: {e}") from None
    warnings = []
    if baseline == candidate:
        warnings.append("baseline and candidate hold the same records: nothing can differ")
    if pricing is None:
        warnings.append("no --pricing given: every response costs 0 on the cost axis")
    else:
        warnings += price_warnings(args.pricing, pricing, {args.baseline: baseline, args.candidate: candidate})
    steps = _native.alignment(baseline, candidate)
    view = model.from_diff(report, steps, baseline, candidate, paths=(args.baseline, args.candidate),
                           seed=args.seed, version=_core.__version__, warnings=warnings)
    document = {"version": _core.__version__, "seed": args.seed, **report}
    return publish(view, document, args)


def cmd_validate(args) -> int:
    records = read_trace(args.file)
    emit(f"ok: {len(records)} records")
    return EXIT_OK


def cmd_id(args) -> int:
    document = read_json(args.file)
    try:
        emit(_core.content_id(document))
    except ValueError as e:
        raise InputError(f"{args.file}: {e}") from None
    return EXIT_OK


# Subcommands: each add_* function registers one command; build_parser lists them.

def add_diff(commands) -> None:
    diff = commands.add_parser("diff", help="nine-axis diff of a candidate trace against a baseline",
                               description="Compare CANDIDATE against BASELINE: a verdict, the nine axes and "
                                           "what changed. Exits 1 when the gate (--fail-on) fails.")
    diff.add_argument("baseline", metavar="BASELINE", help="baseline .agentlog file")
    diff.add_argument("candidate", metavar="CANDIDATE", help="candidate .agentlog file")
    diff.add_argument("--pricing", metavar="FILE.json",
                      help='prices per token by model: {"model": [input, output]} or an object of prices')
    diff.add_argument("--seed", type=seed_value, metavar="N", default=DEFAULT_SEED,
                      help=f"seed of the bootstrap intervals (default {DEFAULT_SEED})")
    add_report_options(diff)
    diff.set_defaults(run=cmd_diff)


def add_validate(commands) -> None:
    validate = commands.add_parser("validate", help="parse a trace and report the first error")
    validate.add_argument("file", metavar="FILE", help=".agentlog file")
    validate.set_defaults(run=cmd_validate)


def add_id(commands) -> None:
    content_id = commands.add_parser("id", help="content id of a JSON document")
    content_id.add_argument("file", metavar="FILE.json", help="JSON file")
    content_id.set_defaults(run=cmd_id)


class Parser(argparse.ArgumentParser):
    """argparse, except that a failure to print help or usage is not ignored."""

    def _print_message(self, message, file=None):
        if not message:
            return
        if file is None:  # help and version go to standard output, which is closed
            raise OutputError("cannot write the output: standard output is closed")
        file.write(message)


def build_parser() -> argparse.ArgumentParser:
    parser = Parser(
        prog="velkin",
        description="Read, validate and compare .agentlog traces of LLM agents.",
        epilog="exit codes: 0 ok, 1 the gate failed (a regression), 2 bad input, usage or output")
    parser.add_argument("--version", action="version", version=f"velkin {_core.__version__}")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")
    for register in (add_diff, add_validate, add_id):
        register(commands)

    from velkin import import_command  # its own module; it builds on this one's errors
    import_command.register(commands)
    from velkin import compare  # its own module, like import
    compare.add_command(commands, seed_value, read_pricing)
    return parser


def silence_stdout() -> None:
    """After a failed write, keep the interpreter's final flush from failing again."""
    try:
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
    except (OSError, AttributeError, ValueError):
        pass


def write_failure(error: OSError) -> int:
    silence_stdout()
    print(f"velkin: error: cannot write the output: {error.strerror or error}", file=sys.stderr)
    return EXIT_BAD_INPUT


def main(argv=None) -> int:
    if hasattr(signal, "SIGPIPE"):
        # Behave like other filters when the reader goes away (`velkin diff ... | head`).
        signal.signal(signal.SIGPIPE, signal.SIG_DFL)
    # Report text holds non-ASCII ("→", "—"); never fail on a narrow terminal encoding.
    for stream in (sys.stdout, sys.stderr):
        if hasattr(stream, "reconfigure"):
            stream.reconfigure(errors="backslashreplace")
    try:
        try:
            args = build_parser().parse_args(argv)
        except SystemExit as done:  # --help, --version or a usage error, already printed
            code = done.code
        else:
            code = args.run(args)
        if sys.stdout is not None:
            sys.stdout.flush()  # what argparse printed is still buffered
        return code
    except InputError as e:
        print(f"velkin: error: {e}", file=sys.stderr)
        return EXIT_BAD_INPUT
    except OutputError as e:
        silence_stdout()
        print(f"velkin: error: {e}", file=sys.stderr)
        return EXIT_BAD_INPUT
    except OSError as e:  # a write of argparse's or another command's to standard output
        return write_failure(e)


if __name__ == "__main__":
    sys.exit(main())
