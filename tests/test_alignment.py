"""Turn alignment and divergence classification, through compute_diff_report."""
import pytest

from velkin._core import compute_diff_report


def response(text=None, tools=(), stop=None, index=0):
    """A chat_response; tools are (name, input) pairs, input None for a block without "input"."""
    content = [] if text is None else [{"type": "text", "text": text}]
    for name, arguments in tools:
        content.append({"type": "tool_use", "name": name} | ({} if arguments is None else {"input": arguments}))
    payload = {"content": content} | ({} if stop is None else {"stop_reason": stop})
    return {"version": "0.1", "id": f"r{index}", "kind": "chat_response", "ts": "t", "parent": None,
            "payload": payload}


def report(baseline, candidate):
    return compute_diff_report(baseline, candidate, None, 1)


def pair_cost(jaccard, gap, similarity, stop_differs, args_differ):
    return 0.4 * max(1 - jaccard, gap) + 0.25 * (1 - similarity) + (0.15 if stop_differs else 0.0) + (
        0.2 if args_differ else 0.0)


def confidence(cost):
    return min(max((cost - 0.12) / 0.88, 0.0), 1.0)


def dropped(i, candidate_turn, calls=1):
    what = {0: "a response turn with no tool calls", 1: "a turn with 1 tool call"}[calls]
    return {"baseline_turn": i, "candidate_turn": candidate_turn, "kind": "structural_drift",
            "primary_axis": "trajectory",
            "explanation": f"candidate dropped {what} (baseline turn #{i} has no counterpart)", "confidence": 1.0}


def inserted(cursor, j, calls=1):
    what = {0: "an extra response turn with no tool calls", 1: "an extra turn with 1 tool call"}[calls]
    return {"baseline_turn": cursor, "candidate_turn": j, "kind": "structural_drift", "primary_axis": "trajectory",
            "explanation": f"candidate inserted {what} between baseline turns #{max(cursor - 1, 0)} and #{cursor}",
            "confidence": 1.0}


TURNS = [response("alpha beta gamma", index=0), response("searching", [("search", {"q": "x"})], "tool_use", 1),
         response("delta epsilon zeta", index=2)]
REQUEST = {"version": "0.1", "id": "q", "kind": "chat_request", "ts": "t", "parent": None, "payload": {}}


def restore(turn):
    return f"Restore missing element at turn {turn}."


def addition(turn):
    return f"Review unexpected addition at turn {turn}: extra element."


@pytest.mark.parametrize("baseline, candidate, expected, advice", [
    pytest.param(TURNS, TURNS, [], [], id="identical"),
    pytest.param(TURNS, [], [dropped(0, 0, 0), dropped(1, 0), dropped(2, 0, 0)], [restore(0), restore(1), restore(2)],
                 id="no-candidate-responses"),
    pytest.param(TURNS, [TURNS[0], TURNS[2]], [dropped(1, 1)], [restore(1)], id="dropped-middle"),
    pytest.param(TURNS[:1], [response("something new", [("fetch", {"url": "u"})]), TURNS[0]], [inserted(0, 0)],
                 [addition(0)], id="inserted-first"),
    pytest.param(TURNS[:1], [TURNS[0], response("one more")], [inserted(1, 1, 0)], [addition(1)],
                 id="inserted-after-last"),
    pytest.param([REQUEST, TURNS[0], REQUEST, TURNS[2]], TURNS, [inserted(1, 1)], [addition(1)],
                 id="other-records-are-not-turns"),
    # Inserting then matching ties with matching then inserting (0.6 + 0.4): the match wins at cell (1, 2).
    pytest.param([response("abc", stop="x")], [response("xyz", stop="y"), response("uvw", stop="y")],
                 [inserted(0, 0, 0), {"baseline_turn": 0, "candidate_turn": 1, "kind": "decision_drift",
                                      "primary_axis": "safety", "explanation": "stop_reason changed: `x` \u2192 `y`",
                                      "confidence": confidence(pair_cost(1.0, 0.0, 0.0, True, False))}],
                 [addition(0), "Review refusal behaviour at turn 0: candidate may be over-refusing."],
                 id="match-wins-a-tie"),
])
def test_alignment_paths_and_their_recommendations(baseline, candidate, expected, advice):
    result = report(baseline, candidate)
    assert result["divergences"] == expected
    assert result["first_divergence"] == (expected[0] if expected else None)
    assert [entry["message"] for entry in result["recommendations"]] == advice


def one_tool(name="search", arguments=None, text="same text", stop="tool_use"):
    return response(text, [(name, {"q": "a"} if arguments is None else arguments)], stop)


