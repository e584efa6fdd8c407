"""Turn alignment and divergence classification, through compute_diff_report."""
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from velkin._core import compute_diff_report

TIE = 1e-12


def response(text=None, tools=(), stop=None, index=0):
    """A chat_response; tools are (name, input) pairs, input None for a block without "input"."""
    content = [] if text is None else [{"type": "text", "text": text}]
    for name, arguments in tools:
        block = {"type": "tool_use", "name": name}
        if arguments is not None:
            block["input"] = arguments
        content.append(block)
    payload = {"content": content}
    if stop is not None:
        payload["stop_reason"] = stop
    return {"version": "0.1", "id": f"r{index}", "kind": "chat_response", "ts": "t", "parent": None,
            "payload": payload}


def report(baseline, candidate):
    return compute_diff_report(baseline, candidate, None, 1)


def confidence(cost):
    return min(max((cost - 0.12) / 0.88, 0.0), 1.0)


def pair_cost(jaccard, gap, similarity, stop_differs, args_differ):
    return 0.4 * max(1 - jaccard, gap) + 0.25 * (1 - similarity) + (0.15 if stop_differs else 0.0) + (
        0.2 if args_differ else 0.0)


def dropped(i, candidate_turn, calls=1):
    what = {0: "a response turn with no tool calls", 1: "a turn with 1 tool call"}.get(calls, f"a turn with {calls} tool calls")
    return {"baseline_turn": i, "candidate_turn": candidate_turn, "kind": "structural_drift",
            "primary_axis": "trajectory",
            "explanation": f"candidate dropped {what} (baseline turn #{i} has no counterpart)", "confidence": 1.0}


def inserted(cursor, j, calls=1):
    what = {0: "an extra response turn with no tool calls", 1: "an extra turn with 1 tool call"}.get(
        calls, f"an extra turn with {calls} tool calls")
    return {"baseline_turn": cursor, "candidate_turn": j, "kind": "structural_drift", "primary_axis": "trajectory",
            "explanation": f"candidate inserted {what} between baseline turns #{max(cursor - 1, 0)} and #{cursor}",
            "confidence": 1.0}


TURNS = [response("alpha beta gamma", index=0), response("searching", [("search", {"q": "x"})], "tool_use", 1),
         response("delta epsilon zeta", index=2)]


class TestPaths:
    def test_identical_traces_have_no_divergence(self):
        result = report(TURNS, TURNS)
        assert result["first_divergence"] is None
        assert result["divergences"] == []

    def test_candidate_without_responses(self):
        result = report(TURNS, [])
        assert result["first_divergence"] == dropped(0, 0, calls=0)
        assert result["divergences"] == [dropped(0, 0, 0), dropped(1, 0, 1), dropped(2, 0, 0)]

    def test_baseline_without_responses(self):
        result = report([], TURNS)
        assert result["first_divergence"] is None
        assert result["divergences"] == []

    def test_dropped_middle_turn(self):
        result = report(TURNS, [TURNS[0], TURNS[2]])
        assert result["divergences"] == [dropped(1, 1)]

    def test_inserted_first_turn(self):
        extra = response("something new", [("fetch", {"url": "u"})])
        result = report(TURNS[:1], [extra, TURNS[0]])
        assert result["first_divergence"] == inserted(0, 0)
        assert result["divergences"] == [inserted(0, 0)]

    def test_inserted_after_last_turn(self):
        result = report(TURNS[:1], [TURNS[0], response("one more")])
        assert result["divergences"] == [inserted(1, 1, calls=0)]

    def test_other_records_do_not_count_as_turns(self):
        request = {"version": "0.1", "id": "q", "kind": "chat_request", "ts": "t", "parent": None, "payload": {}}
        result = report([request, TURNS[0], request, TURNS[2]], TURNS)
        assert result["divergences"] == [inserted(1, 1)]

    def test_banded_alignment_finds_every_dropped_turn(self):
        # 1,200 turns against 1,100: beyond the full-matrix limit, half-width 200.
        # Every text is one repeated ideograph, so unequal turns share no shingle.
        baseline = [response(chr(0x4E00 + i) * 5, index=i) for i in range(1200)]
        gone = set(range(5, 1200, 12))
        assert len(gone) == 100
        candidate = [turn for i, turn in enumerate(baseline) if i not in gone]
        result = report(baseline, candidate)
        first_five = sorted(gone)[:5]
        assert result["first_divergence"] == dropped(first_five[0], first_five[0], calls=0)
        assert result["divergences"] == [dropped(i, i - k, calls=0) for k, i in enumerate(first_five)]


# Turns that each call their own tool, say their own text and stop for their own
# reason: two of them cost 0 when equal and exactly pair_cost(0, 0, 0, True, False)
# otherwise, so a plain Gotoh computation predicts the path.
def letter_turn(letter):
    return response(letter * 6, [(letter, {letter: 1})], f"stop_{letter}")


