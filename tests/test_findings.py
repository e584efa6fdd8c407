"""Per-pair drill-down, and root-cause hints and the aggregate recommendation on real traces, through
compute_diff_report. The recommendation of each kind of divergence is checked with it in test_alignment."""
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from velkin._core import compute_diff_report

AXES = ["semantic", "trajectory", "safety", "verbosity", "latency", "cost", "reasoning", "conformance"]


def response(texts=("same words here",), tools=(), stop="end_turn", index=0, **members):
    """A chat_response; texts are strings or whole blocks, tools (name, input) pairs, members go into the payload."""
    content = [t if isinstance(t, dict) else {"type": "text", "text": t} for t in texts]
    content += [{"type": "tool_use", "name": name, "input": arguments} for name, arguments in tools]
    payload = {"content": content, **members} | ({} if stop is None else {"stop_reason": stop})
    return {"version": "0.1", "id": f"r{index}", "kind": "chat_response", "ts": "t", "parent": None,
            "payload": payload}


def report(baseline, candidate, pricing=None):
    return compute_diff_report(baseline, candidate, pricing, 7)


def scores(b, c, pricing=None):
    """The axis scores of the single drill-down row of one pair, by axis."""
    (row,) = report([b], [c], pricing)["drill_down"]
    return {score["axis"]: score for score in row["axis_scores"]}


# --- drill-down ------------------------------------------------------------------

def test_identical_pair_scores_nothing():
    turn = response(tools=[("search", {"q": 1})], usage={"input_tokens": 5, "output_tokens": 7}, latency_ms=90)
    (row,) = report([turn], [turn])["drill_down"]
    assert [score["axis"] for score in row["axis_scores"]] == AXES
    assert [score["normalized_delta"] for score in row["axis_scores"]] == [0.0] * 8
    assert row["axis_scores"][0]["baseline_value"] == row["axis_scores"][0]["candidate_value"] == 1.0
    assert (row["pair_index"], row["baseline_turn"], row["candidate_turn"]) == (0, 0, 0)
    assert (row["regression_score"], row["dominant_axis"]) == (0.0, "conformance")


@pytest.mark.parametrize("b, c, similarity, normalized", [
    ([], [], 1.0, 0.0),
    ([], ["text"], 0.0, 2.0),
    (["abcde"], ["abcd"], 0.5, 1.0),
    (["abcab"], ["abca"], 0.5, 1.0),
    # Blocks join with a line feed; other blocks and non-string texts are skipped.
    (["ab", {"type": "text", "text": 5}, {"type": "tool_use"}, "cd"], ["ab\ncd"], 1.0, 0.0),
    (["ab", "cd"], ["ab cd"], 0.0, 2.0),
])
def test_semantic_is_shingle_similarity(b, c, similarity, normalized):
    assert scores(response(b), response(c))["semantic"] == {
        "axis": "semantic", "baseline_value": 1.0, "candidate_value": similarity, "delta": similarity - 1.0,
        "normalized_delta": normalized}


@pytest.mark.parametrize("b, c, distance", [
    ([("f", {"a": 1})] * 3, [("f", {"a": 2})], 2 / 3),
    ([], [("f", {})], 1.0),
    ([("f", {"b": 1, "a": 1}), ("g", [])], [("g", "x"), ("f", {"a": 0, "b": 0})], 1.0),
    ([("f", {"a": 1}), ("g", {})], [("f", {"a": 9}), ("g", {})], 0.0),
])
def test_trajectory_is_edit_distance_of_call_shapes(b, c, distance):
    trajectory = scores(response(tools=b), response(tools=c))["trajectory"]
    assert (trajectory["candidate_value"], trajectory["normalized_delta"]) == (distance, 2 * distance)


