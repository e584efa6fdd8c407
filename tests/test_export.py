"""The report as Python objects: key orders, value types, None for non-finite numbers."""
import math

import pytest

from velkin._core import compute_diff_report, compute_semantic_axis_with_embedder

AXES = ["semantic", "trajectory", "safety", "verbosity", "latency", "cost", "reasoning", "judge", "conformance"]
REPORT_KEYS = ["rows", "baseline_trace_id", "candidate_trace_id", "pair_count", "first_divergence",
               "divergences", "recommendations", "drill_down"]
STAT_KEYS = ["axis", "baseline_median", "candidate_median", "delta", "ci95_low", "ci95_high", "severity", "n",
             "flags"]
DIVERGENCE_KEYS = ["baseline_turn", "candidate_turn", "kind", "primary_axis", "explanation", "confidence"]
RECOMMENDATION_KEYS = ["severity", "action", "turn", "baseline_turn", "candidate_turn", "message", "rationale",
                       "axis", "confidence"]
DRILLDOWN_KEYS = ["pair_index", "baseline_turn", "candidate_turn", "axis_scores", "regression_score",
                  "dominant_axis"]
SCORE_KEYS = ["axis", "baseline_value", "candidate_value", "delta", "normalized_delta"]

STAT_FLOATS = STAT_KEYS[1:6]
SEVERITIES = {"none", "minor", "moderate", "severe"}
FLAGS = {"low_power", "ci_crosses_zero", "no_pricing"}


def response(index, text, tools=(), input_tokens=10):
    content = [{"type": "text", "text": text}]
    content += [{"type": "tool_use", "id": f"t{index}{k}", "name": name, "input": {"q": 1}}
                for k, name in enumerate(tools)]
    payload = {"content": content, "stop_reason": "end_turn", "model": "m",
               "usage": {"input_tokens": input_tokens, "output_tokens": 5}}
    return {"version": "0.1", "id": f"r{index}", "kind": "chat_response", "ts": "t", "payload": payload}


def duplicate_call_traces():
    baseline = [response(0, "hello there"), response(1, "searching", ["search"]), response(2, "done")]
    candidate = [response(0, "hello there"), response(1, "searching", ["search", "search"]), response(2, "done")]
    return baseline, candidate


def check_float_or_none(value):
    assert value is None or (type(value) is float and math.isfinite(value))


def check_stat(stat, axis):
    assert list(stat) == STAT_KEYS
    assert stat["axis"] == axis
    for key in STAT_FLOATS:
        check_float_or_none(stat[key])
    assert stat["severity"] in SEVERITIES
    assert type(stat["n"]) is int
    assert type(stat["flags"]) is list and set(stat["flags"]) <= FLAGS


def check_divergence(divergence):
    assert list(divergence) == DIVERGENCE_KEYS
    assert type(divergence["baseline_turn"]) is int and type(divergence["candidate_turn"]) is int
    assert divergence["kind"] in {"style_drift", "decision_drift", "structural_drift"}
    assert divergence["primary_axis"] in AXES
    assert type(divergence["explanation"]) is str
    check_float_or_none(divergence["confidence"])


class TestReportShape:
    def test_full_report(self):
        report = compute_diff_report(*duplicate_call_traces(), None, 42)
        assert list(report) == REPORT_KEYS
        assert [row["axis"] for row in report["rows"]] == AXES
        for row, axis in zip(report["rows"], AXES):
            check_stat(row, axis)
        assert type(report["baseline_trace_id"]) is str and type(report["pair_count"]) is int
        assert report["pair_count"] == 3

        check_divergence(report["first_divergence"])
        assert report["divergences"]
        for divergence in report["divergences"]:
            check_divergence(divergence)

        assert report["recommendations"]
        for recommendation in report["recommendations"]:
            assert list(recommendation) == RECOMMENDATION_KEYS
            assert recommendation["severity"] in {"error", "warning", "info"}
            assert recommendation["action"] in {"restore", "remove", "revert", "review", "verify", "root_cause"}
            for key in ("turn", "baseline_turn", "candidate_turn"):
                assert type(recommendation[key]) is int
            assert recommendation["axis"] in AXES
            check_float_or_none(recommendation["confidence"])

        assert report["drill_down"]
        for row in report["drill_down"]:
            assert list(row) == DRILLDOWN_KEYS
            for key in ("pair_index", "baseline_turn", "candidate_turn"):
                assert type(row[key]) is int
            check_float_or_none(row["regression_score"])
            assert row["dominant_axis"] in AXES
            for score in row["axis_scores"]:
                assert list(score) == SCORE_KEYS
                assert score["axis"] in AXES
                for key in SCORE_KEYS[1:]:
                    check_float_or_none(score[key])

    def test_empty_traces(self):
        report = compute_diff_report([], [], None, 0)
        assert list(report) == REPORT_KEYS
        assert report["first_divergence"] is None
        assert report["divergences"] == [] and report["recommendations"] == [] and report["drill_down"] == []
        assert report["baseline_trace_id"] == "" and report["pair_count"] == 0
        for row, axis in zip(report["rows"], AXES):
            assert row == {"axis": axis, "baseline_median": 0.0, "candidate_median": 0.0, "delta": 0.0,
                           "ci95_low": 0.0, "ci95_high": 0.0, "severity": "none", "n": 0, "flags": []}
            assert type(row["delta"]) is float

    def test_integral_floats_stay_floats(self):
        # Output tokens 5 on both sides: the verbosity medians are integral values.
        verbosity = compute_diff_report(*duplicate_call_traces(), None, 1)["rows"][3]
        assert verbosity["baseline_median"] == 5.0 and type(verbosity["baseline_median"]) is float

    def test_non_finite_numbers_become_none(self):
        # A finite token count times a price overflows to an infinite cost; inf - inf is NaN.
        traces = [response(0, "a", input_tokens=1e308)]
        report = compute_diff_report(traces, traces, {"m": (10.0, 10.0)}, 1)
        cost = report["rows"][5]
        check_stat(cost, "cost")
        for key in STAT_FLOATS:
            assert cost[key] is None
        assert cost["n"] == 1 and cost["severity"] in SEVERITIES
        [row] = report["drill_down"]
        [cost_score] = [s for s in row["axis_scores"] if s["axis"] == "cost"]
        assert cost_score["baseline_value"] is None and cost_score["delta"] is None

    def test_results_are_new_objects(self):
        first = compute_diff_report([], [], None, 0)
        second = compute_diff_report([], [], None, 0)
        assert first == second
        assert first is not second and first["rows"] is not second["rows"]


class TestAxisStatExport:
    def test_embedder_axis_dict(self):
        baseline, candidate = duplicate_call_traces()
        stat = compute_semantic_axis_with_embedder(baseline, candidate, lambda texts: [[1, 2]] * len(texts), 5)
        check_stat(stat, "semantic")
        assert stat["n"] == 3
        assert stat["baseline_median"] == 1.0 and stat["candidate_median"] == 1.0

    @pytest.mark.parametrize("seed", [0, 2**64 - 1])
    def test_same_seed_same_interval(self, seed):
        baseline, candidate = duplicate_call_traces()

        def embed(texts):
            return [[1.0, float(len(text))] for text in texts]

        first = compute_semantic_axis_with_embedder(baseline, candidate[::-1], embed, seed)
        second = compute_semantic_axis_with_embedder(baseline, candidate[::-1], embed, seed)
        assert first == second
