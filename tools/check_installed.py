"""Run the README's main job with the velkin installed beside this interpreter.

Checks what a user sees on a fresh install: the verdict on the example traces
(which regress, so the command exits with 1) and the nine axes. Used as the
wheel test of cibuildwheel and by bench/install_time.py.

    python tools/check_installed.py [EXAMPLES_DIR]
"""
from __future__ import annotations

import os
import subprocess
import sys

AXES = ("semantic", "trajectory", "safety", "verbosity", "latency", "cost", "reasoning", "judge", "conformance")


def main():
    examples = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "..", "examples")
    command = [sys.executable, "-m", "velkin", "diff", os.path.join(examples, "baseline.agentlog"),
               os.path.join(examples, "candidate.agentlog"), "--pricing", os.path.join(examples, "pricing.json"),
               "--seed", "7"]
    # The source tree's src/ layout keeps it off sys.path: the installed package answers.
    done = subprocess.run(command, capture_output=True, text=True, encoding="utf-8",
                          cwd=os.path.dirname(examples) or ".")
    lines = done.stdout.splitlines()
    problems = []
    if done.returncode != 1:
        problems.append(f"exit status {done.returncode}, expected 1 (the candidate regresses)")
    if not lines or not lines[0].startswith("\u2717 REGRESSED"):
        problems.append(f"first line {lines[0] if lines else '(none)'!r}, expected the REGRESSED verdict")
    missing = [axis for axis in AXES if not any(line.strip().startswith(axis + " ") for line in lines)]
    if missing:
        problems.append(f"axes missing from the report: {', '.join(missing)}")
    if problems:
        sys.exit("the main job failed: " + "; ".join(problems) + "\n" + done.stdout + done.stderr)
    print(f"main job ok: {lines[0]}")


if __name__ == "__main__":
    main()