def text_diverged(b, c, written, similarity):
    return pytest.param(one_tool(text=b), one_tool(text=c), DECISION + ("semantic",),
                        f"response text diverged (text similarity {written}); same tool sequence",
                        pair_cost(1.0, 0.0, similarity, False, False),
                        ("warning", "review", "Review response text at turn 0: semantic content shifted."),
                        id=f"text-{b}-{c}")


S_Q = ("search", {"q": "a"})
U_X = ("fetch", {"url": "u"})
F = [("f", {"a": 1})]
STRUCTURAL = ("structural_drift", "trajectory")
DECISION = ("decision_drift",)
OVER_REFUSING = "Review refusal behaviour at turn 0: candidate may be over-refusing."


@pytest.mark.parametrize("b, c, kind_and_axis, explanation, cost, advice", [
    pytest.param(response("t", [S_Q]), response("t", [S_Q, U_X]), STRUCTURAL,
                 "candidate added tool call(s): `fetch(url)`", pair_cost(0.5, 0.5, 1.0, False, False),
                 ("error", "review", "Review unexpected addition at turn 0: fetch(url)."), id="added"),
    pytest.param(response("t", [S_Q, U_X, ("a", None)]), response("t", [S_Q]), STRUCTURAL,
                 "candidate dropped tool call(s): `a()`, `fetch(url)`", pair_cost(1 / 3, 2 / 3, 1.0, False, False),
                 ("error", "restore", "Restore a() at turn 0."), id="dropped"),
    pytest.param(response("t", [S_Q]), response("t", [U_X]), STRUCTURAL,
                 "tool set changed: removed `search(q)`, added `fetch(url)`", pair_cost(0.0, 0.0, 1.0, False, False),
                 ("error", "review", "Review tool-schema change at turn 0: call shape diverged."), id="changed"),
    # The first input of a repeated name is compared: {a: 1} against {a: 2}.
    pytest.param(response("t", F), response("t", [("f", {"a": 2})] + F * 2), STRUCTURAL,
                 "candidate called `f(a)` 3 time(s) vs baseline's 1 \u2014 duplicate tool invocation",
                 pair_cost(1.0, 2 / 3, 1.0, False, True),
                 ("error", "remove", "Remove duplicate invocation of f(a) at turn 0."), id="duplicate"),
    pytest.param(response("t", [S_Q, U_X]), response("t", [U_X, S_Q, S_Q]), STRUCTURAL,
                 "candidate called 2 tool(s) 3 time(s) vs baseline's 2 \u2014 duplicate tool invocation",
                 pair_cost(1.0, 1 / 3, 1.0, False, False),
                 ("error", "remove", "Remove duplicate invocation of the duplicated tool at turn 0."),
                 id="duplicate-of-two"),
    pytest.param(response("t", [S_Q, S_Q]), response("t", [S_Q]), STRUCTURAL,
                 "candidate called `search(q)` 1 time(s) vs baseline's 2 \u2014 dropped one or more repeat invocations",
                 pair_cost(1.0, 0.5, 1.0, False, False), ("error", "review", "Review structural change at turn 0."),
                 id="fewer-repeats"),
    pytest.param(one_tool(stop="end_turn"), one_tool(stop="content_filter"), DECISION + ("safety",),
                 "stop_reason changed: `end_turn` \u2192 `content_filter`", pair_cost(1.0, 0.0, 1.0, True, False),
                 ("error", "review", OVER_REFUSING), id="stop-to-filter"),
    pytest.param(one_tool(stop="content_filter"), one_tool(stop="end_turn"), DECISION + ("safety",),
                 "stop_reason changed: `content_filter` \u2192 `end_turn`", pair_cost(1.0, 0.0, 1.0, True, False),
                 ("error", "review", OVER_REFUSING), id="stop-from-filter"),
    pytest.param(one_tool(stop=None), one_tool(arguments={"q": "b"}, stop="x"), DECISION + ("safety",),
                 "stop_reason changed: `` \u2192 `x`", pair_cost(1.0, 0.0, 1.0, True, True),
                 ("warning", "review", OVER_REFUSING), id="stop-before-arguments"),
    # Members are visited in stored order; values are written as compact JSON.
    pytest.param(one_tool(arguments={"z": 'x"\u00e9\n', "a": 1}), one_tool(arguments={"a": 2, "z": 1.5e-7}),
                 DECISION + ("trajectory",), 'tool arg value changed: `search(z)`: `"x\\"\u00e9\\n"` \u2192 `1.5e-7`',
                 pair_cost(1.0, 0.0, 1.0, False, True),
                 ("warning", "revert", "Revert search(z) at turn 0 to the baseline value."), id="argument"),
    pytest.param(one_tool(arguments={"q": 3}), one_tool(arguments={"q": 3.0}), DECISION + ("trajectory",),
                 "tool arg value changed: `search(q)`: `3` \u2192 `3.0`", pair_cost(1.0, 0.0, 1.0, False, True),
                 ("warning", "revert", "Revert search(q) at turn 0 to the baseline value."), id="integer-to-float"),
    pytest.param(one_tool(arguments=["a"]), one_tool(arguments=["b"]), DECISION + ("trajectory",),
                 "tool arg value changed: `search`: input changed", pair_cost(1.0, 0.0, 1.0, False, True),
                 ("warning", "revert", "Revert search at turn 0 to the baseline value."), id="input-not-an-object"),
    # {abcd, bcde, cdef, defg} against {cdef, defg, efgh}: 2 shared of 5.
    text_diverged("abcdefg", "cdefgh", "0.40", 0.4),
    # 1 shared of 8: exactly 0.125, written with ties to even; 3 of 8 rounds up to the even digit.
    text_diverged("abcdefg", "defgxyzw", "0.12", 0.125),
    text_diverged("abcdefg", "bcdefgxyzw", "0.38", 3 / 8),
    # Short texts are their own single shingle; a zero-width space is not white space.
    text_diverged("abc", "abd", "0.00", 0.0),
    text_diverged("A\u200bB", "A B", "0.00", 0.0),
    text_diverged(None, "a", "0.00", 0.0),
])
def test_classification_of_matched_pairs_and_their_recommendations(b, c, kind_and_axis, explanation, cost, advice):
    result = report([b], [c])
    kind, axis = kind_and_axis
    assert result["first_divergence"] == {"baseline_turn": 0, "candidate_turn": 0, "kind": kind, "primary_axis": axis,
                                          "explanation": explanation, "confidence": confidence(cost)}
    (entry,) = [entry for entry in result["recommendations"] if entry["rationale"] == explanation]
    assert (entry["severity"], entry["action"], entry["message"]) == advice
    assert (entry["turn"], entry["baseline_turn"], entry["candidate_turn"], entry["axis"], entry["confidence"]) == (
        0, 0, 0, axis, confidence(cost))


