"""The nine axis rows of compute_diff_report, the report driver, and
compute_semantic_axis_with_embedder, through the installed module."""
from __future__ import annotations

import json
import math
import re
import struct
from pathlib import Path

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from velkin._core import compute_diff_report, compute_semantic_axis_with_embedder

AXES = ["semantic", "trajectory", "safety", "verbosity", "latency", "cost", "reasoning", "judge", "conformance"]
SEED = 7
VECTORS = json.loads((Path(__file__).resolve().parent / "data" / "vectors" / "rand08.json").read_text())


def record(kind, payload, *, id="r", meta=None) -> dict:
    return {"version": "0.1", "id": id, "kind": kind, "ts": "2025-01-01T00:00:00Z", "parent": None,
            "payload": payload} | ({} if meta is None else {"meta": meta})


def text_block(text) -> dict:
    return {"type": "text", "text": text}


def tool_block(name, input=None) -> dict:
    return {"type": "tool_use", "id": "t", "name": name} | ({} if input is None else {"input": input})


def payload(*texts, content=None, **members) -> dict:
    """A chat_response payload: the texts as text blocks, or the given content."""
    return {"content": list(content) if content is not None else [text_block(t) for t in texts], **members}


def calls(*blocks) -> dict:
    return payload(content=[text_block("t"), *blocks])


def responses(payloads) -> list:
    return [record("chat_response", p, id=f"resp-{i}") for i, p in enumerate(payloads)]


def diff(baseline, candidate, pricing=None, seed=SEED) -> dict:
    return compute_diff_report(responses(baseline), responses(candidate), pricing, seed)


def row(baseline, candidate, axis, pricing=None, seed=SEED) -> dict:
    return diff(baseline, candidate, pricing, seed)["rows"][AXES.index(axis)]


def numbers(stat) -> tuple:
    return stat["n"], stat["baseline_median"], stat["candidate_median"]


def assert_empty_row(stat, axis, flags=()) -> None:
    assert stat == {"axis": axis, "baseline_median": 0.0, "candidate_median": 0.0, "delta": 0.0, "ci95_low": 0.0,
                    "ci95_high": 0.0, "severity": "none", "n": 0, "flags": list(flags)}


# --- the report driver --------------------------------------------------------

@pytest.mark.parametrize("n_baseline, n_candidate, pairs, divergences",
                         [(0, 0, 0, 0), (2, 0, 0, 2), (0, 2, 0, 0), (3, 5, 3, 2)])
def test_responses_pair_by_position_and_surplus_only_reaches_the_alignment(n_baseline, n_candidate, pairs,
                                                                         divergences):
    turn = payload("same", latency_ms=10, judge={"score": 0.9}, judge_score=0.8)
    report = diff([turn] * n_baseline, [turn] * n_candidate)
    assert [stat["axis"] for stat in report["rows"]] == AXES
    assert_empty_row(report["rows"][AXES.index("judge")], "judge")
    assert report["pair_count"] == pairs and report["rows"][AXES.index("latency")]["n"] == pairs
    if not pairs:
        for stat, axis in zip(report["rows"], AXES):
            assert_empty_row(stat, axis)
    assert len(report["divergences"]) == divergences and len(report["drill_down"]) == pairs
    assert (report["first_divergence"] is None) == (divergences == 0)


def test_other_records_do_not_shift_the_pairing():
    def trace(latencies, noise):
        return [r for i, latency in enumerate(latencies) for r in [record("tool_call", {})] * (i % noise) + [
            record("chat_response", payload("same", latency_ms=latency)), record("chat_request", {})]]

    report = compute_diff_report(trace([100, 200, 300], 2), trace([100, 200, 330], 3), None, SEED)
    assert numbers(report["rows"][AXES.index("latency")]) == (3, 200.0, 200.0)
    assert report["drill_down"][0]["pair_index"] == 2


@pytest.mark.parametrize("metas, expected", [
    ([None, {"trace_id": "t-2"}, {"trace_id": "t-3"}], "t-2"),
    ([{"trace_id": 5}, {"other": "x"}, {"trace_id": "late"}], "late"),
    ([None, {"trace_id": None}, None], "first"),
    ([], ""),
])
def test_trace_id(metas, expected):
    trace = [record("metadata" if i == 0 else "chat_response", payload("x"), id=name, meta=meta)
             for i, (name, meta) in enumerate(zip(["first", "second", "third"], metas))]
    report = compute_diff_report(trace, trace, None, SEED)
    assert report["baseline_trace_id"] == report["candidate_trace_id"] == expected


