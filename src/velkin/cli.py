"""The `velkin` command line: one module per command, registered here.

Every command reads its inputs and reports failures through `velkin.command_io`;
exit codes: 0 success; 1 when the gate fails (by default: a finding of severity
"error"); 2 for bad input, bad usage or output that cannot be written.
"""
from __future__ import annotations

import argparse
import gc
import os
import signal
import sys

from velkin import _core, compare_command, diff_command, id_command, import_command, validate_command
from velkin.command_io import EXIT_BAD_INPUT, EXIT_CODES, InputError, OutputError, say
from velkin.defaults import EXIT_INTERRUPTED

COMMANDS = (diff_command, compare_command, import_command, validate_command, id_command)


class Parser(argparse.ArgumentParser):
    """argparse, except that a failure to print help or usage is not ignored."""

    def _print_message(self, message, file=None):
        if not message:
            return
        if file is None:  # help and version go to standard output, which is closed
            raise OutputError("cannot write the output: standard output is closed")
        file.write(message)


def build_parser() -> argparse.ArgumentParser:
    parser = Parser(prog="velkin", description="Read, validate, import and compare .agentlog traces of LLM agents.",
                    epilog=EXIT_CODES)
    parser.add_argument("--version", action="version", version=f"velkin {_core.__version__}")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")
    for command in COMMANDS:
        command.register(commands)
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


class Terminated(BaseException):
    """SIGTERM, raised so that the command unwinds (removing its temporary files) before it ends by the signal."""


def _terminate(signum, frame):
    raise Terminated()


def end_by_sigterm() -> None:
    """Ends the process by SIGTERM, as its sender expects, now that the temporary files are gone."""
    signal.signal(signal.SIGTERM, signal.SIG_DFL)
    os.kill(os.getpid(), signal.SIGTERM)


def entry() -> None:
    """The `velkin` program. Interrupted, it ends at once: the interpreter's own teardown of what a large
    run built would keep the user waiting, and the temporary files are already gone."""
    code = main()
    if code == EXIT_INTERRUPTED:
        sys.stderr.flush()
        os._exit(code)
    sys.exit(code)


def main(argv=None) -> int:
    # A command builds trees of dicts and lists (a suite's report holds a million), which the cyclic
    # collector would walk again and again as they grow, freeing nothing: it stays off until the command ends.
    collecting = gc.isenabled()
    gc.disable()
    try:
        return _with_sigterm(argv)
    finally:
        if collecting:
            gc.enable()


def _with_sigterm(argv) -> int:
    try:
        previous = signal.signal(signal.SIGTERM, _terminate)
    except ValueError:  # called from another thread than the main one: the caller handles signals
        return _main(argv)
    try:
        return _main(argv)
    finally:
        signal.signal(signal.SIGTERM, previous)


def _main(argv) -> int:
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
            code = done.code if isinstance(done.code, int) else 0 if done.code is None else 1
        else:
            code = args.run(args)
        if sys.stdout is not None:
            sys.stdout.flush()  # what argparse printed is still buffered
        return code
    except InputError as e:
        say(f"error: {e}")
        return EXIT_BAD_INPUT
    except OutputError as e:
        silence_stdout()
        say(f"error: {e}")
        return EXIT_BAD_INPUT
    except OSError as e:  # a write of argparse's or another command's to standard output
        return write_failure(e)
    except KeyboardInterrupt:
        silence_stdout()
        say("interrupted")
        return EXIT_INTERRUPTED
    except Terminated:
        silence_stdout()
        end_by_sigterm()
        raise


if __name__ == "__main__":
    entry()