@pytest.mark.parametrize("b, c", [
    # {abcd, bcde, cdef, defg, efgh} against {bcde, cdef, defg}: similarity 0.6, cost 0.1.
    (one_tool(text="abcdefgh"), one_tool(text="bcdefg")),
    (one_tool(text="a  b\tc "), one_tool(text="a b c")),
    (one_tool(text="\u2003x \u3000 y\u00a0"), one_tool(text="x y")),
    (response("x", stop=None), response("x", stop="")),
    (response("x", stop=3), response("x", stop="")),
    (one_tool(arguments={"a": 1, "b": [1, {"x": None, "y": 2}]}),
     one_tool(arguments={"b": [1, {"y": 2, "x": None}], "a": 1})),
    (response("t", [("s", {"q": 1}), ("s", {"q": 2})]), response("t", [("s", {"q": 1}), ("s", {"q": 3})])),
])
def test_pairs_within_tolerance_are_not_divergences(b, c):
    assert report([b], [c])["first_divergence"] is None


def test_ranking_puts_structure_first_then_confidence():
    def turn(k, text=None, arguments=None, stop="end_turn", tools=True):
        return response(text or f"turn {k} says hello", [("search", arguments or {"q": k})] if tools else [], stop)

    baseline = [turn(k) for k in range(7)]
    candidate = [
        turn(0, stop="max_tokens"),                              # decision, cost 0.15
        turn(1, arguments={"q": "changed"}),                     # decision, cost 0.2
        turn(2, tools=False),                                    # structural, cost 0.4
        turn(3, stop="refusal", arguments={"q": "changed"}),     # decision, cost 0.35
        turn(4, text="completely unrelated words"),              # decision, T = 0, cost 0.25
        turn(5, text="x", stop="refusal"),                       # decision, cost 0.4
        turn(6, arguments={"q": 6, "extra": 1}),                 # structural (new key), cost 0.4
    ]
    result = report(baseline, candidate)
    assert [(d["candidate_turn"], d["kind"]) for d in result["divergences"]] == [
        (2, "structural_drift"), (6, "structural_drift"), (5, "decision_drift"), (3, "decision_drift"),
        (4, "decision_drift")]
    # The first divergence is the earliest along the path, not the highest ranked.
    assert result["first_divergence"]["explanation"] == "stop_reason changed: `end_turn` \u2192 `max_tokens`"
