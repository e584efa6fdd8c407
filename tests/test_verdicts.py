"""Verdicts on real runs: four tau-bench trials of one agent compared with each other (nothing changed)
and with a trial changed one way at a time, with one, two and three baseline runs."""
import itertools
import json
import subprocess
import sys

import pytest
import tau_changes as tc

from velkin import write_agentlog
from velkin.compare import compare_runs

CANDIDATE = 2


@pytest.fixture(scope="module")
def runs():
    return tc.trial_runs()


def baselines(runs, count):
    return [runs[t] for t in range(4) if t != CANDIDATE][:count]


def alarms(report):
    return report["verdict"] in ("regressed", "mixed") or any(c["regressed"] for c in report["conversations"])


def significant(report):
    kinds = {s["kind"] for s in report["signatures"] if s["significant"] and s["kind"] != "pooled"}
    kinds |= {a["axis"] for a in report["axes"] if a["significant"] and a["direction"]}
    if report["outcome"] and report["outcome"]["significant"]:
        kinds.add("outcome")
    if report["models"]["switched"]:
        kinds.add("model")
    return kinds


def test_one_run_against_one_run_of_the_unchanged_agent_is_silent(runs):
    raised = [(b, c) for b, c in itertools.permutations(range(4), 2)
              if alarms(compare_runs([runs[b]], [runs[c]], pricing=tc.PRICING))]
    assert len(raised) <= 1, raised  # 12 ordered pairs at a family-wise rate of 5%


@pytest.mark.parametrize("seed", [1, 2])
def test_two_baseline_splits_of_the_unchanged_agent_are_silent(runs, seed):
    raised = []
    for candidate in range(4):
        for pair in itertools.combinations([t for t in range(4) if t != candidate], 2):
            report = compare_runs([runs[t] for t in pair], [runs[candidate]], pricing=tc.PRICING, seed=seed)
            if alarms(report):
                raised.append((pair, candidate))
    assert len(raised) <= 1, raised


# (change, baseline runs, verdict, the kind that must be significant). With one baseline run only the
# directional statistics are calibrated: an argument edit and reordered calls are then shown, not tested.
@pytest.mark.parametrize("change, count, verdict, kind", [
    ("duplicated call", 1, "regressed", "calls_more"),
    ("duplicated call", 3, "regressed", "calls_more"),
    ("argument edited", 1, "no significant change", None),
    ("argument edited", 2, "regressed", "argument_changed"),
    ("argument edited", 3, "regressed", "argument_changed"),
    ("swapped calls", 1, "no significant change", None),
    ("swapped calls", 2, "changed", "calls_reordered"),
    ("model switch", 1, "changed", "model"),
    ("model switch", 3, "changed", "model"),
    ("outcome drop", 2, "regressed", "outcome"),
    ("outcome drop", 3, "regressed", "outcome"),
    ("latency increase", 1, "regressed", "latency"),
    ("latency increase", 3, "regressed", "latency"),
])
def test_an_injected_change_gets_its_kind_and_verdict(runs, change, count, verdict, kind):
    inject, _, _ = tc.CHANGES[change]
    candidate, changed = tc.changed_run(runs[CANDIDATE], inject)
    # Only the baseline's model is priced: a switch to an unpriced model leaves cost out rather than at zero.
    report = compare_runs(baselines(runs, count), [candidate], pricing={"gpt-4o": tc.PRICING["gpt-4o"]})
    assert report["verdict"] == verdict
    found = significant(report)
    assert found == ({kind} if kind else set())
    regressed = {c["key"] for c in report["conversations"] if c["regressed"]}
    assert regressed <= changed  # a conversation is flagged only where the change was made
    if kind in ("calls_more", "argument_changed"):
        assert regressed
    if count == 1 and change in ("argument edited", "swapped calls"):
        descriptive = next(s for s in report["signatures"] if s["kind"] == tc.CHANGES[change][1])
        assert descriptive["descriptive"] and descriptive["conversations"] >= len(changed) // 2


@pytest.mark.parametrize("count", [1, 2, 3])
def test_an_improvement_is_no_regression(runs, count):
    donors = [runs[t] for t in range(4) if t != CANDIDATE]
    candidate, changed = tc.improved_run(runs[CANDIDATE], donors)
    report = compare_runs(baselines(runs, count), [candidate], pricing=tc.PRICING)
    outcome = report["outcome"]
    assert report["verdict"] == "improved" and outcome["direction"] == "better" and outcome["delta"] > 0.25
    assert not [r for r in report["recommendations"] if r["severity"] == "error"]
    improved = [c for c in report["conversations"] if c["improved"]]
    assert improved
    for conversation in improved:  # every candidate run scores above every baseline run
        assert min(conversation["candidate_outcomes"]) > max(conversation["baseline_outcomes"])
    assert any(r["message"].startswith("Outcome `reward` rose from") for r in report["recommendations"])