def reference_path(b, c):
    n, m, far = len(b), len(c), 1e18
    M = [[far] * (m + 1) for _ in range(n + 1)]
    X = [[far] * (m + 1) for _ in range(n + 1)]
    Y = [[far] * (m + 1) for _ in range(n + 1)]
    step = [["M"] * (m + 1) for _ in range(n + 1)]
    M[0][0] = 0.0
    for i in range(1, n + 1):
        Y[i][0] = M[i][0] = 0.6 + 0.15 * (i - 1)
        step[i][0] = "D"
    for j in range(1, m + 1):
        X[0][j] = M[0][j] = 0.6 + 0.15 * (j - 1)
        step[0][j] = "I"
    mismatch = pair_cost(0.0, 0.0, 0.0, True, False)
    for i in range(1, n + 1):
        for j in range(1, m + 1):
            cost = 0.0 if b[i - 1] == c[j - 1] else mismatch
            M[i][j] = cost + min(M[i - 1][j - 1], X[i - 1][j - 1], Y[i - 1][j - 1])
            X[i][j] = min(M[i][j - 1] + 0.6, X[i][j - 1] + 0.15)
            Y[i][j] = min(M[i - 1][j] + 0.6, Y[i - 1][j] + 0.15)
            best = min(M[i][j], X[i][j], Y[i][j])
            step[i][j] = "M" if abs(best - M[i][j]) < TIE else "I" if abs(best - X[i][j]) < TIE else "D"
    path, i, j = [], n, m
    while i > 0 or j > 0:
        kind = "I" if i == 0 else "D" if j == 0 else step[i][j]
        path.append((kind, i - 1, j - 1))
        i, j = (i - 1, j - 1) if kind == "M" else (i, j - 1) if kind == "I" else (i - 1, j)
    return path[::-1]


def reference_walk(b, c):
    found, cursor_b, cursor_c = [], 0, 0
    mismatch = confidence(pair_cost(0.0, 0.0, 0.0, True, False))
    for kind, i, j in reference_path(b, c):
        if kind == "D":
            found.append(dropped(i, cursor_c))
            cursor_b += 1
        elif kind == "I":
            found.append(inserted(cursor_b, j))
            cursor_c += 1
        else:
            cursor_b, cursor_c = i + 1, j + 1
            if b[i] != c[j]:
                found.append({"baseline_turn": i, "candidate_turn": j, "kind": "structural_drift",
                              "primary_axis": "trajectory",
                              "explanation": f"tool set changed: removed `{b[i]}({b[i]})`, added `{c[j]}({c[j]})`",
                              "confidence": mismatch})
    return found


@settings(max_examples=150, deadline=None)
@given(st.text("abcd", min_size=1, max_size=12), st.text("abcd", max_size=12))
def test_alignment_follows_the_affine_gap_recurrences(b, c):
    result = report([letter_turn(x) for x in b], [letter_turn(x) for x in c])
    expected = reference_walk(b, c)
    assert result["first_divergence"] == (expected[0] if expected else None)
    ranked = sorted(expected, key=lambda d: -d["confidence"])  # all structural; stable
    assert result["divergences"] == ranked[:5]


def one_tool(name="search", arguments=None, text="same text", stop="tool_use"):
    return response(text, [(name, {"q": "a"} if arguments is None else arguments)], stop)


S_Q = ("search", {"q": "a"})
U_X = ("fetch", {"url": "u"})

