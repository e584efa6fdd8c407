"""What every command shares at its edges: exit codes, the two kinds of
user-facing failure, reading the user's files and writing output."""
from __future__ import annotations

import argparse
import codecs
import contextlib
import json
import math
import os
import signal
import stat
import sys
import tempfile

from velkin import _native, traces
from velkin.reports.visible import message

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
    """One line on stderr; the trace values it quotes are shown as visible escapes, the bytes of a file
    name that is not UTF-8 as \\xNN."""
    print(f"velkin: {message(text)}", file=sys.stderr)


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
    emit_output(text + "\n")


def emit_output(output) -> None:
    """Standard output: a str, or pieces of bytes written as they are; a failure to write is an OutputError."""
    if sys.stdout is None:
        raise OutputError("cannot write the output: standard output is closed")
    try:
        if isinstance(output, str):
            sys.stdout.write(output)
        else:
            sys.stdout.flush()
            sys.stdout.buffer.writelines(output)
        sys.stdout.flush()
    except OSError as e:
        raise OutputError(f"cannot write the output: {e.strerror or e}") from None


JSON_ESCAPE = "velkin.json_escape"


def _json_escape(error: UnicodeError) -> tuple:
    """Characters an output's encoding cannot write, as the JSON escapes that read back as them (a pair of
    surrogates past U+FFFF); the report text writes them inside strings only."""
    if not isinstance(error, UnicodeEncodeError):
        raise error
    escapes = []
    for char in error.object[error.start:error.end]:
        code = ord(char)
        if code > 0xFFFF:
            code -= 0x10000
            escapes.append(f"\\u{0xD800 | code >> 10:04x}\\u{0xDC00 | code & 0x3FF:04x}")
        else:
            escapes.append(f"\\u{code:04x}")
    return "".join(escapes), error.end


codecs.register_error(JSON_ESCAPE, _json_escape)


def json_output(document) -> object:
    """A report document's JSON text (of a dict, or the text itself as UTF-8 bytes) and a newline, as
    standard output takes it: bytes written as they are when it takes UTF-8 (tens of megabytes of a large
    comparison never become a str); else bytes of its encoding, where the characters it cannot write are
    JSON escapes (its own error handler would write \\xe9, which no JSON reader takes); a str to a stream
    without bytes underneath."""
    encoding = getattr(sys.stdout, "encoding", None)
    through = hasattr(sys.stdout, "buffer")
    utf8 = document if isinstance(document, bytes) else None
    if isinstance(encoding, str) and codecs.lookup(encoding).name == "utf-8" and through:
        return [utf8 if utf8 is not None else _native.json_utf8(document), b"\n"]
    text = (utf8.decode("utf-8") if utf8 is not None else _native.json_text(document)) + "\n"
    if not isinstance(encoding, str):
        return text
    escaped = text.encode(encoding, JSON_ESCAPE)
    return [escaped] if through else escaped.decode(encoding)


STDOUT = "-"
# Names of standard output itself: resolved, they would name whatever file it is redirected to.
STDOUT_NAMES = (STDOUT, "/dev/stdout", "/dev/fd/1", "/proc/self/fd/1")


def shown(path) -> str:
    """A file name as messages and reports show it: bytes that are not UTF-8 as \\xNN escapes."""
    return os.fsencode(path).decode("utf-8", "backslashreplace")


def _identity(status: os.stat_result) -> tuple:
    return status.st_dev, status.st_ino


def input_identities(paths) -> dict:
    """(device, inode) -> name of every input file that exists; the files of a directory given as input too;
    standard input when "-" is one of them."""
    identities: dict = {}
    for path in paths:
        try:
            if path == STDOUT:
                identities.setdefault(_identity(os.fstat(0)), "standard input")
                continue
            status = os.stat(path)
            identities.setdefault(_identity(status), path)
            if stat.S_ISDIR(status.st_mode):
                for entry in os.scandir(path):
                    if entry.is_file():
                        identities.setdefault(_identity(entry.stat()), entry.path)
        except OSError:
            continue  # an input that cannot be read is reported where it is read
    return identities


class Target:
    """Where one output goes: standard output, a character device or pipe written through, or a regular file
    (the target of a symlink) replaced by a temporary file written beside it."""

    def __init__(self, path: str, inputs: dict):
        self.path = path
        self.through = path == STDOUT
        self.file = ""  # the file to replace (a symlink's target); none for standard output
        self.mode = None  # an existing file's mode, kept
        if path in STDOUT_NAMES:
            self.path, self.through = STDOUT, True
        if self.through:
            return
        self.file = os.path.realpath(path)
        try:
            status = os.stat(self.file)
        except FileNotFoundError:
            if not os.path.isdir(os.path.dirname(self.file)):
                raise OutputError(f"cannot write {shown(path)}: No such file or directory") from None
            return
        except OSError as e:
            raise OutputError(f"cannot write {shown(path)}: {e.strerror or e}") from None
        if _identity(status) in inputs:
            raise OutputError(f"cannot write {shown(path)}: it is the input {shown(inputs[_identity(status)])}; "
                              "name another output file")
        if stat.S_ISCHR(status.st_mode) or stat.S_ISFIFO(status.st_mode):
            self.through = True
        elif stat.S_ISDIR(status.st_mode):
            raise OutputError(f"cannot write {shown(path)}: it is a directory")
        elif not stat.S_ISREG(status.st_mode):
            raise OutputError(f"cannot write {shown(path)}: not a regular file, a character device or a pipe")
        else:
            self.mode = stat.S_IMODE(status.st_mode)


