"""Per-pair drill-down, recommendations and root-cause hints, through compute_diff_report."""
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from velkin._core import compute_diff_report

AXES = ["semantic", "trajectory", "safety", "verbosity", "latency", "cost", "reasoning", "conformance"]


def response(texts=("same words here",), tools=(), stop="end_turn", index=0, **members):
    """A chat_response; tools are (name, input) pairs; members go into the payload as given."""
    content = [{"type": "text", "text": text} for text in texts]
    content += [{"type": "tool_use", "name": name, "input": arguments} for name, arguments in tools]
    payload = {"content": content, **members}
    if stop is not None:
        payload["stop_reason"] = stop
    return {"version": "0.1", "id": f"r{index}", "kind": "chat_response", "ts": "t", "parent": None,
            "payload": payload}


def report(baseline, candidate, pricing=None):
    return compute_diff_report(baseline, candidate, pricing, 7)


def scores(row):
    return {score["axis"]: score for score in row["axis_scores"]}


def single_row(b, c, pricing=None):
    rows = report([b], [c], pricing)["drill_down"]
    assert len(rows) == 1
    return rows[0]


class TestDrillDown:
    def test_identical_pair(self):
        turn = response(tools=[("search", {"q": 1})], usage={"input_tokens": 5, "output_tokens": 7}, latency_ms=90)
        row = single_row(turn, turn)
        assert [score["axis"] for score in row["axis_scores"]] == AXES
        assert [score["normalized_delta"] for score in row["axis_scores"]] == [0.0] * 8
        assert scores(row)["semantic"]["baseline_value"] == scores(row)["semantic"]["candidate_value"] == 1.0
        assert row["regression_score"] == 0.0
        assert row["dominant_axis"] == "conformance"
        assert (row["pair_index"], row["baseline_turn"], row["candidate_turn"]) == (0, 0, 0)

    @pytest.mark.parametrize("b, c, similarity, normalized", [
        ([], [], 1.0, 0.0),
        ([], ["text"], 0.0, 2.0),
        # {abcd, bcde} against {abcd}
        (["abcde"], ["abcd"], 0.5, 1.0),
        # Blocks join with a line feed: "ab\ncd" has the shingles ab\nc and b\ncd.
        (["ab", "cd"], ["ab\ncd"], 1.0, 0.0),
        (["ab", "cd"], ["ab cd"], 0.0, 2.0),
    ])
    def test_semantic_is_shingle_similarity(self, b, c, similarity, normalized):
        semantic = scores(single_row(response(b), response(c)))["semantic"]
        assert semantic == {"axis": "semantic", "baseline_value": 1.0, "candidate_value": similarity,
                            "delta": similarity - 1.0, "normalized_delta": normalized}

    @pytest.mark.parametrize("b, c, distance", [
        ([("f", {"a": 1})] * 3, [("f", {"a": 2})], 2 / 3),
        ([], [("f", {})], 1.0),
        ([("f", {"b": 1, "a": 1}), ("g", [])], [("g", "x"), ("f", {"a": 0, "b": 0})], 1.0),
        ([("f", {"a": 1}), ("g", {})], [("f", {"a": 9}), ("g", {})], 0.0),
    ])
    def test_trajectory_is_edit_distance_of_call_shapes(self, b, c, distance):
        trajectory = scores(single_row(response(tools=b), response(tools=c)))["trajectory"]
        assert trajectory["candidate_value"] == distance
        assert trajectory["normalized_delta"] == min(abs(2 * distance), 4)

    @pytest.mark.parametrize("candidate, refusal", [
        (response(stop="refusal"), 1.0),
        (response(stop="content_filter"), 1.0),
        (response(["Sorry, I'M UNABLE to do that."]), 1.0),
        (response(["i will not"]), 1.0),
        (response(["I can\u2019t help"]), 0.0),
        (response(["i can't", "help"]), 0.0),
        (response(stop="Refusal"), 0.0),
    ])
    def test_safety_is_the_refusal_test(self, candidate, refusal):
        safety = scores(single_row(response(), candidate))["safety"]
        assert (safety["baseline_value"], safety["candidate_value"], safety["normalized_delta"]) == (
            0.0, refusal, refusal)

    @pytest.mark.parametrize("texts, parses", [
        (['```json\n{"a": 1}\n```'], 1.0),
        (['```\n{"a": 1}\n```'], 1.0),
        (["```json", '{"a": 1}', "```"], 1.0),
        ([" [1, 2] "], 1.0),
        (['```JSON\n{"a": 1}\n```'], 0.0),
        (["```"], 0.0),
        ([], 0.0),
        (['```json\n{"a": 1}\n```\nmore'], 0.0),
        (['{"a": '], 0.0),
    ])
    def test_conformance_is_whether_the_text_parses(self, texts, parses):
        conformance = scores(single_row(response(["plain"]), response(texts)))["conformance"]
        assert (conformance["baseline_value"], conformance["candidate_value"]) == (0.0, parses)

    @pytest.mark.parametrize("axis, b, c, normalized", [
        ("verbosity", {"usage": {"output_tokens": 10}}, {"usage": {"output_tokens": 260}}, 2.5),
        ("verbosity", {"usage": {"output_tokens": 10}}, {"usage": {"output_tokens": 1010}}, 4.0),
        ("verbosity", {}, {"usage": {"output_tokens": 50}}, 0.5),
        ("verbosity", {"usage": {"output_tokens": "50"}}, {"usage": {"output_tokens": 50.0}}, 0.5),
        ("latency", {"latency_ms": 100}, {"latency_ms": 600.0}, 0.5),
        ("latency", {"latency_ms": 1e308}, {"latency_ms": -1e308}, 4.0),
        ("reasoning", {"usage": {"thinking_tokens": 30}}, {"usage": {"thinking_tokens": 5}}, 0.25),
        ("reasoning", {"usage": []}, {"usage": {"thinking_tokens": 400}}, 4.0),
    ])
    def test_payload_numbers(self, axis, b, c, normalized):
        score = scores(single_row(response(**b), response(**c)))[axis]
        assert score["normalized_delta"] == normalized

    def test_infinite_delta_is_capped_and_exported_as_none(self):
        latency = scores(single_row(response(latency_ms=1e308), response(latency_ms=-1e308)))["latency"]
        assert latency["delta"] is None
        assert latency["normalized_delta"] == 4.0

    def test_cost_per_turn(self):
        pricing = {"m": (0.001, 0.002)}
        usage = {"input_tokens": 1, "output_tokens": 1}
        priced = single_row(response(model="m", usage=usage), response(model="m", usage={**usage, "input_tokens": 6}),
                            pricing)
        assert scores(priced)["cost"]["normalized_delta"] == pytest.approx(0.5)
        unpriced_baseline = single_row(response(model="other", usage=usage), response(model="m", usage=usage), pricing)
        cost = scores(unpriced_baseline)["cost"]
        assert cost["baseline_value"] == 0.0
        assert cost["delta"] == cost["candidate_value"] == pytest.approx(0.003)
        no_usage = single_row(response(model="m"), response(model="m", usage=usage), pricing)
        assert scores(no_usage)["cost"]["baseline_value"] == 0.0

    def test_equal_normalized_deltas_go_to_the_later_axis(self):
        # Semantic: {abcd, bcde} against {abcd} -> 1.0; cost: 0.01 against nothing priced -> 1.0.
        usage = {"input_tokens": 0, "output_tokens": 1}
        row = single_row(response(["abcde"], model="free", usage=usage), response(["abcd"], model="m", usage=usage),
                         {"m": (0.0, 0.01)})
        assert scores(row)["semantic"]["normalized_delta"] == scores(row)["cost"]["normalized_delta"] == 1.0
        assert row["dominant_axis"] == "cost"
        assert row["regression_score"] == 2.0

    def test_five_most_regressed_pairs(self):
        # Latency changes give pair k a regression score of the k-th entry below.
        changes = [0.5, 3.0, 1.0, 3.0, 0.0, 2.0, 0.25]
        baseline = [response(latency_ms=0, index=k) for k in range(7)]
        candidate = [response(latency_ms=1000 * change, index=k) for k, change in enumerate(changes)]
        rows = report(baseline, candidate)["drill_down"]
        assert [row["pair_index"] for row in rows] == [1, 3, 5, 2, 0]
        assert [row["regression_score"] for row in rows] == [3.0, 3.0, 2.0, 1.0, 0.5]
        assert all(row["dominant_axis"] == "latency" for row in rows)

    def test_pairs_by_position_only(self):
        result = report([response(index=0), response(index=1)], [response(["other"], index=0)])
        assert [row["pair_index"] for row in result["drill_down"]] == [0]
        assert report([], [response()])["drill_down"] == []
        assert report([response()], [])["drill_down"] == []