# (baseline turn, candidate turn, kind, axis, explanation, cost)
RULES = [
    pytest.param(response("t", [S_Q]), response("t", [S_Q, U_X]), "structural_drift", "trajectory",
                 "candidate added tool call(s): `fetch(url)`", pair_cost(0.5, 0.5, 1.0, False, False), id="added"),
    pytest.param(response("t", [S_Q, U_X, ("a", None)]), response("t", [S_Q]), "structural_drift", "trajectory",
                 "candidate dropped tool call(s): `a()`, `fetch(url)`",
                 pair_cost(1 / 3, 2 / 3, 1.0, False, False), id="dropped"),
    pytest.param(response("t", [S_Q]), response("t", [U_X]), "structural_drift", "trajectory",
                 "tool set changed: removed `search(q)`, added `fetch(url)`", pair_cost(0.0, 0.0, 1.0, False, False),
                 id="changed"),
    pytest.param(response("t", [S_Q]), response("t", [S_Q, S_Q]), "structural_drift", "trajectory",
                 "candidate called `search(q)` 2 time(s) vs baseline's 1 \u2014 duplicate tool invocation",
                 pair_cost(1.0, 0.5, 1.0, False, False), id="duplicate"),
    pytest.param(response("t", [S_Q, U_X]), response("t", [U_X, S_Q, S_Q]), "structural_drift", "trajectory",
                 "candidate called 2 tool(s) 3 time(s) vs baseline's 2 \u2014 duplicate tool invocation",
                 pair_cost(1.0, 1 / 3, 1.0, False, False), id="duplicate-of-two"),
    pytest.param(response("t", [S_Q, S_Q]), response("t", [S_Q]), "structural_drift", "trajectory",
                 "candidate called `search(q)` 1 time(s) vs baseline's 2 \u2014 dropped one or more repeat invocations",
                 pair_cost(1.0, 0.5, 1.0, False, False), id="fewer-repeats"),
    pytest.param(one_tool(stop="end_turn"), one_tool(stop="content_filter"), "decision_drift", "safety",
                 "stop_reason changed: `end_turn` \u2192 `content_filter`", pair_cost(1.0, 0.0, 1.0, True, False),
                 id="stop"),
    pytest.param(one_tool(stop=None), one_tool(arguments={"q": "b"}, stop="x"), "decision_drift", "safety",
                 "stop_reason changed: `` \u2192 `x`", pair_cost(1.0, 0.0, 1.0, True, True),
                 id="stop-before-arguments"),
    pytest.param(one_tool(), one_tool(arguments={"q": "b"}), "decision_drift", "trajectory",
                 'tool arg value changed: `search(q)`: `"a"` \u2192 `"b"`', pair_cost(1.0, 0.0, 1.0, False, True),
                 id="argument"),
    pytest.param(one_tool(arguments={"q": 3}), one_tool(arguments={"q": 3.0}), "decision_drift", "trajectory",
                 "tool arg value changed: `search(q)`: `3` \u2192 `3.0`", pair_cost(1.0, 0.0, 1.0, False, True),
                 id="integer-to-float"),
    pytest.param(one_tool(arguments=["a"]), one_tool(arguments=["b"]), "decision_drift", "trajectory",
                 "tool arg value changed: `search`: input changed", pair_cost(1.0, 0.0, 1.0, False, True),
                 id="input-not-an-object"),
    # {abcd, bcde, cdef, defg} against {cdef, defg, efgh}: 2 shared of 5.
    pytest.param(one_tool(text="abcdefg"), one_tool(text="cdefgh"), "decision_drift", "semantic",
                 "response text diverged (text similarity 0.40); same tool sequence",
                 pair_cost(1.0, 0.0, 0.4, False, False), id="text"),
    # 1 shared of 8: exactly 0.125, written with ties to even.
    pytest.param(one_tool(text="abcdefg"), one_tool(text="defgxyzw"), "decision_drift", "semantic",
                 "response text diverged (text similarity 0.12); same tool sequence",
                 pair_cost(1.0, 0.0, 0.125, False, False), id="text-tie"),
    # 3 shared of 8: 0.375 rounds up to the even digit.
    pytest.param(one_tool(text="abcdefg"), one_tool(text="bcdefgxyzw"), "decision_drift", "semantic",
                 "response text diverged (text similarity 0.38); same tool sequence",
                 pair_cost(1.0, 0.0, 3 / 8, False, False), id="text-tie-up"),
]


@pytest.mark.parametrize("b, c, kind, axis, explanation, cost", RULES)
def test_classification_of_matched_pairs(b, c, kind, axis, explanation, cost):
    result = report([b], [c])
    assert cost > 0.12
    assert result["first_divergence"] == {"baseline_turn": 0, "candidate_turn": 0, "kind": kind,
                                          "primary_axis": axis, "explanation": explanation,
                                          "confidence": confidence(cost)}


@pytest.mark.parametrize("b, c", [
    # {abcd, bcde, cdef, defg, efgh} against {bcde, cdef, defg}: similarity 0.6, cost 0.1.
    (one_tool(text="abcdefgh"), one_tool(text="bcdefg")),
    (one_tool(text="a  b\tc "), one_tool(text="a b c")),
    (response("x", stop=None), response("x", stop="")),
])
def test_pairs_within_tolerance_are_not_divergences(b, c):
    assert report([b], [c])["first_divergence"] is None


def test_ranking_puts_structure_first_then_confidence():
    def turn(k, **change):
        fields = {"text": f"turn {k} says hello", "arguments": {"q": k}, "stop": "end_turn", "tools": True}
        fields.update(change)
        tools = [("search", fields["arguments"])] if fields["tools"] else []
        return response(fields["text"], tools, fields["stop"])

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
    got = [(d["candidate_turn"], d["kind"]) for d in result["divergences"]]
    assert got == [(2, "structural_drift"), (6, "structural_drift"), (5, "decision_drift"),
                   (3, "decision_drift"), (4, "decision_drift")]
    # The first divergence is the earliest along the path, not the highest ranked.
    assert result["first_divergence"]["candidate_turn"] == 0
    assert result["first_divergence"]["explanation"] == "stop_reason changed: `end_turn` \u2192 `max_tokens`"
