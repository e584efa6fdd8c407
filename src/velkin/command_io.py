"""What every command shares at its edges: exit codes, the two kinds of
user-facing failure, reading the user's files and writing output."""
from __future__ import annotations

import argparse
import json
import math
import os
import sys
import tempfile

from velkin import traces

EXIT_OK = 0
EXIT_REGRESSION = 1
EXIT_BAD_INPUT = 2
# Every command describes its exit codes in these words.
EXIT_CODES = "exit codes: 0 success, 1 the gate failed (a regression), 2 bad input, bad usage or unwritable output"

MAX_SEED = 2**64 - 1
# The members a price object may hold, each a price per token (batch_discount a fraction).
PRICE_NAMES = ("input", "output", "cached_input", "cached_write_5m", "cached_write_1h", "reasoning", "batch_discount")


class InputError(Exception):
    """Bad input named by the user; its text goes to stderr as is."""


class OutputError(Exception):
    """The output could not be written; its text goes to stderr as is."""


def say(text: str) -> None:
    print(f"velkin: {text}", file=sys.stderr)


def warn(message: str) -> None:
    say(f"warning: {message}")


# Input ------------------------------------------------------------------------

def read_bytes(path: str, limit: int = -1) -> bytes:
    try:
        return traces.read_bytes(path, limit)
    except ValueError as e:
        raise InputError(str(e)) from None


def input_error(error: ValueError) -> InputError:
    """A failure to read the user's traces, as the user is told it (a trace's one line, not the parser's hint)."""
    return InputError(error.line if isinstance(error, traces.TraceError) else str(error))


def read_trace(path: str) -> list:
    try:
        return traces.read_trace(path)
    except ValueError as e:
        raise input_error(e) from None


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


def _is_price(value) -> bool:
    return isinstance(value, (int, float)) and not isinstance(value, bool) and math.isfinite(value)


def price_problem(prices) -> str:
    """What is wrong with one model's prices, in the user's words; "" when nothing is."""
    expected = ('a price must be [input, output] in dollars per token, or an object of prices per token '
                f'({", ".join(PRICE_NAMES)})')
    if isinstance(prices, list):
        if len(prices) != 2:
            return f"{expected}; found a list of {len(prices)}"
        if not all(_is_price(p) for p in prices):
            return f"{expected}; found {json.dumps(prices)}"
        return ""
    if not isinstance(prices, dict):
        return f"{expected}; found {json.dumps(prices)}"
    unknown = [name for name in prices if name not in PRICE_NAMES]
    if unknown:
        return f"unknown price {unknown[0]!r}: a price object holds {', '.join(PRICE_NAMES)}"
    missing = [name for name in ("input", "output") if name not in prices]
    if missing:
        return f"a price object needs {' and '.join(repr(m) for m in missing)} (dollars per token)"
    for name, value in prices.items():
        if not _is_price(value):
            return f"price {name!r} must be a number (dollars per token); found {json.dumps(value)}"
    return ""


def read_pricing(path: str) -> dict:
    """A model -> prices dict; a two-element list becomes the (input, output) pair form."""
    table = read_json(path)
    if not isinstance(table, dict):
        raise InputError(f"{path}: pricing must be a JSON object mapping model names to prices, "
                         'e.g. {"gpt-4o": [2.5e-06, 1e-05]}')
    for model, prices in table.items():
        problem = price_problem(prices)
        if problem:
            raise InputError(f"{path}: model {model!r}: {problem}")
    return {model: tuple(prices) if isinstance(prices, list) else prices for model, prices in table.items()}


def seed_value(text: str) -> int:
    try:
        seed = int(text, 10)
    except ValueError:
        raise argparse.ArgumentTypeError(f"invalid seed {text!r}: expected an integer") from None
    if not 0 <= seed <= MAX_SEED:
        raise argparse.ArgumentTypeError(f"invalid seed {text}: must be between 0 and {MAX_SEED}")
    return seed


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


def write_atomic(path: str, data) -> None:
    """The whole file or nothing (str is written as UTF-8, a list of bytes piece by piece): written beside the
    target, then renamed over it."""
    directory = os.path.dirname(os.path.abspath(path))
    try:
        fd, temporary = tempfile.mkstemp(dir=directory, prefix=".velkin-", suffix=".tmp")
    except OSError as e:
        raise OutputError(f"cannot write {path}: {e.strerror or e}") from None
    try:
        with os.fdopen(fd, "wb") as f:
            if isinstance(data, list):
                f.writelines(data)  # pieces in turn, never joined
            else:
                f.write(data.encode("utf-8") if isinstance(data, str) else data)
            f.flush()
            os.fsync(f.fileno())
        os.chmod(temporary, 0o644)
        os.replace(temporary, path)
    except BaseException as e:
        os.unlink(temporary)
        if isinstance(e, OSError):
            raise OutputError(f"cannot write {path}: {e.strerror or e}") from None
        raise