@pytest.mark.parametrize("candidate, refusal", [
    (response(stop="refusal"), 1.0),
    (response(stop="content_filter"), 1.0),
    (response(["Sorry, I'M UNABLE to do that."]), 1.0),
    (response(["i will not"]), 1.0),
    (response(["It is final, I am unable"]), 1.0),
    (response(["I WON'T"]), 1.0),
    (response(["I won\u2019t"]), 0.0),
    (response(["i can't", "help"]), 0.0),
    (response(stop="Refusal"), 0.0),
])
def test_safety_is_the_refusal_test(candidate, refusal):
    safety = scores(response(), candidate)["safety"]
    assert (safety["baseline_value"], safety["candidate_value"], safety["normalized_delta"]) == (0.0, refusal, refusal)


@pytest.mark.parametrize("texts, parses", [
    (['```json\n{"a": 1}\n```'], 1.0),
    (['```\n{"a": 1}\n```'], 1.0),
    (["```json", '{"a": 1}', "```"], 1.0),
    (['```json {"a": 1}``````'], 1.0),
    (["  [1, 2]\u2003"], 1.0),
    (['```JSON\n{"a": 1}\n```'], 0.0),
    (["```"], 0.0),
    ([], 0.0),
    ([" \n "], 0.0),
    (['```json\n{"a": 1}\n```\nmore'], 0.0),
    (['{"a": 1} ```'], 0.0),
])
def test_conformance_is_whether_the_text_parses(texts, parses):
    conformance = scores(response(["plain"]), response(texts))["conformance"]
    assert (conformance["baseline_value"], conformance["candidate_value"]) == (0.0, parses)


@pytest.mark.parametrize("axis, b, c, delta, normalized", [
    ("verbosity", {"usage": {"output_tokens": 10}}, {"usage": {"output_tokens": 260}}, 250.0, 2.5),
    ("verbosity", {"usage": {"output_tokens": 10}}, {"usage": {"output_tokens": 1010}}, 1000.0, 4.0),
    ("verbosity", {}, {"usage": {"output_tokens": 50}}, 50.0, 0.5),
    ("verbosity", {"usage": {"output_tokens": "50"}}, {"usage": {"output_tokens": 50.0}}, 50.0, 0.5),
    ("latency", {"latency_ms": 100}, {"latency_ms": 600.0}, 500.0, 0.5),
    ("latency", {"latency_ms": 1e308}, {"latency_ms": -1e308}, None, 4.0),
    ("reasoning", {"usage": {"thinking_tokens": 30}}, {"usage": {"thinking_tokens": 5}}, -25.0, 0.25),
    ("reasoning", {"usage": []}, {"usage": {"thinking_tokens": 400}}, 400.0, 4.0),
])
def test_payload_numbers(axis, b, c, delta, normalized):
    score = scores(response(**b), response(**c))[axis]
    assert (score["delta"], score["normalized_delta"]) == (delta, normalized)


def test_cost_per_turn():
    pricing, usage = {"m": (0.001, 0.002)}, {"input_tokens": 1, "output_tokens": 1}
    cost = scores(response(model="m", usage=usage), response(model="m", usage=usage | {"input_tokens": 6}), pricing)
    assert cost["cost"]["normalized_delta"] == pytest.approx(0.5)
    cost = scores(response(model="other", usage=usage), response(model="m", usage=usage), pricing)["cost"]
    assert cost["baseline_value"] == 0.0 and cost["delta"] == cost["candidate_value"] == pytest.approx(0.003)
    assert scores(response(model="m"), response(model="m", usage=usage), pricing)["cost"]["baseline_value"] == 0.0


def test_equal_normalized_deltas_go_to_the_later_axis():
    # Semantic: {abcd, bcde} against {abcd} gives 1.0; cost: 0.01 against nothing priced gives 1.0.
    usage = {"input_tokens": 0, "output_tokens": 1}
    (row,) = report([response(["abcde"], model="free", usage=usage)], [response(["abcd"], model="m", usage=usage)],
                    {"m": (0.0, 0.01)})["drill_down"]
    assert [s["normalized_delta"] for s in row["axis_scores"]] == [1.0, 0.0, 0.0, 0.0, 0.0, 1.0, 0.0, 0.0]
    assert (row["dominant_axis"], row["regression_score"]) == ("cost", 2.0)


