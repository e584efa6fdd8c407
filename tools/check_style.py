"""Checks the tree against its style: clang-format on the C++, ruff and mypy on the Python.

    python tools/check_style.py          # the whole tree (what CI runs)
    python tools/check_style.py --fix    # rewrites the C++ and applies ruff's safe fixes

The configurations are .clang-format (with .clang-format-ignore) and the [tool.ruff] and
[tool.mypy] sections of pyproject.toml. Exits with 1 on a violation, naming it. clang-format's
output differs between versions: CI uses clang-format 19 (CLANG_FORMAT names another binary).
"""
from __future__ import annotations

import argparse
import os
import shutil
import subprocess
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

CPP = ["cpp", "tests/cpp", "bench/cpp"]


def tracked_files(paths: list[str], suffixes: tuple[str, ...]) -> list[str]:
    listed = subprocess.run(["git", "ls-files", "--", *paths], cwd=ROOT, check=True, capture_output=True,
                            text=True).stdout.split()
    return [path for path in listed if path.endswith(suffixes)]


def clang_format() -> str:
    for name in (os.environ.get("CLANG_FORMAT"), "clang-format-19", "clang-format"):
        if name and shutil.which(name):
            return name
    sys.exit("check_style: clang-format not found: `apt-get install clang-format-19` or set CLANG_FORMAT")


def run(command: list[str]) -> bool:
    print("$", " ".join(command) if len(command) < 12 else " ".join(command[:11]) + " ...", flush=True)
    return subprocess.run(command, cwd=ROOT).returncode == 0


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--fix", action="store_true", help="rewrite what the tools can rewrite")
    args = parser.parse_args(argv)

    # clang-format skips what .clang-format-ignore lists (the generated tables, vendored code).
    cpp = tracked_files(CPP, (".cpp", ".hpp"))
    ok = True
    if args.fix:
        ok &= run([clang_format(), "-i", *cpp])
        ok &= run([sys.executable, "-m", "ruff", "check", "--fix"])
    else:
        ok &= run([clang_format(), "--dry-run", "--Werror", *cpp])
        ok &= run([sys.executable, "-m", "ruff", "check"])
    # The whole package as pyproject.toml configures it, the public API strictly.
    env_path = os.path.join(ROOT, "src")
    mypy = [sys.executable, "-m", "mypy"]
    print("$", " ".join(mypy), flush=True)
    ok &= subprocess.run(mypy, cwd=ROOT, env={**os.environ, "MYPYPATH": env_path}).returncode == 0
    if not ok:
        print("check_style: violations above; `python tools/check_style.py --fix` rewrites the C++ and applies "
              "ruff's safe fixes", file=sys.stderr)
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
