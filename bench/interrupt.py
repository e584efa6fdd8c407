"""How soon Ctrl-C ends a long command: `velkin import` of a large OTLP export and
`velkin compare` of large runs, each sent SIGINT at several points of its work.

    python bench/interrupt.py          # import of a 500 MB OTLP export, compare of 10,000 conversations
    python bench/interrupt.py --mb 100 --conversations 50000
    python bench/interrupt.py --reference OTHER/bin/python   # the same commands run by another build

Prints, per delay, the seconds from the signal to the command's line on stderr
and to its exit, with its exit code and whether stderr held a traceback. The
inputs come from bench/import.py and bench/compare_files.py (cached in bench/data/).
"""
from __future__ import annotations

import argparse
import importlib
import os
import signal
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)


def interrupted(python: str, args: list, delay: float) -> str:
    with tempfile.TemporaryDirectory() as scratch:
        args = [a.replace("{scratch}", scratch) for a in args]
        process = subprocess.Popen([python, "-m", "velkin", *args], stdout=subprocess.DEVNULL,
                                   stderr=subprocess.PIPE, text=True)
        time.sleep(delay)
        if process.poll() is not None:
            return f"{delay:5.1f} s: ended before the signal (exit {process.returncode})"
        sent = time.monotonic()
        process.send_signal(signal.SIGINT)
        first = process.stderr.readline()
        said = time.monotonic() - sent
        rest = process.stderr.read()
        process.wait()
        ended = time.monotonic() - sent
    traceback = "traceback" if "Traceback" in first + rest else "no traceback"
    return (f"{delay:5.1f} s: stderr line after {said:6.3f} s, exit {process.returncode} after {ended:6.3f} s, "
            f"{traceback}: {first.strip()[:60]!r}")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--mb", type=int, default=500, help="size of the OTLP input in MB (default 500)")
    parser.add_argument("--conversations", type=int, default=10000, help="conversations per compared run")
    parser.add_argument("--delays", type=float, nargs="+", default=[2.0, 5.0, 8.0],
                        help="seconds after the start to send SIGINT")
    parser.add_argument("--reference", metavar="PYTHON", help="an interpreter with another build of velkin")
    args = parser.parse_args()
    otlp = importlib.import_module("import").otlp_path(args.mb)
    runs = [str(path) for path in importlib.import_module("compare_files").suite_files(args.conversations)]
    commands = {"import": ["import", otlp, "-o", "{scratch}/out.agentlog"],
                "compare": ["compare", "--baseline", runs[0], runs[1], "--candidate", runs[2], runs[3],
                            "--html", "{scratch}/page.html"]}
    for python in [sys.executable] + ([args.reference] if args.reference else []):
        for name, command in commands.items():
            print(f"{name} ({python}):")
            for delay in args.delays:
                print("  " + interrupted(python, command, delay))


if __name__ == "__main__":
    main()