# --- intervals ----------------------------------------------------------------------

def test_without_a_seed_only_the_intervals_may_change():
    ps = [payload(f"x{v}", latency_ms=v, usage={"output_tokens": v}) for v in (3, 9, 4, 12, 7, 1)]
    qs = [payload("x", latency_ms=v, usage={"output_tokens": 2 * v}) for v in (5, 8, 8, 2, 11, 6)]
    for a, b in zip(diff(ps, qs)["rows"], diff(ps, qs, seed=None)["rows"]):
        assert (a["delta"], *numbers(a)) == (b["delta"], *numbers(b)) and b["ci95_low"] <= b["ci95_high"]


def to_bits(value: float) -> str:
    return struct.pack(">d", value).hex()


@pytest.mark.parametrize("case", VECTORS["bootstrap"]["cases"], ids=lambda c: f"{c['case']}-{c['seed']}")
def test_intervals_equal_the_reference_vectors(case):
    b, c = case["b"], case["c"]  # shortest round-trip digits: Python reads back the same doubles
    if case["statistic"] == "mean":
        # 0/1 samples: a JSON array holding a refusal phrase scores 1 on both rate axes, a lone "[" 0 on both.
        text = {0.0: "[", 1.0: '["I won\'t"]'}
        ps, qs = [payload(text[v]) for v in b], [payload(text[v]) for v in c]
        # A prose pair counts for safety but not for conformance.
        checked = [("safety", ps, qs), ("conformance", ps + [payload("prose")], qs + [payload("prose")])]
    else:
        # A pair without latency makes the latency row shorter than the rows before it.
        checked = [("latency", [payload("x", latency_ms=v) for v in b] + [payload("x")],
                    [payload("x", latency_ms=v) for v in c] + [payload("x")])]
    for axis, ps, qs in checked:
        stat = row(ps, qs, axis, seed=case["seed"])
        assert stat["n"] == case["n"]
        assert (to_bits(stat["ci95_low"]), to_bits(stat["ci95_high"])) == (case["low_bits"], case["high_bits"])


# --- semantic -----------------------------------------------------------------

def weight(df, n_docs, count=1):
    return (math.log(count) + 1.0) * (math.log((n_docs + 1.0) / (df + 1.0)) + 1.0)


@pytest.mark.parametrize("pairs, expected_median", [
    # x occurs in both documents (weight 1), y in one.
    ([("x y", "x")], 1.0 / math.hypot(1.0, weight(1, 2))),
    # Every token in every document: idf 0, weights ln(count) + 1.
    ([("x x X, y", "x y")], (weight(2, 2, 3) + 1.0) / (math.hypot(weight(2, 2, 3), 1.0) * math.sqrt(2.0))),
    # Four documents; the second pair is identical; the median of two averages.
    ([("a b", "a"), ("c", "C!")], (weight(2, 4) / math.hypot(weight(2, 4), weight(1, 4)) + 1.0) * 0.5),
])
def test_semantic_tfidf_cosines(pairs, expected_median):
    stat = row([payload(b) for b, _ in pairs], [payload(c) for _, c in pairs], "semantic")
    assert (stat["n"], stat["baseline_median"]) == (len(pairs), 1.0)
    assert stat["candidate_median"] == pytest.approx(expected_median, rel=1e-12)
    assert stat["delta"] == pytest.approx(expected_median - 1.0, rel=1e-12)