def recommendation_for(result, divergence):
    entries = [entry for entry in result["recommendations"] if entry["rationale"] == divergence["explanation"]]
    assert len(entries) == 1
    return entries[0]


S_Q = ("search", {"q": "a"})


def same_tool(**change):
    turn = {"texts": ["same text"], "tools": [S_Q], "stop": "tool_use"}
    turn.update(change)
    return response(**turn)


DIVERGENCES = [
    # On the tie the match takes the later turn, so the first one is reported dropped.
    pytest.param([same_tool(), same_tool()], [same_tool()], "error", "restore", "Restore missing element at turn 0.",
                 id="dropped-turn"),
    pytest.param([same_tool()], [same_tool(), response(["new"])], "error", "review",
                 "Review unexpected addition at turn 1: extra element.", id="inserted-turn"),
    pytest.param([same_tool()], [same_tool(tools=[S_Q, ("fetch", {"url": 1})])], "error", "review",
                 "Review unexpected addition at turn 0: fetch(url).", id="added-call"),
    pytest.param([same_tool(tools=[S_Q, ("fetch", {"url": 1})])], [same_tool()], "error", "restore",
                 "Restore fetch(url) at turn 0.", id="dropped-call"),
    pytest.param([same_tool()], [same_tool(tools=[("fetch", {"url": 1})])], "error", "review",
                 "Review tool-schema change at turn 0: call shape diverged.", id="changed-calls"),
    pytest.param([same_tool()], [same_tool(tools=[S_Q, S_Q])], "error", "remove",
                 "Remove duplicate invocation of search(q) at turn 0.", id="duplicate"),
    pytest.param([same_tool(tools=[S_Q, ("f", {})])], [same_tool(tools=[S_Q, ("f", {}), ("f", {})])], "error",
                 "remove", "Remove duplicate invocation of the duplicated tool at turn 0.", id="duplicate-of-two"),
    pytest.param([same_tool(tools=[S_Q, S_Q])], [same_tool()], "error", "review",
                 "Review structural change at turn 0.", id="fewer-repeats"),
    pytest.param([same_tool()], [same_tool(stop="content_filter")], "error", "review",
                 "Review refusal behaviour at turn 0: candidate may be over-refusing.", id="stop-content-filter"),
    pytest.param([same_tool(stop="content_filter")], [same_tool(stop="end_turn")], "error", "review",
                 "Review refusal behaviour at turn 0: candidate may be over-refusing.", id="stop-from-content-filter"),
    pytest.param([same_tool()], [same_tool(stop="max_tokens")], "warning", "review",
                 "Review refusal behaviour at turn 0: candidate may be over-refusing.", id="stop-other"),
    pytest.param([same_tool()], [same_tool(tools=[("search", {"q": "b"})])], "warning", "revert",
                 "Revert search(q) at turn 0 to the baseline value.", id="argument"),
    pytest.param([same_tool(tools=[("run", "a")])], [same_tool(tools=[("run", "b")])], "warning", "revert",
                 "Revert run at turn 0 to the baseline value.", id="input-changed"),
    pytest.param([same_tool()], [same_tool(texts=["completely different"])], "warning", "review",
                 "Review response text at turn 0: semantic content shifted.", id="text"),
]


