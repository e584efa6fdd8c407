"""Calibration and power of `velkin compare` on four tau-bench trials of one agent.

A/A: every split of the trials into baseline and candidate runs of the unchanged agent (one against
one, two against one, three against one) at several seeds; an alarm is a regressed or mixed verdict
or a regressed conversation. Power: each change of tests/tau_changes.py injected into each trial in
turn, against one, two or three of the others as baselines: how often the change's own kind is
significant, the verdicts, and the change's p-values with their Monte-Carlo error. Stability: the
verdict of each injected comparison at many seeds.

    python bench/calibration.py [--seeds 5] [--stability-seeds 20]
"""
from __future__ import annotations

import argparse
import collections
import itertools
import statistics
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests"))

import tau_changes as tc  # noqa: E402

from velkin.compare import compare_runs  # noqa: E402

# A switch to an unpriced model leaves cost out, so that the switch alone is what changed.
BASELINE_PRICES = {"gpt-4o": tc.PRICING["gpt-4o"]}


def alarm(report: dict) -> bool:
    return report["verdict"] in ("regressed", "mixed") or any(c["regressed"] for c in report["conversations"])


def splits(count: int):
    """(baseline trials, candidate trial) for every candidate and every choice of `count` others."""
    for candidate in range(4):
        for bases in itertools.combinations([t for t in range(4) if t != candidate], count):
            yield list(bases), candidate


def found(report: dict, kind: str):
    """Whether the change's own kind is significant, and its p-value and Monte-Carlo error."""
    if kind == "model":
        return report["models"]["switched"], None, None
    if kind == "outcome":
        o = report["outcome"]
        return o["significant"], o["p_adjusted"], o["p_mc_error"]
    for entry in report["signatures"] + report["axes"]:
        if entry.get("kind", entry.get("axis")) == kind:
            return entry["significant"], entry["p_adjusted"], entry["p_mc_error"]
    raise KeyError(kind)


def near_threshold(report: dict) -> list:
    """Tests whose adjusted p-value lies within three Monte-Carlo errors of 0.05."""
    tests = [(t.get("kind", t.get("axis")), t) for t in report["signatures"] + report["axes"]]
    if report["outcome"]:
        tests.append(("outcome", report["outcome"]))
    return [f"{name} {t['p_adjusted']:.4f} ± {t['p_mc_error']:.4f} ({report['relabellings']} drawn)"
            for name, t in tests
            if t["p_adjusted"] is not None and t["p_mc_error"] and abs(t["p_adjusted"] - 0.05) <= 3 * t["p_mc_error"]]


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--seeds", type=int, default=5)
    parser.add_argument("--stability-seeds", type=int, default=20)
    args = parser.parse_args()
    runs = tc.trial_runs()
    started = time.perf_counter()

    print("A/A: the unchanged agent (alarms / comparisons)")
    for count in (1, 2, 3):
        total = raised = 0
        verdicts = collections.Counter()
        for seed in range(args.seeds):
            for bases, candidate in splits(count):
                report = compare_runs([runs[b] for b in bases], [runs[candidate]], pricing=tc.PRICING, seed=seed)
                total += 1
                raised += alarm(report)
                verdicts[report["verdict"]] += 1
        print(f"  {count} baseline run(s) vs 1: {raised} / {total}   verdicts {dict(verdicts)}")

    print("\nInjected changes (kind found / comparisons; verdicts; median adjusted p ± Monte-Carlo error)")
    changes = dict(tc.CHANGES)
    changes["improvement"] = (None, "outcome", "improved")
    stability = []
    for name, (inject, kind, expected) in changes.items():
        for count in (1, 2, 3):
            hits = total = 0
            verdicts = collections.Counter()
            ps, errors = [], []
            for bases, candidate in splits(count):
                if inject:
                    changed, _ = tc.changed_run(runs[candidate], inject)
                else:
                    changed, _ = tc.improved_run(runs[candidate], [runs[t] for t in range(4) if t != candidate])
                baseline = [runs[b] for b in bases]
                report = compare_runs(baseline, [changed], pricing=BASELINE_PRICES)
                hit, p, error = found(report, kind)
                hits += hit
                total += 1
                verdicts[report["verdict"]] += 1
                if p is not None:
                    ps.append(p)
                    errors.append(error or 0.0)
                if args.stability_seeds and count != 2:
                    seen = collections.Counter(compare_runs(baseline, [changed], pricing=BASELINE_PRICES,
                                                            seed=seed)["verdict"]
                                               for seed in range(args.stability_seeds))
                    stability.append(seen.most_common(1)[0][1])
                    if seen.most_common(1)[0][1] < 0.95 * args.stability_seeds:
                        print(f"    unstable: {name}, trials {bases} vs {candidate}: {dict(seen)}; "
                              f"near 0.05: {near_threshold(report)}")
            p_text = f"p {statistics.median(ps):.3f} ± {statistics.median(errors):.3f}" if ps else ""
            print(f"  {name:20s} {count} vs 1: {hits:2d} / {total:2d}  expected {expected:10s} "
                  f"verdicts {dict(verdicts)}  {p_text}")
    if stability:
        agree = sum(s >= 0.95 * args.stability_seeds for s in stability)
        print(f"\nSeed stability: {agree} of {len(stability)} injected comparisons give one verdict at "
              f">= 95% of {args.stability_seeds} seeds (worst: {min(stability)} of {args.stability_seeds})")
    print(f"\n{time.perf_counter() - started:.1f} s")


if __name__ == "__main__":
    main()