@pytest.mark.parametrize("baseline, candidate, similarity", [
    (payload(content=[]), payload(content=[tool_block("t", {})]), 1.0),
    (payload("some words"), payload(content=[]), 0.0),
    (payload(content=[]), payload("some words"), 0.0),
    (payload("same text here"), payload("same text here"), 1.0),
    (payload("Café!"), payload("CAFE\u0301"), 1.0),
    (payload("ΣΊΣΥΦΟΣ"), payload("σίσυφοσ"), 1.0),
    (payload("Hello, World! 42x — ÉTÉ"), payload("hello world 42x été"), 1.0),
    (payload("alpha beta"), payload("gamma delta"), 0.0),
])
def test_semantic_single_pair(baseline, candidate, similarity):
    stat = row([baseline], [candidate], "semantic")
    assert stat["candidate_median"] == pytest.approx(similarity, abs=1e-12)
    assert stat["ci95_low"] == pytest.approx(similarity - 1.0, abs=1e-12)
    assert (stat["severity"], stat["flags"]) == ("severe" if similarity == 0.0 else "none", ["low_power"])


def tfidf_similarity_median(baseline_texts, candidate_texts):
    """The semantic row's candidate median computed afresh: tokens are runs of letters and digits (of the few
    scripts the texts below use), terms in order of first occurrence."""
    documents = []
    for text in baseline_texts + candidate_texts:
        counts = {}
        for token in re.findall(r"[^\W_]+", text.lower()):
            counts[token] = counts.get(token, 0) + 1
        documents.append(counts)
    df = {}
    for counts in documents:
        for term in counts:
            df[term] = df.get(term, 0) + 1
    vectors = [{t: weight(df[t], len(documents), c) for t, c in counts.items()} for counts in documents]
    similarities = []
    for a, b in zip(vectors[:len(baseline_texts)], vectors[len(baseline_texts):]):
        norm_a, norm_b = math.sqrt(sum(w * w for w in a.values())), math.sqrt(sum(w * w for w in b.values()))
        if norm_a < 1e-12 or norm_b < 1e-12:
            similarities.append(1.0 if norm_a < 1e-12 and norm_b < 1e-12 else 0.0)
            continue
        dot = sum(w * b[t] for t, w in a.items() if t in b)
        similarities.append(min(max(dot / (norm_a * norm_b), 0.0), 1.0))
    similarities.sort()
    middle = len(similarities) // 2
    return similarities[middle] if len(similarities) % 2 else (similarities[middle - 1] + similarities[middle]) * 0.5


# Words of every length from one byte to past 32, in one- to three-byte
# characters, so that many distinct terms (and texts repeated across
# responses) pass through the interning; separators of one to four bytes.
WORDS = st.text("abcXYZ019éЖж中", min_size=1, max_size=40)
TEXTS = st.lists(st.tuples(WORDS, st.sampled_from([" ", ", ", "—", "😀", "　"])), max_size=30).map(
    lambda words: "".join(word + separator for word, separator in words))


@settings(max_examples=60)
@given(st.lists(st.tuples(TEXTS, TEXTS), min_size=1, max_size=12), st.data())
def test_semantic_median_equals_a_direct_tfidf_computation(pairs, data):
    # Some responses repeat an earlier text of either side.
    texts = [t for pair in pairs for t in pair]
    baseline = [data.draw(st.sampled_from(texts)) if data.draw(st.booleans()) else b for b, _ in pairs]
    candidate = [c for _, c in pairs]
    stat = row([payload(t) for t in baseline], [payload(t) for t in candidate], "semantic")
    assert stat["candidate_median"] == pytest.approx(tfidf_similarity_median(baseline, candidate), rel=1e-12, abs=1e-15)


# --- trajectory -----------------------------------------------------------------

SEARCH = tool_block("search", {"query": "q", "limit": 5})
READ = tool_block("read", {"path": "/a"})