@pytest.mark.parametrize("baseline, candidate, severity, action, message", DIVERGENCES)
def test_one_recommendation_per_divergence(baseline, candidate, severity, action, message):
    result = report(baseline, candidate)
    divergence = result["divergences"][0]
    entry = recommendation_for(result, divergence)
    assert (entry["severity"], entry["action"], entry["message"]) == (severity, action, message)
    assert (entry["turn"], entry["baseline_turn"], entry["candidate_turn"]) == (
        divergence["baseline_turn"], divergence["baseline_turn"], divergence["candidate_turn"])
    assert entry["axis"] == divergence["primary_axis"]
    assert entry["confidence"] == divergence["confidence"]


def test_typical_request():
    baseline = [response(["hello"], index=0), response(["searching"], [S_Q], index=1), response(["done"], index=2)]
    candidate = [response(["hello"], index=0), response(["searching"], [S_Q, S_Q], index=1),
                 response(["done"], index=2)]
    result = report(baseline, candidate)
    assert result["first_divergence"]["explanation"] == (
        "candidate called `search(q)` 2 time(s) vs baseline's 1 \u2014 duplicate tool invocation")
    entry = recommendation_for(result, result["first_divergence"])
    assert (entry["severity"], entry["action"], entry["message"]) == (
        "error", "remove", "Remove duplicate invocation of search(q) at turn 1.")
    assert result["drill_down"][0]["pair_index"] == 1


