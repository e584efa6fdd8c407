"""Import the traces other tools wrote as velkin records.

Formats: ``otlp`` (OpenTelemetry OTLP JSON of spans, with an optional logs file
for the event-based GenAI conventions), ``openai`` and ``anthropic`` (JSON Lines
of ``{request, response, latency_ms?}`` API logs) and ``tau-bench`` result files.
The mapping runs natively without the interpreter lock, which files are read
without too.

    from velkin import importers
    records = importers.import_records(["traces.jsonl", "logs.jsonl"])   # list of record dicts
    data, summary = importers.import_agentlog(open("run.json", "rb").read(), format="tau-bench")
"""
from __future__ import annotations

import os
from typing import Iterable, Optional, Sequence, Union

from velkin import _core, _native

Source = Union[str, "os.PathLike[str]", bytes, bytearray, memoryview]
FORMATS = ("otlp", "openai", "anthropic", "tau-bench")


def _named(sources) -> list:
    if isinstance(sources, (str, os.PathLike, bytes, bytearray, memoryview)):
        sources = [sources]
    elif not isinstance(sources, (list, tuple)):
        raise TypeError(f"expected a path, bytes or a list of them, got {type(sources).__name__}")
    named: list = []
    for number, source in enumerate(sources, start=1):
        if isinstance(source, (bytes, bytearray, memoryview)):
            named.append((f"<input {number}>", bytes(source)))
        elif isinstance(source, (str, os.PathLike)):
            path = os.fsdecode(source)
            named.append((path, path))
        else:
            raise TypeError(f"expected a path or bytes, got {type(source).__name__}")
    return named


def import_agentlog(sources: Union[Source, Sequence[Source]], format: Optional[str] = None,
                    names: Optional[Iterable[str]] = None) -> tuple:
    """The `.agentlog` bytes of the imported inputs and a summary dict.

    `sources` is one path or bytes object or a list of them; `format` is one of
    FORMATS, or None to detect each input's format. The summary holds
    "formats" (per input), "conversations", "records", "skipped" (unmapped
    spans by kind), "responses_without_content", "responses_without_model",
    "warnings" (the first values stored otherwise than the input gave them,
    each a line naming where, the value and what was stored) and
    "warning_count" (all of them). Bad input, and an input the .agentlog
    format cannot hold, raise ValueError naming the input, the line or
    record and what was expected.
    """
    return _native.import_traces(_with_names(sources, names), format)


def import_conversations(sources: Union[Source, Sequence[Source]], format: Optional[str] = None,
                         names: Optional[Iterable[str]] = None) -> tuple:
    """The same import as `import_agentlog`, its bytes in pieces: a list of (metadata line, other
    lines) pairs, one per conversation in order, to write or split without joining them."""
    return _native.import_conversations(_with_names(sources, names), format)


def _with_names(sources, names) -> list:
    named = _named(sources)
    if names is not None:
        named = [(name, source) for name, (_, source) in zip(names, named)]
    return named


def import_records(sources: Union[Source, Sequence[Source]], format: Optional[str] = None) -> list:
    """The imported inputs as a list of record dicts (as `velkin.parse_agentlog` gives them)."""
    data, _ = import_agentlog(sources, format)
    return _core.parse_agentlog(data)


def from_otlp(traces: Source, logs: Optional[Source] = None) -> list:
    """Records of an OTLP JSON traces export, joined with its logs export when given."""
    return import_records([traces] if logs is None else [traces, logs], "otlp")


def from_openai(log: Source) -> list:
    return import_records(log, "openai")


def from_anthropic(log: Source) -> list:
    return import_records(log, "anthropic")


def from_tau_bench(results: Source) -> list:
    return import_records(results, "tau-bench")
