"""What the comparing commands (`diff`, `compare`) share: the output and gate
options, printing a report in the chosen format, and the price-table warnings."""
from __future__ import annotations

import argparse
import os
import shutil
import sys
from typing import TYPE_CHECKING

from velkin.command_io import (
    EXIT_OK,
    EXIT_REGRESSION,
    STDOUT,
    emit_output,
    json_output,
    output_targets,
    warn,
    write_outputs,
)
from velkin.defaults import LISTED_CONVERSATIONS
from velkin.traces import responses

if TYPE_CHECKING:
    from velkin.reports.model import Report


def add_report_options(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--format", choices=("text", "json", "markdown"), default="text",
                        help="text for a terminal (default), json, or markdown for a PR comment or job summary")
    parser.add_argument("--json", dest="format", action="store_const", const="json", help="same as --format json")
    parser.add_argument("--html", metavar="OUT.html", help="also write a self-contained HTML report")
    parser.add_argument("--junit", metavar="FILE.xml", help="also write a JUnit XML report for CI")
    parser.add_argument("--fail-on", choices=("error", "warning", "never"), default="error",
                        help="exit 1 on findings of this severity or worse (default: error)")
    parser.add_argument("--color", choices=("auto", "always", "never"), default="auto",
                        help="colour the text report (auto: on a terminal, unless NO_COLOR is set)")
    parser.add_argument("--all", action="store_true",
                        help="list every divergence, not only the top five, and every conversation")
    parser.add_argument("--show-turns", action="store_true",
                        help="show the texts of both turns side by side for each divergence listed")
    parser.add_argument("--list-conversations", metavar="N", type=count_value, default=LISTED_CONVERSATIONS,
                        help="the text, HTML and JUnit reports list at most N conversations in full, regressed "
                             f"first, and count the rest (default: {LISTED_CONVERSATIONS})")


def count_value(text: str) -> int:
    if not (text.isascii() and text.isdigit()):
        raise argparse.ArgumentTypeError(f"invalid count {text!r}: expected a whole number, 0 or more")
    return int(text)


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


def command_inputs(args) -> list:
    """The files a comparing command reads, which none of its outputs may replace."""
    inputs = []
    for name in ("baseline", "candidate", "pricing"):
        value = getattr(args, name, None)
        inputs += value if isinstance(value, list) else [value] if value else []
    return inputs


def report_targets(args) -> list:
    """Standard output, then the --html and --junit files; refused (OutputError) before any work when one of
    them cannot be written as asked."""
    return output_targets([STDOUT] + [path for path in (args.html, args.junit) if path], command_inputs(args))


def json_alone(args) -> bool:
    """Only the JSON document is asked for: no report model is built."""
    return args.format == "json" and not (args.html or args.junit)


def publish_json(document, warnings: list, gate_fails: bool) -> int:
    """Prints the JSON document alone (a dict, or its text as UTF-8 bytes), and applies the gate as the
    command read it from its dict."""
    for w in warnings:
        warn(w)
    emit_output(json_output(document))
    return EXIT_REGRESSION if gate_fails else EXIT_OK


def report_files(args) -> list:
    """(path, renderer) of the --html and --junit files asked for: a renderer loads only when its file is."""
    files = []
    if args.html:
        from velkin.reports import html

        files.append((args.html, html.render))
    if args.junit:
        from velkin.reports import junit

        files.append((args.junit, junit.render))
    return files


def publish(report: Report, document: dict, args) -> int:
    """Prints the report in the chosen format and writes the requested files, all or none, and applies the gate."""
    for w in report.warnings:
        warn(w)
    files = report_files(args)
    listed = args.list_conversations
    targets = report_targets(args)
    if args.format == "json":
        output = json_output(document)  # json.dumps(indent=2, ensure_ascii=False), terminal controls escaped
    elif args.format == "markdown":
        from velkin.reports import markdown

        output = markdown.render(report) + "\n"
    else:
        from velkin.reports import terminal

        output = terminal.render(report, width=terminal_width(), color=use_color(args.color), show_all=args.all,
                                 show_turns=args.show_turns, conversations_listed=args.list_conversations) + "\n"
    write_outputs([(targets[0], output)] + [(target, render(report, listed)) for target, (_, render) in
                                                  zip(targets[1:], files)])
    return EXIT_REGRESSION if report.gate_fails(args.fail_on) else EXIT_OK


# Price tables ---------------------------------------------------------------------

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


def negative_price_warnings(path: str, table: dict) -> list:
    warnings = []
    for name, prices in table.items():
        values = prices.values() if isinstance(prices, dict) else prices
        if any(v < 0 for v in values):
            warnings.append(f"{path}: model {name!r} has a negative price")
    return warnings


def unpriced_warning(label: str, name: str, count: int) -> str:
    """A side's responses that the cost axis counts at 0: `name` is "" for responses naming no model."""
    if not name:
        return (f"{label}: {count} response{'s' if count != 1 else ''} name no model; "
                f"{'they cost' if count != 1 else 'it costs'} 0 on the cost axis")
    return (f"{label}: model {name!r} is not in the price table; its "
            f"{count} response{'s' if count != 1 else ''} cost 0 on the cost axis")


def price_warnings(path: str, table: dict, sides: dict) -> list:
    """Negative prices, and per side the responses the table cannot price, counted by model."""
    warnings = negative_price_warnings(path, table)
    for label, records in sides.items():
        missing: dict = {}
        nameless = 0
        for record in responses(records):
            name = record["payload"].get("model") if isinstance(record["payload"], dict) else None
            if not isinstance(name, str):
                nameless += 1
            elif price_entry(table, name) is None:
                missing[name] = missing.get(name, 0) + 1
        warnings += [unpriced_warning(label, name, count) for name, count in sorted(missing.items())]
        if nameless:
            warnings.append(unpriced_warning(label, "", nameless))
    return warnings