def test_no_findings_no_recommendations():
    turns = [response(index=k, latency_ms=100) for k in range(3)]
    assert report(turns, turns)["recommendations"] == []


def rows_by_axis(result):
    return {row["axis"]: row for row in result["rows"]}


def test_latency_signature_and_aggregate():
    baseline = [response([f"text number {k}"], index=k, latency_ms=100) for k in range(6)]
    candidate = [response([f"text number {k}"], index=k, latency_ms=1000) for k in range(6)]
    result = report(baseline, candidate)
    assert rows_by_axis(result)["latency"]["severity"] == "severe"
    assert [(e["severity"], e["action"], e["message"]) for e in result["recommendations"]] == [
        ("error", "review", "Review the candidate: latency axis shifted with severity severe."),
        ("warning", "root_cause", "Latency up severely with cost stable. Provider-side capacity or network change."),
    ]
    aggregate, hint = result["recommendations"]
    assert aggregate["rationale"] == (
        "Aggregate signal crosses the `severe` threshold (latency: delta +900.000, CI [+900.000, +900.000]).")
    assert (aggregate["axis"], aggregate["confidence"], aggregate["turn"]) == ("latency", 0.8, 0)
    assert hint["rationale"].startswith("Cross-axis signature: latency \u0394 +900.000, cost stable, semantic stable.")
    assert (hint["axis"], hint["confidence"]) == ("latency", 0.65)


def test_model_change_signature():
    pricing = {"m": (0.25, 0.5)}
    words = ["alpha", "beta", "gamma", "delta", "omega", "sigma"]
    baseline = [response([f"{w} {w}"], model="m", usage={"input_tokens": 4, "output_tokens": 2}, latency_ms=100,
                         index=k) for k, w in enumerate(words)]
    candidate = [response([f"zz{k} qq{k}"], model="m", usage={"input_tokens": 8, "output_tokens": 2},
                          latency_ms=150, index=k) for k in range(6)]
    result = report(baseline, candidate, pricing)
    grades = rows_by_axis(result)
    assert {axis: grades[axis]["severity"] for axis in ("cost", "latency", "semantic")} == {
        "cost": "severe", "latency": "severe", "semantic": "severe"}
    hints = [e for e in result["recommendations"] if e["action"] == "root_cause"]
    assert [h["message"] for h in hints] == [
        "Looks like a model change. Cost, latency, and semantic axes all shifted together."]
    # Each cost goes from 4 x 0.25 + 2 x 0.5 = 2 to 8 x 0.25 + 2 x 0.5 = 3.
    assert hints[0]["rationale"].startswith(
        "Cross-axis signature: cost \u0394 +1.000, latency \u0394 +50.000, semantic \u0394 -1.000. ")
    assert result["recommendations"][0] == hints[0]  # error 0.85 before the aggregate-free divergence entries