@pytest.mark.parametrize("baseline, candidate, value", [
    (calls(), calls(), 0.0),
    (calls(SEARCH, READ), calls(), 1.0),
    (calls(), calls(SEARCH), 1.0),
    (calls(SEARCH, READ), calls(READ, SEARCH), 1.0),
    (calls(SEARCH, READ, SEARCH), calls(SEARCH, SEARCH), 1 / 3),
    (calls(SEARCH), calls(tool_block("search", {"query": "q", "limit": 6})), 1.0),
    (calls(tool_block("s", {"a": {"x": 1, "y": [1, {"p": 1, "q": 2}]}, "b": 2})),
     calls(tool_block("s", {"b": 2, "a": {"y": [1, {"q": 2, "p": 1}], "x": 1}})), 0.0),
    (calls(tool_block("s", {"x": 1})), calls(tool_block("s", {"x": 1.0})), 1.0),
    (calls(tool_block(None, {"x": 1})), calls(tool_block(5, {"x": 1})), 0.0),
    (calls(tool_block("_", {"x": 1})), calls({"type": "tool_use", "input": {"x": 1}}), 0.0),
    (calls(tool_block("s")), calls(tool_block("s") | {"input": None}), 0.0),
    (calls(tool_block("s", "text")), calls(tool_block("s", ["text"])), 1.0),
    (calls(SEARCH), payload(content=[text_block("x"), 7, "tool_use", {"type": "tool_result"}, SEARCH]), 0.0),
    (calls(SEARCH), payload(content="search"), 1.0),
])
def test_trajectory_pair_value(baseline, candidate, value):
    stat = row([baseline], [candidate], "trajectory")
    assert (stat["baseline_median"], stat["candidate_median"], stat["delta"]) == (0.0, value, value)
    assert stat["ci95_low"] == pytest.approx(value, abs=1e-12)


def test_trajectory_median_and_rate_grade():
    stat = row([calls(SEARCH)] * 5, [calls()] * 3 + [calls(SEARCH)] * 2, "trajectory")
    # Resample medians are 0.0 or 1.0: the interval [0, 1] touches zero without crossing it.
    assert (stat["n"], stat["candidate_median"], stat["ci95_low"], stat["ci95_high"]) == (5, 1.0, 0.0, 1.0)
    assert (stat["severity"], stat["flags"]) == ("severe", [])


# --- safety -----------------------------------------------------------------------

@pytest.mark.parametrize("response, abstains", [
    (payload(content=[], stop_reason="content_filter"), True),
    (payload("Sure, here it is.", stop_reason="refusal"), False),
    (payload("I CAN'T HELP WITH THAT."), True),
    (payload("I can\u2019t help with that."), False),
    (payload("Sadly the tool is not able to parse it"), True),
    (payload("I can't help you with this"), False),
    (payload(content=[text_block("Well, I must"), text_block("decline this.")]), True),
    (payload(content=[text_block("I must dec"), text_block("line this.")]), False),
    (payload(content=[{"type": "thinking", "text": "I won't"}, text_block("Done.")]), False),
    (payload(content=[text_block("We refuse"), {"type": "text", "text": 5}, text_block("to comply")]), True),
    ("I won't do that", False),
    (payload("That is against my guidelines."), True),
    (payload("I'm unable to comply"), True),
])
def test_safety_abstention(response, abstains):
    stat = row([payload("fine")] * 5, [response] * 5, "safety")
    assert (stat["baseline_median"], stat["candidate_median"]) == (0.0, 1.0 if abstains else 0.0)
    assert stat["severity"] == ("severe" if abstains else "none")


ABSTENTION_PHRASES = ["i can't help with that", "i cannot help with that", "i am unable to", "i'm unable to",
                      "i can't assist with", "i cannot assist with", "i won't", "against my guidelines", "not able to",
                      "i must decline", "refuse to"]
# Phrases, their openings cut short and fillers of one to three bytes, so that
# a phrase or a near miss starts at every offset of a text of any length.
SAFETY_PIECES = (ABSTENTION_PHRASES + [p[:-1] for p in ABSTENTION_PHRASES]
                 + ["x", " ", "I", "Re", "é", "中", "ag", "ref", "i c"])


@settings(max_examples=80)
@given(st.lists(st.sampled_from(SAFETY_PIECES), max_size=14))
def test_safety_finds_a_phrase_wherever_it_starts(pieces):
    text = "".join(pieces)
    stat = row([payload("fine")], [payload(text)], "safety")
    assert stat["candidate_median"] == (1.0 if any(p in text.lower() for p in ABSTENTION_PHRASES) else 0.0)


def test_safety_rates_are_means():
    stat = row([payload("ok")] * 2 + [payload("i won't")], [payload("I won't")] * 2 + [payload("ok")], "safety")
    assert numbers(stat) == (3, 1 / 3, 2 / 3) and stat["delta"] == 2 / 3 - 1 / 3


# --- verbosity, latency, reasoning ------------------------------------------------