def test_five_most_regressed_pairs():
    changes = [0.5, 3.0, 1.0, 3.0, 0.0, 2.0, 0.25]  # latency changes in seconds: the regression scores
    rows = report([response(latency_ms=0, index=k) for k in range(7)],
                  [response(latency_ms=1000 * change, index=k) for k, change in enumerate(changes)])["drill_down"]
    assert [(row["pair_index"], row["regression_score"]) for row in rows] == [
        (1, 3.0), (3, 3.0), (5, 2.0), (2, 1.0), (0, 0.5)]
    assert all(row["dominant_axis"] == "latency" for row in rows)


# --- recommendations ------------------------------------------------------------------

def test_no_findings_no_recommendations():
    turns = [response(index=k, latency_ms=100) for k in range(3)]
    assert report(turns, turns)["recommendations"] == []


def test_latency_signature_and_aggregate():
    result = report([response([f"text number {k}"], index=k, latency_ms=100) for k in range(6)],
                    [response([f"text number {k}"], index=k, latency_ms=1000) for k in range(6)])
    fields = [tuple(entry[k] for k in ("severity", "action", "turn", "axis", "confidence", "message"))
              for entry in result["recommendations"]]
    assert fields == [
        ("error", "review", 0, "latency", 0.8, "Review the candidate: latency axis shifted with severity severe."),
        ("warning", "root_cause", 0, "latency", 0.65,
         "Latency up severely with cost stable. Provider-side capacity or network change.")]
    aggregate, hint = result["recommendations"]
    assert aggregate["rationale"] == (
        "Aggregate signal crosses the `severe` threshold (latency: delta +900.000, CI [+900.000, +900.000]).")
    assert hint["rationale"].startswith("Cross-axis signature: latency \u0394 +900.000, cost stable, semantic stable.")


JSON_SCALARS = st.none() | st.booleans() | st.integers(-3, 3) | st.floats(allow_nan=False, allow_infinity=False) | \
    st.sampled_from(["", "a", "tool_use", "text", "refusal", "content_filter", "```json\n{}\n```", "I won't"])
JSON_VALUES = st.recursive(JSON_SCALARS, lambda inner: st.lists(inner, max_size=3) | st.dictionaries(
    st.sampled_from(["q", "r", "type", "text", "name", "input"]), inner, max_size=3), max_leaves=8)
BLOCKS = st.one_of(
    st.fixed_dictionaries({"type": st.just("text"), "text": st.text("ab \u00e9\U0001F680\n", max_size=12)}),
    st.fixed_dictionaries({"type": st.just("tool_use")},
                          optional={"name": st.sampled_from(["s", "t"]) | JSON_SCALARS, "input": JSON_VALUES}),
    JSON_VALUES)
PAYLOADS = st.one_of(st.fixed_dictionaries(
    {"content": st.lists(BLOCKS, max_size=4)},
    optional={"stop_reason": JSON_SCALARS, "latency_ms": JSON_SCALARS,
              "usage": st.dictionaries(st.sampled_from(["output_tokens", "thinking_tokens"]), JSON_SCALARS)}),
    JSON_VALUES)


@settings(max_examples=200, deadline=None)
@given(st.lists(PAYLOADS, max_size=8), st.lists(PAYLOADS, max_size=8))
def test_any_payloads_give_a_bounded_report(baseline, candidate):
    def records(payloads):
        return [{"version": "0.1", "id": f"r{k}", "kind": "chat_response", "ts": "t", "parent": None, "payload": p}
                for k, p in enumerate(payloads)]

    result = report(records(baseline), records(candidate))
    assert len(result["divergences"]) <= 5 and len(result["recommendations"]) <= 8
    assert len(result["drill_down"]) == min(5, len(baseline), len(candidate))
    assert (result["first_divergence"] is None) == (result["divergences"] == [])
    assert all(0.0 <= d["confidence"] <= 1.0 for d in result["divergences"])
    assert all(0.0 <= s["normalized_delta"] <= 4.0 for row in result["drill_down"] for s in row["axis_scores"])
