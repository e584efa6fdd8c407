"""`velkin import`: turn other tools' traces into one .agentlog file, or one per value of an identifier."""
from __future__ import annotations

import json
import os
import re
import sys
from typing import Mapping

from velkin import _core, _native, importers
from velkin.command_io import (
    EXIT_CODES,
    EXIT_OK,
    STDOUT,
    InputError,
    OutputError,
    output_targets,
    say,
    shown,
    warn,
    write_outputs,
)

STDIN = "-"


def register(commands) -> None:
    command = commands.add_parser(
        "import", help="convert OTLP JSON, OpenAI or Anthropic logs, or tau-bench results to .agentlog",
        description="Convert traces written by other tools into one .agentlog file. Without --from the "
                    "format of each input is detected and named on stderr.", epilog=EXIT_CODES)
    command.add_argument("inputs", nargs="+", metavar="INPUT",
                         help="input file ('-' for standard input); an OTLP logs file goes beside its traces file")
    command.add_argument("-o", "--output", required=True, metavar="OUT",
                         help="file to write (OUT.agentlog), or with --split the directory to write the runs to")
    command.add_argument("--from", dest="format", choices=importers.FORMATS, metavar="FORMAT",
                         help="format of every input: " + ", ".join(importers.FORMATS))
    command.add_argument("--split", metavar="NAME",
                         help="write one run per value of this identifier (e.g. trial) as OUT/NAME-VALUE.agentlog")
    command.set_defaults(run=run)


def sources(inputs: list) -> list:
    named = []
    for name in inputs:
        if name == STDIN:
            named.append(("<stdin>", sys.stdin.buffer.read()))
        elif not os.path.isfile(name):
            raise InputError(f"cannot read {shown(name)}: no such file" if not os.path.exists(name)
                             else f"cannot read {shown(name)}: not a regular file: pass a pipe as standard input (-)")
        else:
            named.append((name, name))
    return named


def logs_file_beside(path: str):
    """The OTLP logs export written next to a traces export (run.traces.jsonl -> run.logs.jsonl), if there is one."""
    directory, name = os.path.split(path)
    if "traces" not in name:
        return None
    sibling = os.path.join(directory, name.replace("traces", "logs"))
    return sibling if os.path.isfile(sibling) else None


def without_content_hint(named: list, formats: list) -> str:
    otlp = [name for (name, _), format in zip(named, formats) if format == "otlp"]
    if len(otlp) != 1:
        return "the instrumentation captured none"
    sibling = logs_file_beside(otlp[0])
    if sibling:
        return f"their texts are in the logs export {sibling}: import it beside {otlp[0]}"
    return ("the instrumentation captured none, or wrote them as log events: import its OTLP logs export "
            f"beside {otlp[0]}")


def report(summary: dict, named: list, detected: bool, written: str) -> None:
    if detected:
        for (name, _), format in zip(named, summary["formats"]):
            say(f"{name}: detected {format}")
    say(written)
    if summary["skipped"]:
        counts = ", ".join(f"{count} {kind}" for kind, count in sorted(summary["skipped"].items()))
        say(f"skipped {sum(summary['skipped'].values())} spans the importer does not map: {counts}")
    if summary["responses_without_content"]:
        say(f"{summary['responses_without_content']} responses carry no message texts "
            f"({without_content_hint(named, summary['formats'])}): their structure, usage and latency are imported")
    if summary["responses_without_model"]:
        say(f"{summary['responses_without_model']} responses name no model: the cost axis cannot price them")
    for message in summary["warnings"]:
        warn(message)
    if summary["warning_count"] > len(summary["warnings"]):
        warn(f"and {summary['warning_count'] - len(summary['warnings'])} more values stored otherwise than "
             "the input gave them")


# Splitting ---------------------------------------------------------------------

def member_of(metadata: Mapping, name: str):
    """An identifier of a conversation, where `velkin compare` looks for its key: payload, then meta."""
    for place in (metadata.get("payload"), metadata.get("meta")):
        if isinstance(place, dict) and name in place:
            return place[name]
    return None


def file_part(value) -> str:
    text = value if isinstance(value, str) else json.dumps(value, ensure_ascii=False, separators=(",", ":"))
    return re.sub(r"[^A-Za-z0-9._-]+", "_", text).strip(".") or "_"


def split_runs(conversations: list, name: str) -> dict:
    """File name -> the pieces of the conversations whose identifier `name` has one value, in import order."""
    runs: dict = {}
    values: dict = {}
    for head, body in conversations:
        (metadata,) = _core.parse_agentlog(head)
        value = member_of(metadata, name)
        if value is None:
            known = sorted(k for k in {**(metadata.get("payload") or {}), **metadata["meta"]} if k != "source")
            raise InputError(f"conversation {metadata['meta']['trace_id']} has no identifier `{name}` to split by; "
                             f"its identifiers: {', '.join(known) or 'none'}")
        file = f"{file_part(name)}-{file_part(value)}.agentlog"
        if values.setdefault(file, value) != value:
            raise InputError(f"values {values[file]!r} and {value!r} of `{name}` would both be written as {file}")
        runs.setdefault(file, []).extend((head, body))
    return runs


def write_split(conversations: list, name: str, directory: str, inputs: list) -> str:
    runs = split_runs(conversations, name)
    if not runs:
        raise InputError(f"nothing to split by `{name}`: the inputs hold no conversations")
    try:
        os.makedirs(directory, exist_ok=True)
    except OSError as e:
        raise OutputError(f"cannot write {shown(directory)}: {e.strerror or e}") from None
    for file, pieces in runs.items():
        too_large = _native.unreadable_trace(sum(map(len, pieces)))
        if too_large:
            raise InputError(f"cannot write {file}: {too_large} (split by an identifier with more values)")
    paths = [os.path.join(directory, file) for file in runs]
    targets = output_targets(paths, inputs)
    write_outputs(list(zip(targets, runs.values())))
    files = ", ".join(runs)
    return f"wrote {len(runs)} runs split by `{name}` to {shown(directory)}: {files}"


def run(args) -> int:
    if args.split and args.output == STDOUT:
        raise InputError("--split writes one file per run: name a directory with -o")
    targets = [] if args.split else output_targets([args.output], args.inputs)
    named = sources(args.inputs)
    try:
        conversations, summary = importers.import_conversations([source for _, source in named], args.format,
                                                                names=[name for name, _ in named])
    except ValueError as e:
        raise InputError(str(e)) from None
    if args.split:
        written = write_split(conversations, args.split, args.output, args.inputs)
    else:
        pieces = [piece for pair in conversations for piece in pair]
        too_large = _native.unreadable_trace(sum(map(len, pieces)))
        if too_large:
            raise InputError(f"cannot import: {too_large} (import the inputs in parts, each to a file of its own, "
                             "or split them into runs with --split)")
        write_outputs([(targets[0], pieces)])
        written = (f"wrote {summary['conversations']} conversations ({summary['records']} records) to "
                   f"{'standard output' if args.output == STDOUT else shown(args.output)}")
    report(summary, named, args.format is None, written)
    return EXIT_OK
