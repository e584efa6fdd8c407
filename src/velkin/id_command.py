"""`velkin id`: the content id of a JSON document."""
from __future__ import annotations

from velkin import _core
from velkin.command_io import EXIT_CODES, EXIT_OK, InputError, emit, read_json


def register(commands) -> None:
    content_id = commands.add_parser("id", help="content id of a JSON document", epilog=EXIT_CODES)
    content_id.add_argument("file", metavar="FILE.json", help="JSON file")
    content_id.set_defaults(run=run)


def run(args) -> int:
    document = read_json(args.file)
    try:
        emit(_core.content_id(document))
    except ValueError as e:
        raise InputError(f"{args.file}: {e}") from None
    return EXIT_OK