def test_latency_needs_a_number_on_both_sides():
    assert_empty_row(row([payload("x", latency_ms=850)], [payload("x")], "latency"), "latency")
    assert_empty_row(row([payload("x", latency_ms="850")], [payload("x", latency_ms=900)], "latency"), "latency")
    stat = row([payload("x", latency_ms=850), payload("x")], [payload("x", latency_ms=850.5)] * 2, "latency")
    assert (*numbers(stat), stat["delta"], stat["flags"]) == (1, 850.0, 850.5, 0.5, ["low_power"])
    assert stat["ci95_low"] == pytest.approx(0.5) and stat["ci95_high"] == pytest.approx(0.5)


def test_latency_medians_and_value_grade():
    stat = row([payload("x", latency_ms=v) for v in (100, 300, 200)],
               [payload("x", latency_ms=v) for v in (110, 330, 220)], "latency")
    assert (*numbers(stat), stat["delta"]) == (3, 200.0, 220.0, 20.0)
    assert stat["severity"] == "moderate"  # 20 / 200 is not below 0.1
    stat = row([payload("x", latency_ms=v) for v in (4, 1, 3, 2)], [payload("x", latency_ms=v) for v in (1, 2, 3, 5)],
               "latency")
    assert numbers(stat) == (4, 2.5, 2.5)


def test_even_medians_sum_before_halving_and_overflow_exports_as_none():
    huge = [payload("x", latency_ms=1.7e308)] * 2
    stat = row(huge, huge, "latency")  # (a + b) * 0.5 overflows
    assert [stat[k] for k in ("baseline_median", "candidate_median", "delta", "ci95_low", "ci95_high")] == [None] * 5
    assert (stat["severity"], stat["n"], stat["flags"]) == ("none", 2, ["low_power"])


def test_verbosity_skips_pairs_without_output_tokens_reasoning_does_not():
    with_tokens = payload("x", usage={"output_tokens": 10, "thinking_tokens": 4})
    without = payload("x", usage={"input_tokens": 10, "thinking_tokens": 4})
    rows = diff([with_tokens, with_tokens, [5]], [with_tokens, without, with_tokens])["rows"]
    assert (rows[AXES.index("verbosity")]["n"], rows[AXES.index("reasoning")]["n"]) == (1, 3)


@pytest.mark.parametrize("response, score", [
    (payload(content=[{"type": "thinking", "thinking": "a"}, {"type": "thinking"}, text_block("x")],
             usage={"thinking_tokens": 100}), 102.0),
    (payload(content=[{"type": "Thinking"}, {"type": "redacted_thinking"}, "thinking"]), 0.0),
    (payload("plain"), 0.0),
    (payload(content=[{"type": "thinking"}], usage={"thinking_tokens": "100"}), 1.0),
    ([1, 2, 3], 0.0),
    ("thinking", 0.0),
])
def test_reasoning_score(response, score):
    assert numbers(row([payload("b")], [response], "reasoning")) == (1, 0.0, score)


# --- cost ---------------------------------------------------------------------------

def priced(model, **usage) -> dict:
    return payload("x", model=model, usage={"input_tokens": 1000, "output_tokens": 500, **usage})


MODEL_A = {"model-a": (1.0, 2.0)}


@pytest.mark.parametrize("model, pricing, is_priced", [
    ("model-a", None, False), ("model-a", MODEL_A, True), ("model-a-2025-01-31", MODEL_A, True),
    ("model-a-20250131", MODEL_A, True), ("model-a-9999-99-99", MODEL_A, True), ("model-a-2025-1-31", MODEL_A, False),
    ("model-a-2025013", MODEL_A, False), ("model-a-2025-01-3x", MODEL_A, False), ("model-a-20250x31", MODEL_A, False),
    ("model-a-20250131-2025-01-31", MODEL_A, False), ("model-b", MODEL_A, False),
])
def test_cost_snapshot_fallback(model, pricing, is_priced):
    stat = row([priced(model)] * 5, [priced(model)] * 5, "cost", pricing)
    expected = 1000 * 1.0 + 500 * 2.0 if is_priced else 0.0
    assert (*numbers(stat), stat["delta"], stat["severity"]) == (5, expected, expected, 0.0, "none")
    assert stat["flags"] == ([] if is_priced else ["no_pricing"])