def output_targets(paths: list, inputs: list) -> list:
    """The targets of a command's outputs, checked before anything is written: none may be one of the
    command's inputs (by device and inode, so through symlinks and hard links too), and no file is named for
    two outputs."""
    identities = input_identities(inputs)
    targets = [Target(path, identities) for path in paths]
    seen: dict = {}
    for target in targets:
        if target.through:  # standard output, devices and pipes take any number of outputs
            continue
        key: object = target.file
        try:
            key = _identity(os.stat(target.file))
        except OSError:
            pass
        if key in seen:
            raise OutputError(f"{shown(seen[key])} and {shown(target.path)} name the same file: "
                              "give each output its own")
        seen[key] = target.path
    return targets


def _new_file_mode() -> int:
    mask = os.umask(0)
    os.umask(mask)
    return 0o666 & ~mask


def _write(f, data) -> None:
    if isinstance(data, list):
        f.writelines(data)  # pieces in turn, never joined
    else:
        # A lone surrogate (a file name that is not UTF-8, a trace's unpaired escape) is shown, not a failure.
        f.write(data.encode("utf-8", "backslashreplace") if isinstance(data, str) else data)


def _write_through(target: Target, data) -> None:
    if target.path == STDOUT:
        if sys.stdout is None:
            raise OutputError("cannot write the output: standard output is closed")
        if isinstance(data, str):
            sys.stdout.write(data)
        else:
            sys.stdout.flush()
            _write(sys.stdout.buffer, data)
        sys.stdout.flush()
        return
    fd = os.open(target.file, os.O_WRONLY | getattr(os, "O_CLOEXEC", 0))
    with os.fdopen(fd, "wb") as f:
        _write(f, data)


def write_outputs(outputs: list) -> None:
    """Writes every (Target, data) pair or none (str goes to files as UTF-8, a list of bytes piece by piece).
    Files are written to temporary files beside their targets, then what is written through (devices, pipes,
    then standard output), and only then are the temporaries renamed over their targets. On any failure, or a
    signal that raises (SIGINT, SIGTERM through the command line's handler, SIGPIPE below), every temporary
    file is removed."""
    temporaries = []
    current = None
    files = [(target, data) for target, data in outputs if not target.through]
    closed_pipe = _catch_closed_pipe(len(files) < len(outputs))
    try:
        for target, data in files:
            current = target
            with _signals_held():  # a temporary file made is a temporary file listed, to be removed
                fd, temporary = tempfile.mkstemp(dir=os.path.dirname(target.file), prefix=".velkin-", suffix=".tmp")
                temporaries.append(temporary)
            with os.fdopen(fd, "wb") as f:
                _write(f, data)
                f.flush()
                os.fsync(f.fileno())
            os.chmod(temporary, target.mode if target.mode is not None else _new_file_mode())
        # Standard output last: what it shows cannot be taken back if a device or pipe then fails.
        for target, data in sorted((o for o in outputs if o[0].through), key=lambda o: o[0].path == STDOUT):
            current = target
            _write_through(target, data)
        for (target, _), temporary in zip(files, temporaries):
            current = target
            os.replace(temporary, target.file)
    except BaseException as e:
        for temporary in temporaries:
            try:
                os.unlink(temporary)
            except OSError:
                pass
        if isinstance(e, BrokenPipeError) and closed_pipe == signal.SIG_DFL:
            # End as a filter does when its reader goes away (`velkin diff ... | head`).
            signal.signal(signal.SIGPIPE, signal.SIG_DFL)
            os.kill(os.getpid(), signal.SIGPIPE)
        if isinstance(e, OSError):
            shown_target = "the output" if current is None or current.path == STDOUT else shown(current.path)
            raise OutputError(f"cannot write {shown_target}: {e.strerror or e}") from None
        raise
    finally:
        if closed_pipe is not None:
            signal.signal(signal.SIGPIPE, closed_pipe)


@contextlib.contextmanager
def _signals_held():
    """Signals wait (the system holds them) until the block is done."""
    if not hasattr(signal, "pthread_sigmask"):
        yield
        return
    held = signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGINT, signal.SIGTERM})
    try:
        yield
    finally:
        signal.pthread_sigmask(signal.SIG_SETMASK, held)


def _catch_closed_pipe(writes_through: bool):
    """While outputs are written through, a closed pipe raises BrokenPipeError (so that the temporary files are
    removed) instead of ending the process; the disposition it had, or None when nothing changed."""
    if not writes_through or not hasattr(signal, "SIGPIPE"):
        return None
    try:
        return signal.signal(signal.SIGPIPE, signal.SIG_IGN)
    except ValueError:  # not the main thread
        return None
