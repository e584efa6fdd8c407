"""Reading `.agentlog` traces from files, with advice when a file is not one.

Shared by the command line and the Python API (`velkin.compare`): both read a
trace the same way and say the same thing about a file of another format.
"""
from __future__ import annotations

from velkin import _core, _native

TRACE_SUFFIX = ".agentlog"
# The parser stops at a 1 GiB trace total and reads at most 16 MiB + 1 bytes of the line
# that crosses it, so nothing beyond this many bytes can change its result.
TRACE_READ_LIMIT = 1073741824 + 16777216 + 1
UTF8_BOM = b"\xef\xbb\xbf"


class TraceError(ValueError):
    """A trace file that does not parse. Its text is the parser's whole message, as the native comparison
    gives it; `line` is what to tell a user instead: the parser's problem with advice in place of its hint
    about the record schema, or, for a file of a format `velkin import` reads, that format and the command."""

    def __init__(self, message: str, line: str):
        super().__init__(message)
        self.line = line


def read_bytes(path, limit: int = -1) -> bytes:
    try:
        with open(path, "rb") as f:
            return f.read(limit)
    except OSError as e:
        raise ValueError(f"cannot read {path}: {e.strerror or e}") from None


def other_format(path, data: bytes) -> str:
    """What to say about a file that holds another format `velkin import` reads; "" when it holds none."""
    try:
        format = _native.detect_format(data)
    except ValueError:
        return ""
    if format is None:
        return ""
    return (f"{path} holds {format} input, not an .agentlog trace: convert it with "
            f"`velkin import {path} -o RUN.agentlog`")


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


def responses(records: list) -> list:
    return [r for r in records if r.get("kind") == "chat_response"]


def read_trace(path) -> list:
    """The records of one .agentlog file; ValueError naming the file (a TraceError when it does not parse)."""
    data = read_bytes(path, TRACE_READ_LIMIT)
    try:
        return _core.parse_agentlog(data)
    except ValueError as e:
        line = other_format(path, data)
        if not line:
            advice = parse_advice(data)
            line = f"{path}: {str(e).splitlines()[0]}" + (f" ({advice})" if advice else "")
        raise TraceError(f"{path}: {e}", line) from None
