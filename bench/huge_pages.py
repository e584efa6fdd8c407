"""What transparent huge pages would gain compute_diff_report, before building for them.

    python bench/huge_pages.py                         # 10,000 and 100,000 responses, 3 rounds
    python bench/huge_pages.py --sizes 10000 --rounds 5

On a machine whose transparent huge pages are in "madvise" mode only memory a
program advises MADV_HUGEPAGE gets them. Each size is measured by bench/diff.py's
fresh-interpreter measurement (median processor time of --runs calls, peak beyond
the inputs) in three settings, taken in turn within each round so that they share
the machine's load:
  4k      the process as it is;
  large   malloc, calloc and realloc of 2 MiB or more advised (bench/cpp/
          huge_large_blocks.c preloaded): the most an allocator for the core's
          large arrays could gain, as every large block of the process gets it;
  heap    glibc's whole heap advised (GLIBC_TUNABLES=glibc.malloc.hugetlb=1), a
          process-wide setting a library must not make for its caller, shown as
          the bound of what the page size alone is worth.
The medians over rounds are printed with their ratio to 4k.
"""
from __future__ import annotations

import argparse
import json
import os
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import diff  # noqa: E402

SETTINGS = ("4k", "large", "heap")


def build_preload() -> str:
    os.makedirs(diff.BENCH_BUILD, exist_ok=True)
    target = os.path.join(diff.BENCH_BUILD, "huge_large_blocks.so")
    subprocess.run(["cc", "-O2", "-shared", "-fPIC", "-o", target,
                    os.path.join(HERE, "cpp", "huge_large_blocks.c")], check=True)
    return target


def environment(setting: str, preload: str) -> dict:
    env = dict(os.environ)
    env.pop("GLIBC_TUNABLES", None)
    env.pop("LD_PRELOAD", None)
    if setting == "large":
        env["LD_PRELOAD"] = preload
    elif setting == "heap":
        env["GLIBC_TUNABLES"] = "glibc.malloc.hugetlb=1"
    return env


def median(values: list) -> float:
    values = sorted(values)
    return values[len(values) // 2]


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sizes", type=int, nargs="+", default=[10_000, 100_000])
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--runs", type=int, default=3, help="calls per interpreter (its median is one sample)")
    args = parser.parse_args(argv)
    if args.rounds < 1 or args.runs < 1:
        parser.error("--rounds and --runs must be at least 1")
    preload = build_preload()
    try:
        with open("/sys/kernel/mm/transparent_hugepage/enabled") as mode:
            print(f"transparent huge pages: {mode.read().strip()}")
    except OSError:
        print("transparent huge pages: not offered here (the settings measure the same)")
    print(f"{'responses':>10} {'setting':>8} {'cpu':>9} {'peak':>9} {'cpu ratio':>10}")
    for n in args.sizes:
        paths = diff.trace_paths(n)
        samples = {setting: [] for setting in SETTINGS}
        for _ in range(args.rounds):
            for setting in SETTINGS:
                out = subprocess.run([sys.executable, diff.__file__, "--measure", *paths, "--runs", str(args.runs)],
                                     env=environment(setting, preload), check=True, capture_output=True,
                                     text=True).stdout
                samples[setting].append(json.loads(out))
        base = median([s["cpu_seconds"] for s in samples["4k"]])
        for setting in SETTINGS:
            cpu = median([s["cpu_seconds"] for s in samples[setting]])
            peak = median([s["peak_mib"] for s in samples[setting]])
            print(f"{n:>10} {setting:>8} {cpu:>8.3f}s {peak:>6.0f}MiB {cpu / base:>10.3f}", flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
