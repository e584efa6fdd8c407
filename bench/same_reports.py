"""Checks that two builds of velkin produce byte-identical diff reports.

    python bench/same_reports.py --reference /path/to/other/venv/bin/python
    python bench/same_reports.py --reference ... --sizes 100 1000 --seeds 1 2

Runs compute_diff_report (and the semantic axis with a fixed embedder) in a
subprocess of each interpreter, on the bundled examples and on generated traces
(gen_trace.generate) of several sizes, seeds, perturbation rates and pricing
tables. Each report is dumped with every float as its exact hex form and every
dict in its own order; the dumps must match byte for byte. Exits 1 on the first
difference, naming the case and the first differing position.
"""
from __future__ import annotations

import argparse
import hashlib
import json
import os
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, HERE)

import gen_trace  # noqa: E402

CASE_DIR = os.path.join(gen_trace.DATA_DIR, "same_reports")
PRICINGS = {
    "none": None,
    "pair": {"nimbus-pro": [3e-06, 1.5e-05]},
    "full": {"nimbus-pro": {"input": 3e-06, "output": 1.5e-05, "cached_input": 3e-07, "reasoning": 2e-05,
                            "batch_discount": 0.5},
             "nimbus-lite": [8e-07, 4e-06, 8e-08, 1e-06, 1.2e-06, 4e-06, 0.5]},
}


def exact(value):
    """The value with floats as hex text, so that equal dumps mean equal bits."""
    if isinstance(value, float):
        return "float:" + value.hex()
    if isinstance(value, dict):
        return {"dict": [[key, exact(item)] for key, item in value.items()]}
    if isinstance(value, (list, tuple)):
        return [exact(item) for item in value]
    return value


def fixed_embedder(texts):
    """A deterministic embedding from the bytes of each text."""
    vectors = []
    for text in texts:
        digest = hashlib.sha256(text.encode("utf-8", "surrogatepass")).digest()
        vectors.append([(byte - 128) / 37.0 for byte in digest[:12]] + [len(text) / 1000.0])
    return vectors


def read_records(path):
    with open(path, "rb") as source:
        return [json.loads(line) for line in source if line.strip()]


def worker(cases_path, out_dir):
    """Runs in each build: one dump file per case."""
    from velkin import _core

    with open(cases_path) as source:
        cases = json.load(source)
    loaded = {}
    for case in cases:
        for path in (case["baseline"], case["candidate"]):
            if path not in loaded:
                loaded = {key: value for key, value in loaded.items() if key in (case["baseline"], case["candidate"])}
                loaded[path] = read_records(path)
        baseline, candidate = loaded[case["baseline"]], loaded[case["candidate"]]
        # JSON has no tuples; a two-price entry is passed as the (input, output) tuple.
        pricing = case["pricing"] and {name: tuple(entry) if isinstance(entry, list) and len(entry) == 2 else entry
                                       for name, entry in case["pricing"].items()}
        result = {"report": _core.compute_diff_report(baseline, candidate, pricing, case["seed"])}
        if case["embedder"]:
            result["semantic"] = _core.compute_semantic_axis_with_embedder(baseline, candidate, fixed_embedder,
                                                                           case["seed"])
        with open(os.path.join(out_dir, case["name"] + ".json"), "wb") as out:
            out.write(json.dumps(exact(result), ensure_ascii=False).encode("utf-8", "surrogatepass"))
    return 0


def trace_files(n, seed, perturb):
    """The generated pair of traces, written once and kept in bench/data/."""
    stem = os.path.join(CASE_DIR, f"n{n}_s{seed}_p{perturb}")
    paths = (stem + "_baseline.agentlog", stem + "_candidate.agentlog")
    if not all(os.path.exists(path) for path in paths):
        os.makedirs(CASE_DIR, exist_ok=True)
        for records, path in zip(gen_trace.generate(n, seed=seed, perturb=perturb), paths):
            with open(path + ".tmp", "wb") as out:
                out.writelines(gen_trace.record_line(record) for record in records)
            os.replace(path + ".tmp", path)
    return paths


def build_cases(sizes, seeds):
    examples = os.path.join(ROOT, "examples")
    with open(os.path.join(examples, "pricing.json")) as source:
        example_pricing = json.load(source)
    b, c = os.path.join(examples, "baseline.agentlog"), os.path.join(examples, "candidate.agentlog")
    cases = []
    for pricing_name, pricing in (("none", None), ("example", example_pricing)):
        for seed in (7, 11):
            cases.append({"name": f"examples_{pricing_name}_{seed}", "baseline": b, "candidate": c,
                          "pricing": pricing, "seed": seed, "embedder": True})
        cases.append({"name": f"examples_self_{pricing_name}", "baseline": b, "candidate": b,
                      "pricing": pricing, "seed": 3, "embedder": True})
    for n in sizes:
        runs = [(seed, perturb) for seed in seeds for perturb in (0.0, 0.1, 0.5)] if n <= 10_000 else \
            [(seeds[0], 0.1)]
        for k, (seed, perturb) in enumerate(runs):
            baseline, candidate = trace_files(n, seed, perturb)
            pricing_name = list(PRICINGS)[k % len(PRICINGS)]
            cases.append({"name": f"n{n}_s{seed}_p{perturb}_{pricing_name}", "baseline": baseline,
                          "candidate": candidate, "pricing": PRICINGS[pricing_name], "seed": 42,
                          "embedder": n <= 10_000})
            if n <= 1_000 and perturb == 0.1:
                cases.append({"name": f"n{n}_s{seed}_reversed", "baseline": candidate, "candidate": baseline,
                              "pricing": PRICINGS["full"], "seed": seed, "embedder": False})
    return cases


def first_difference(a: bytes, b: bytes) -> int:
    for k, (x, y) in enumerate(zip(a, b)):
        if x != y:
            return k
    return min(len(a), len(b))


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--reference", required=True, help="python of the reference build")
    parser.add_argument("--current", default=sys.executable, help="python of the build under test")
    parser.add_argument("--sizes", type=int, nargs="+", default=[100, 1_000, 10_000, 100_000])
    parser.add_argument("--seeds", type=int, nargs="+", default=[1, 2, 3])
    parser.add_argument("--worker", nargs=2, help=argparse.SUPPRESS)
    args = parser.parse_args(argv)
    if args.worker:
        return worker(*args.worker)

    cases = build_cases(args.sizes, args.seeds)
    with tempfile.TemporaryDirectory() as scratch:
        cases_path = os.path.join(scratch, "cases.json")
        with open(cases_path, "w") as out:
            json.dump(cases, out)
        dirs = {}
        for label, python in (("reference", args.reference), ("current", args.current)):
            dirs[label] = os.path.join(scratch, label)
            os.makedirs(dirs[label])
            subprocess.run([python, os.path.abspath(__file__), "--reference", "-", "--worker", cases_path,
                            dirs[label]], check=True, cwd=scratch)
        different = 0
        for case in cases:
            dumps = []
            for label in ("reference", "current"):
                with open(os.path.join(dirs[label], case["name"] + ".json"), "rb") as source:
                    dumps.append(source.read())
            if dumps[0] == dumps[1]:
                print(f"same       {case['name']}  ({len(dumps[0])} bytes)")
                continue
            different += 1
            at = first_difference(*dumps)
            print(f"DIFFERENT  {case['name']} at byte {at}:\n  reference {dumps[0][max(0, at - 80):at + 80]!r}\n"
                  f"  current   {dumps[1][max(0, at - 80):at + 80]!r}")
    print(f"{len(cases) - different} same, {different} different")
    return 1 if different else 0


if __name__ == "__main__":
    sys.exit(main())
