"""`velkin import`: turn other tools' traces into one .agentlog file."""
from __future__ import annotations

import os
import sys

from velkin import importers
from velkin.command_io import InputError, write_atomic

EXIT_OK = 0


STDIN = "-"


def register(commands) -> None:
    command = commands.add_parser(
        "import", help="convert OTLP JSON, OpenAI or Anthropic logs, or tau-bench results to .agentlog",
        description="Convert traces written by other tools into one .agentlog file. Without --from the "
                    "format of each input is detected and named on stderr.")
    command.add_argument("inputs", nargs="+", metavar="INPUT",
                         help="input file ('-' for standard input); an OTLP logs file goes beside its traces file")
    command.add_argument("-o", "--output", required=True, metavar="OUT.agentlog", help="file to write")
    command.add_argument("--from", dest="format", choices=importers.FORMATS, metavar="FORMAT",
                         help="format of every input: " + ", ".join(importers.FORMATS))
    command.set_defaults(run=run)


def sources(inputs: list) -> list:
    named = []
    for name in inputs:
        if name == STDIN:
            named.append(("<stdin>", sys.stdin.buffer.read()))
        elif not os.path.isfile(name):
            raise InputError(f"cannot read {name}: no such file" if not os.path.exists(name)
                             else f"cannot read {name}: not a regular file")
        else:
            named.append((name, name))
    return named


def report(summary: dict, named: list, detected: bool, output: str) -> None:
    def say(text):
        print(f"velkin: {text}", file=sys.stderr)
    if detected:
        for (name, _), format in zip(named, summary["formats"]):
            say(f"{name}: detected {format}")
    say(f"wrote {summary['conversations']} conversations ({summary['records']} records) to {output}")
    if summary["skipped"]:
        counts = ", ".join(f"{count} {kind}" for kind, count in sorted(summary["skipped"].items()))
        say(f"skipped {sum(summary['skipped'].values())} spans the importer does not map: {counts}")
    if summary["responses_without_content"]:
        say(f"{summary['responses_without_content']} responses carry no message texts (the instrumentation "
            "captured none): their structure, usage and latency are imported")
    if summary["responses_without_model"]:
        say(f"{summary['responses_without_model']} responses name no model: the cost axis cannot price them")


def run(args) -> int:
    named = sources(args.inputs)
    try:
        data, summary = importers.import_agentlog([source for _, source in named], args.format,
                                                  names=[name for name, _ in named])
    except ValueError as e:
        raise InputError(str(e)) from None
    write_atomic(args.output, data)
    report(summary, named, args.format is None, args.output)
    return EXIT_OK