def test_an_argument_changed_within_a_call_names_both_values(runs):
    candidate, changed = tc.changed_run(runs[CANDIDATE], tc.edit_user_id)
    report = compare_runs(baselines(runs, 3), [candidate])
    findings = [f for c in report["conversations"] for f in c["findings"]
                if f["kind"] == "argument_changed" and f["severity"] == "error"]
    assert findings and {c["key"] for c in report["conversations"] if c["regressed"]} <= changed
    for finding in findings:
        assert finding["subject"].endswith("(user_id)")
        before, after = finding["explanation"].split(": ", 1)[1].split(" (")[0].split(" → ")
        assert json.loads(after) == json.loads(before) + "_2"


def test_a_model_switch_is_named_with_its_response_counts_and_no_false_hint(runs):
    candidate, _ = tc.changed_run(runs[CANDIDATE], tc.switch_model)
    report = compare_runs(baselines(runs, 2), [candidate])
    models = report["models"]
    responses = sum(1 for r in candidate if r["kind"] == "chat_response")
    assert models["switched"] and models["candidate"] == [{"model": tc.OTHER_MODEL, "responses": responses}]
    assert [m["model"] for m in models["baseline"]] == [tc.MODEL]
    messages = [r["message"] for r in report["recommendations"]]
    assert any(m.startswith("The model switched") and tc.OTHER_MODEL in m for m in messages)
    assert not any("system-prompt" in m or "cost stable" in m for m in messages)


@pytest.mark.parametrize("pricing, priced, unpriced", [
    (None, False, []),
    ({"gpt-4o": (2.5e-06, 1e-05)}, False, [{"model": tc.OTHER_MODEL, "baseline": 0}]),
    (tc.PRICING, True, []),
])
def test_cost_is_graded_only_where_both_sides_are_priced(runs, pricing, priced, unpriced):
    candidate, _ = tc.changed_run(runs[CANDIDATE], tc.switch_model)
    report = compare_runs(baselines(runs, 2), [candidate], pricing=pricing)
    cost = next(a for a in report["axes"] if a["axis"] == "cost")
    assert cost["priced"] == priced and (cost["n"] > 0) == priced
    if not priced:
        assert cost["severity"] == "none" and not cost["significant"]
    else:
        assert cost["direction"] == "better" and cost["delta"] < 0  # mini is cheaper
    assert report["pricing"]["table"] == (pricing is not None)
    assert [{k: u[k] for k in e} for u, e in zip(report["pricing"]["unpriced"], unpriced)] == unpriced
    assert len(report["pricing"]["unpriced"]) == len(unpriced)


def test_a_decision_holds_across_seeds(runs):
    candidate, _ = tc.changed_run(runs[CANDIDATE], tc.drop_outcome)
    verdicts = []
    for seed in range(20):
        report = compare_runs(baselines(runs, 2), [candidate], seed=seed)
        outcome = report["outcome"]
        # Drawn until the 99% Monte-Carlo interval of the p-value leaves the threshold, or 16,000 drawn.
        assert outcome["p_mc_error"] > 0
        assert abs(outcome["p_adjusted"] - 0.05) > 2.576 * outcome["p_mc_error"] or report["relabellings"] == 16000
        assert report["relabellings"] in (1000, 2000, 4000, 8000, 16000)
        verdicts.append(report["verdict"])
    assert verdicts.count("regressed") >= 19, verdicts


def velkin(*args):
    return subprocess.run([sys.executable, "-m", "velkin", *map(str, args)], capture_output=True, text=True,
                          timeout=120)


@pytest.mark.parametrize("change, code, headline", [
    (None, 0, "NO SIGNIFICANT CHANGE"),
    ("latency increase", 1, "REGRESSED"),
    ("improvement", 0, "IMPROVED"),
])
def test_the_gate_fails_only_on_a_regression(runs, tmp_path, change, code, headline):
    if change == "improvement":
        candidate, _ = tc.improved_run(runs[CANDIDATE], [runs[t] for t in range(4) if t != CANDIDATE])
    elif change:
        candidate, _ = tc.changed_run(runs[CANDIDATE], tc.CHANGES[change][0])
    else:
        candidate = runs[CANDIDATE]
    paths = [tmp_path / "baseline.agentlog", tmp_path / "candidate.agentlog"]
    paths[0].write_bytes(write_agentlog(runs[0]))
    paths[1].write_bytes(write_agentlog(candidate))
    done = velkin("compare", "--baseline", paths[0], "--candidate", paths[1], "--json")
    assert done.returncode == code, done.stderr
    assert json.loads(done.stdout)["verdict"] == headline.lower()


def test_runs_that_pair_nothing_exit_2(runs, tmp_path):
    paths = [tmp_path / "baseline.agentlog", tmp_path / "candidate.agentlog"]
    paths[0].write_bytes(write_agentlog(runs[0]))
    other = [dict(r, meta=dict(r["meta"], task_id=f"other-{r['meta']['task_id']}")) if r["kind"] == "metadata"
             else r for r in runs[1]]
    paths[1].write_bytes(write_agentlog(other))
    done = velkin("compare", "--baseline", paths[0], "--candidate", paths[1])
    assert done.returncode == 2 and done.stdout == ""
    assert done.stderr.count("\n") == 1 and "--key MEMBER" in done.stderr and "velkin import" in done.stderr