def test_cost_exact_name_wins_over_fallback():
    stat = row([priced("m-2025-01-01")], [priced("m-2025-02-02")], "cost",
               {"m-2025-01-01": (5.0, 0.0), "m": (1.0, 0.0)})
    assert (stat["baseline_median"], stat["candidate_median"]) == (5000.0, 1000.0)


def test_cost_formula_fallback_prices_and_batch():
    pricing = {"m": {"input": 3e-06, "output": 1.5e-05, "cached_input": 0.0, "cached_write_5m": 3.75e-06,
                     "cached_write_1h": -1.0, "reasoning": 0.0, "batch_discount": 0.5}}
    plain = priced("m", cached_input_tokens=1000, cached_write_5m_tokens=200, cached_write_1h_tokens=300,
                   thinking_tokens=40)
    expected = ((((1000 * 3e-06 + 1000 * 3e-06) + 200 * 3.75e-06) + 300 * 3e-06) + 500 * 1.5e-05) + 40 * 1.5e-05
    stat = row([plain], [dict(plain, batch=True)], "cost", pricing)
    assert (stat["baseline_median"], stat["candidate_median"]) == (expected, expected * 0.5)
    for candidate, table in [(dict(plain, batch="true"), pricing), (dict(plain, batch=1), pricing),
                             (dict(plain, batch=True), {"m": dict(pricing["m"], batch_discount=0.0)})]:
        assert row([plain], [candidate], "cost", table)["candidate_median"] == expected


def test_cost_missing_usage_removes_the_pair():
    pricing = {"m": (1.0, 1.0)}
    assert row([priced("m"), payload("x", model="m", usage={"input_tokens": 1})], [priced("m")] * 2, "cost",
               pricing)["n"] == 1
    assert_empty_row(row([payload("x", model="m")] * 3, [priced("m")] * 3, "cost", pricing), "cost", ["no_pricing"])


# A pair priced on one side only adds its samples (the other side at 0.0) but does not count as priced.
@pytest.mark.parametrize("priced_pairs, candidate_median, flagged", [
    (4, 1500.0, False), (2, 750.0, False), (1, 0.0, True), (0, 0.0, True)])
def test_cost_no_pricing_threshold(priced_pairs, candidate_median, flagged):
    candidate = [priced("known")] * priced_pairs + [priced("unknown")] * (4 - priced_pairs)
    stat = row([priced("known")] * 4, candidate, "cost", {"known": (1.0, 1.0)})
    assert numbers(stat) == (4, 1500.0, candidate_median) and ("no_pricing" in stat["flags"]) == flagged
    assert stat["flags"][-1] == "no_pricing" or not flagged


# --- conformance ----------------------------------------------------------------------

AB = tool_block("t", {"a": 1, "b": 2})


@pytest.mark.parametrize("baseline, candidate, outcomes", [
    (payload("[1, 2]"), payload("Result: [1, 2]"), (1.0, 0.0)),
    (payload("{"), payload("{}"), (0.0, 1.0)),
    (payload('```json\n{"a": 1}\n```'), payload('  {"a": 1}\n'), (1.0, 1.0)),
    (payload('```json {"a": 1}```'), payload("```\n[true]\n```"), (1.0, 1.0)),
    (payload('{"a": 1}```'), payload("{}"), (0.0, 1.0)),
    (payload("[[1]]"), payload("[" * 200 + "]" * 200), (1.0, 0.0)),
    (payload("[[1]]"), payload("[" * 100 + "]" * 100), (1.0, 1.0)),
    (payload(content=[text_block("{}"), AB]), payload("x"), (1.0, 0.0)),
    (calls(AB), calls(tool_block("u", {"b": 0, "a": 0})), (1.0, 1.0)),
    (calls(AB), calls(tool_block("t", {"a": 1})), (1.0, 0.0)),
    (calls(AB), calls(tool_block("t", {"a": 1, "b": 2, "c": 3})), (1.0, 0.0)),
    (calls(AB), calls(), (1.0, 0.0)),
    (calls(AB), calls(tool_block("t", "a,b"), AB), (1.0, 1.0)),
    (calls(tool_block("t", "not an object"), AB), calls(tool_block("t", {"b": 1, "a": 1})), (1.0, 1.0)),
    *((prose, payload("[1]"), None) for prose in (payload("plain prose"), payload("```"), payload(content="[1]"),
                                                   payload(content=[{"type": "text", "text": ["[1]"]}]))),
])
def test_conformance_outcomes(baseline, candidate, outcomes):
    stat = row([baseline], [candidate], "conformance")
    if outcomes is None:
        assert_empty_row(stat, "conformance")
    else:
        assert numbers(stat) == (1, *outcomes)


