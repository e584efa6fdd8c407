"""`velkin validate`: parse a trace and say how many records it holds, or its first error."""
from __future__ import annotations

from velkin.command_io import EXIT_CODES, EXIT_OK, emit, read_trace


def register(commands) -> None:
    validate = commands.add_parser("validate", help="parse a trace and report the first error", epilog=EXIT_CODES)
    validate.add_argument("file", metavar="FILE", help=".agentlog file")
    validate.set_defaults(run=run)


def run(args) -> int:
    records = read_trace(args.file)
    emit(f"ok: {len(records)} records")
    return EXIT_OK