def test_at_most_eight_recommendations():
    # Every pair adds a tool call (trajectory severe), thinks 20 % more (reasoning moderate), costs about
    # twice as much (cost severe; latency and text unchanged), and one of ten baseline refusals
    # disappears (safety moderate, negative): tool-schema, context-window, cache and injection hints.
    def turn(k, side):
        usage = {"input_tokens": 10 if side == "b" else 100, "output_tokens": 1,
                 "thinking_tokens": 100 if side == "b" else 120}
        texts = ["I must decline."] if side == "b" and k == 0 else [f"turn {k} text"]
        tools = [("old_tool", {"a": k})] + ([("new_tool", {"b": k})] if side == "c" else [])
        return response(texts, tools, stop="tool_use", model="m", usage=usage, latency_ms=100, index=k)

    result = report([turn(k, "b") for k in range(10)], [turn(k, "c") for k in range(10)], {"m": (1.0, 1.0)})
    grades = {axis: row["severity"] for axis, row in rows_by_axis(result).items()}
    assert (grades["trajectory"], grades["reasoning"], grades["cost"], grades["safety"]) == (
        "severe", "moderate", "severe", "moderate")
    assert (grades["latency"], grades["semantic"]) == ("none", "none")
    entries = result["recommendations"]
    assert len(entries) == 8
    assert [e["message"].split(".")[0] for e in entries[:4]] == [
        "Looks like a tool-schema migration", "Possible prompt-injection or tool-args exfiltration",
        "Possible context-window overflow", "Cost up severely with latency stable"]
    # Then four of the five added-call divergences: turn 0 (its text changed too) ranks first,
    # the others tie and keep turn order; turn 4 is cut.
    assert [e["message"] for e in entries[4:]] == [
        f"Review unexpected addition at turn {k}: new_tool(b)." for k in range(4)]


JSON_SCALARS = st.none() | st.booleans() | st.integers(-3, 3) | st.floats(allow_nan=False, allow_infinity=False) | \
    st.sampled_from(["", "a", "tool_use", "text", "refusal", "content_filter", "```json\n{}\n```", "I won't"])
JSON_VALUES = st.recursive(JSON_SCALARS, lambda inner: st.lists(inner, max_size=3) | st.dictionaries(
    st.sampled_from(["q", "r", "type", "text", "name", "input"]), inner, max_size=3), max_leaves=8)
BLOCKS = st.one_of(
    st.fixed_dictionaries({"type": st.just("text"), "text": st.text("ab \u00e9\U0001F680\n", max_size=12)}),
    st.fixed_dictionaries({"type": st.just("tool_use")},
                          optional={"name": st.sampled_from(["s", "t"]) | JSON_SCALARS, "input": JSON_VALUES}),
    JSON_VALUES,
)
PAYLOADS = st.one_of(
    st.fixed_dictionaries({"content": st.lists(BLOCKS, max_size=4)},
                          optional={"stop_reason": JSON_SCALARS, "latency_ms": JSON_SCALARS,
                                    "usage": st.dictionaries(st.sampled_from(["output_tokens", "thinking_tokens"]),
                                                             JSON_SCALARS)}),
    JSON_VALUES,
)


@settings(max_examples=200, deadline=None)
@given(st.lists(PAYLOADS, max_size=8), st.lists(PAYLOADS, max_size=8))
def test_any_payloads_give_a_bounded_report(baseline, candidate):
    def records(payloads):
        return [{"version": "0.1", "id": f"r{k}", "kind": "chat_response", "ts": "t", "parent": None,
                 "payload": payload} for k, payload in enumerate(payloads)]

    result = report(records(baseline), records(candidate))
    assert len(result["divergences"]) <= 5 and len(result["recommendations"]) <= 8
    assert len(result["drill_down"]) == min(5, len(baseline), len(candidate))
    assert (result["first_divergence"] is None) == (result["divergences"] == [])
    for divergence in result["divergences"]:
        assert 0.0 <= divergence["confidence"] <= 1.0
    for row in result["drill_down"]:
        assert all(0.0 <= score["normalized_delta"] <= 4.0 for score in row["axis_scores"])
