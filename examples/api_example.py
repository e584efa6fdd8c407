"""velkin's public API from a user's script: import, diff, compare, render. Type-checks with mypy --strict.

    python examples/api_example.py OUT_DIR
"""
import sys
from pathlib import Path

import velkin

HERE = Path(__file__).resolve().parent
TAU_BENCH = HERE.parent / "tests" / "data" / "tau-bench" / "gpt-4o-airline-tasks-0-24.json"


def main(out: Path) -> int:
    pricing = {"nimbus-pro": (3e-06, 1.5e-05)}
    traces: velkin.DiffDict = velkin.diff(HERE / "baseline.agentlog", HERE / "candidate.agentlog", pricing=pricing,
                                          seed=7)
    print(traces["verdict"], traces["report"]["pair_count"], "pairs")
    (out / "diff.html").write_text(velkin.render(traces, "html"), encoding="utf-8")

    records = velkin.import_traces(TAU_BENCH, format="tau-bench")
    trial = {r["meta"]["trace_id"]: r["meta"]["trial"] for r in records if r["kind"] == "metadata" and "meta" in r}
    runs = [[r for r in records if "meta" in r and trial[r["meta"]["trace_id"]] == t] for t in range(3)]

    report: velkin.ComparisonDict = velkin.compare_runs(runs[:2], [runs[2]], key="task_id", seed=3)
    verdict: velkin.Verdict = report["verdict"]
    for axis in report["axes"]:
        if axis["significant"]:
            print(axis["axis"], axis["delta"], axis["direction"], axis["p_adjusted"], axis["p_mc_error"])
    regressed = [c["key"] for c in report["conversations"] if c["regressed"]]
    print(verdict, f"{len(regressed)} regressed", report["models"]["switched"])
    formats: list[velkin.Format] = ["text", "html", "markdown", "junit"]
    for fmt in formats:
        (out / f"compare.{fmt}").write_text(velkin.render(report, fmt), encoding="utf-8")
    return 1 if verdict in ("regressed", "mixed") else 0


if __name__ == "__main__":
    sys.exit(main(Path(sys.argv[1]) if len(sys.argv) > 1 else Path(".")))