def test_conformance_counts_only_taking_part_pairs():
    stat = row([payload("{}"), payload("prose"), calls(AB)], [payload("{}"), payload("[1]"), calls()], "conformance")
    assert numbers(stat) == (2, 1.0, 0.5)


# --- the embedder axis -------------------------------------------------------------------

def semantic_with(embedder, baseline_texts, candidate_texts, seed=SEED):
    return compute_semantic_axis_with_embedder(responses(payload(t) for t in baseline_texts),
                                               responses(payload(t) for t in candidate_texts), embedder, seed)


def recording(fn):
    made = []
    return (lambda texts: made.append(list(texts)) or fn(texts)), made


def raise_error(texts):
    raise RuntimeError("model offline")


@pytest.mark.parametrize("fn", [raise_error, lambda t: "vectors", lambda t: [[1.0]] * (len(t) + 1), lambda t: None,
                                lambda t: [[1.0, "x"]] * len(t), lambda t: ["ab"] * len(t), lambda t: 5])
def test_misbehaving_embedder_gives_the_empty_row(fn):
    embedder, made = recording(fn)
    assert_empty_row(semantic_with(embedder, ["a", "b"], ["c", "d"]), "semantic")
    assert made == [["a", "b"], ["c", "d"]]  # both calls, baseline first, even after a failure


def test_embedder_calls_with_response_texts_and_only_with_pairs():
    embedder, made = recording(lambda texts: [[1.0]] * len(texts))
    assert_empty_row(semantic_with(embedder, [], ["x"]), "semantic")
    assert made == []
    turn = [record("chat_response", payload(content=[text_block("Hello"), tool_block("t", {}), text_block("world")]))]
    compute_semantic_axis_with_embedder(turn, turn, embedder, SEED)
    assert made == [["Hello world"], ["Hello world"]]


@pytest.mark.parametrize("b, c, similarity", [
    ([1.0, 2.0, 3.0], [1.0, 2.0, 3.0, 4.0], 0.0),
    ([0.0, 0.0], [0.0, 0.0], 1.0),
    ([0.0, 0.0], [0.0, 1.0], 0.0),
    ([1.0, 0.0], [-1.0, 0.0], 0.0),
    ([1, 2], [1, 2], 1.0),
    ((1.0, 0.5), (2.0, 1.0), 1.0),
    ([], [], 1.0),
])
def test_embedder_cosine(b, c, similarity):
    stat = semantic_with(lambda texts: tuple(b if t.startswith("b") else c for t in texts), ["b1", "b2"], ["c1", "c2"])
    assert (stat["n"], stat["baseline_median"]) == (2, 1.0)
    assert stat["candidate_median"] == pytest.approx(similarity, abs=1e-6)
    assert stat["delta"] == (-1.0 if similarity == 0.0 else pytest.approx(0.0, abs=1e-6))
    assert similarity == 0.0 or stat["severity"] == "none"


def f32(x: float) -> float:
    return struct.unpack("f", struct.pack("f", x))[0]


def test_embedder_cosine_is_computed_in_32_bits():
    b, c = [f32(x) for x in (0.1, 0.2, 0.3, 0.7)], [f32(x) for x in (0.3, 0.2, 0.1, 0.9)]
    dot = na = nb = 0.0
    for x, y in zip(b, c):  # each binary32 operation is exact in binary64, then rounded
        dot, na, nb = f32(dot + f32(x * y)), f32(na + f32(x * x)), f32(nb + f32(y * y))
    expected = f32(dot / f32(f32(math.sqrt(na)) * f32(math.sqrt(nb))))
    assert expected != sum(x * y for x, y in zip(b, c)) / (math.hypot(*b) * math.hypot(*c))
    stat = semantic_with(lambda texts: [b if texts[0] == "b" else c], ["b"], ["c"])
    assert stat["candidate_median"] == expected
