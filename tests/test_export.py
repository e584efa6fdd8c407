"""The report as Python objects: key orders, value types, None for non-finite numbers."""
import math

from velkin._core import compute_diff_report, compute_semantic_axis_with_embedder

AXIS_ORDER = ["semantic", "trajectory", "safety", "verbosity", "latency", "cost", "reasoning", "judge", "conformance"]
AXES = set(AXIS_ORDER)
STAT = {"axis": AXES, "baseline_median": float, "candidate_median": float, "delta": float, "ci95_low": float,
        "ci95_high": float, "severity": {"none", "minor", "moderate", "severe"}, "n": int,
        "flags": [{"low_power", "ci_crosses_zero", "no_pricing"}]}
DIVERGENCE = {"baseline_turn": int, "candidate_turn": int,
              "kind": {"style_drift", "decision_drift", "structural_drift"}, "primary_axis": AXES,
              "explanation": str, "confidence": float}
RECOMMENDATION = {"severity": {"error", "warning", "info"},
                  "action": {"restore", "remove", "revert", "review", "verify", "root_cause"}, "turn": int,
                  "baseline_turn": int, "candidate_turn": int, "message": str, "rationale": str, "axis": AXES,
                  "confidence": float}
SCORE = {"axis": AXES, "baseline_value": float, "candidate_value": float, "delta": float, "normalized_delta": float}
DRILL_DOWN = {"pair_index": int, "baseline_turn": int, "candidate_turn": int, "axis_scores": [SCORE],
              "regression_score": float, "dominant_axis": AXES}
REPORT = {"rows": [STAT], "baseline_trace_id": str, "candidate_trace_id": str, "pair_count": int,
          "first_divergence": (DIVERGENCE,), "divergences": [DIVERGENCE], "recommendations": [RECOMMENDATION],
          "drill_down": [DRILL_DOWN]}
EMPTY_ROW = {"baseline_median": 0.0, "candidate_median": 0.0, "delta": 0.0, "ci95_low": 0.0, "ci95_high": 0.0,
             "severity": "none", "n": 0, "flags": []}


def check(value, shape):
    """`value` has `shape`: a dict of keys in order, [shape] for a list, (shape,) for shape or None, a set of
    enumeration names, or a type; floats may be None but are never non-finite."""
    if isinstance(shape, dict):
        assert type(value) is dict and list(value) == list(shape)
        for key, inner in shape.items():
            check(value[key], inner)
    elif isinstance(shape, list):
        assert type(value) is list
        for item in value:
            check(item, shape[0])
    elif isinstance(shape, tuple):
        assert value is None or check(value, shape[0]) is None
    elif isinstance(shape, set):
        assert value in shape
    elif shape is float:
        assert value is None or (type(value) is float and math.isfinite(value))
    else:
        assert type(value) is shape


def response(index, text, tools=(), input_tokens=10):
    content = [{"type": "text", "text": text}]
    content += [{"type": "tool_use", "id": f"t{index}{k}", "name": name, "input": {"q": 1}}
                for k, name in enumerate(tools)]
    payload = {"content": content, "stop_reason": "end_turn", "model": "m",
               "usage": {"input_tokens": input_tokens, "output_tokens": 5}}
    return {"version": "0.1", "id": f"r{index}", "kind": "chat_response", "ts": "t", "payload": payload}


BASELINE = [response(0, "hello there"), response(1, "searching", ["search"]), response(2, "done")]
CANDIDATE = [response(0, "hello there"), response(1, "searching", ["search", "search"]), response(2, "done")]


def test_full_report():
    report = compute_diff_report(BASELINE, CANDIDATE, None, 42)
    check(report, REPORT)
    assert [row["axis"] for row in report["rows"]] == AXIS_ORDER and report["pair_count"] == 3
    assert report["first_divergence"] and report["recommendations"] and report["drill_down"]
    verbosity = report["rows"][3]  # five output tokens on both sides: integral medians stay floats
    assert verbosity["baseline_median"] == 5.0 and type(verbosity["baseline_median"]) is float


def test_empty_report_keeps_every_key():
    report = compute_diff_report([], [], None, 0)
    check(report, REPORT)
    assert report["first_divergence"] is None and report["pair_count"] == 0
    assert report["divergences"] == report["recommendations"] == report["drill_down"] == []
    assert report["rows"] == [{"axis": axis, **EMPTY_ROW} for axis in AXIS_ORDER]


def test_non_finite_numbers_become_none():
    # A finite token count times a price overflows to an infinite cost; inf - inf is NaN.
    trace = [response(0, "a", input_tokens=1e308)]
    report = compute_diff_report(trace, trace, {"m": (10.0, 10.0)}, 1)
    cost = report["rows"][5]
    check(cost, STAT)
    assert [cost[key] for key in list(STAT)[1:6]] == [None] * 5 and cost["n"] == 1
    [score] = [s for s in report["drill_down"][0]["axis_scores"] if s["axis"] == "cost"]
    assert score["baseline_value"] is None and score["delta"] is None


def test_embedder_axis_dict():
    def embed(texts):
        return [[1, len(text)] for text in texts]
    stat = compute_semantic_axis_with_embedder(BASELINE, CANDIDATE, embed, 2**64 - 1)
    check(stat, STAT)
    assert (stat["axis"], stat["n"], stat["baseline_median"]) == ("semantic", 3, 1.0)
    assert compute_semantic_axis_with_embedder(BASELINE, CANDIDATE, embed, 2**64 - 1) == stat
