"""The nine axis rows of compute_diff_report, the report driver, and
compute_semantic_axis_with_embedder, through the installed module."""
from __future__ import annotations

import math
import re
import struct

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from velkin._core import compute_diff_report, compute_semantic_axis_with_embedder

AXES = ["semantic", "trajectory", "safety", "verbosity", "latency", "cost", "reasoning", "judge", "conformance"]
ROW_KEYS = ["axis", "baseline_median", "candidate_median", "delta", "ci95_low", "ci95_high", "severity", "n", "flags"]
SEED = 7


# --- building traces ---------------------------------------------------------

def record(kind: str, payload, *, id: str = "r", meta=None) -> dict:
    out = {"version": "0.1", "id": id, "kind": kind, "ts": "2025-01-01T00:00:00Z", "parent": None}
    if meta is not None:
        out["meta"] = meta
    out["payload"] = payload
    return out


def text_block(text: str) -> dict:
    return {"type": "text", "text": text}


def tool_block(name, input=None, **extra) -> dict:
    block = {"type": "tool_use", "id": "t", "name": name, **extra}
    if input is not None:
        block["input"] = input
    return block


def payload(*texts: str, content=None, **members) -> dict:
    """A chat_response payload: the texts as text blocks, or the given content."""
    return {"content": list(content) if content is not None else [text_block(t) for t in texts], **members}


def responses(payloads) -> list:
    return [record("chat_response", p, id=f"resp-{i}") for i, p in enumerate(payloads)]


def diff(baseline_payloads, candidate_payloads, pricing=None, seed=SEED) -> dict:
    return compute_diff_report(responses(baseline_payloads), responses(candidate_payloads), pricing, seed)


def row(baseline_payloads, candidate_payloads, axis: str, pricing=None, seed=SEED) -> dict:
    return diff(baseline_payloads, candidate_payloads, pricing, seed)["rows"][AXES.index(axis)]


def assert_empty_row(stat: dict, axis: str, flags=()) -> None:
    assert list(stat) == ROW_KEYS
    assert stat["axis"] == axis
    for key in ("baseline_median", "candidate_median", "delta", "ci95_low", "ci95_high"):
        assert stat[key] == 0.0 and isinstance(stat[key], float)
    assert stat["n"] == 0 and stat["severity"] == "none" and stat["flags"] == list(flags)


# --- an independent bootstrap ------------------------------------------------

MASK = 0xFFFFFFFF


def _rotl(x: int, bits: int) -> int:
    return ((x << bits) | (x >> (32 - bits))) & MASK


def _chacha12_block(key: list, counter: int) -> list:
    state = [0x61707865, 0x3320646E, 0x79622D32, 0x6B206574, *key, counter & MASK, counter >> 32, 0, 0]
    x = list(state)

    def quarter(a, b, c, d):
        x[a] = (x[a] + x[b]) & MASK; x[d] = _rotl(x[d] ^ x[a], 16)
        x[c] = (x[c] + x[d]) & MASK; x[b] = _rotl(x[b] ^ x[c], 12)
        x[a] = (x[a] + x[b]) & MASK; x[d] = _rotl(x[d] ^ x[a], 8)
        x[c] = (x[c] + x[d]) & MASK; x[b] = _rotl(x[b] ^ x[c], 7)

    for _ in range(6):
        quarter(0, 4, 8, 12); quarter(1, 5, 9, 13); quarter(2, 6, 10, 14); quarter(3, 7, 11, 15)
        quarter(0, 5, 10, 15); quarter(1, 6, 11, 12); quarter(2, 7, 8, 13); quarter(3, 4, 9, 14)
    return [(x[i] + state[i]) & MASK for i in range(16)]


class KeyStream:
    """ChaCha12 keystream words, key from the PCG32 expansion of a 64-bit seed."""

    def __init__(self, seed: int):
        state, key = seed, []
        for _ in range(8):
            state = (state * 6364136223846793005 + 11634580027462260723) % 2**64
            xorshifted = (((state >> 18) ^ state) >> 27) & MASK
            rot = state >> 59
            key.append(((xorshifted >> rot) | (xorshifted << ((32 - rot) % 32))) & MASK)
        self.key, self.counter, self.words = key, 0, []

    def next_u32(self) -> int:
        if not self.words:
            self.words = _chacha12_block(self.key, self.counter)
            self.counter += 1
        return self.words.pop(0)

    def index(self, n: int) -> int:
        zone = ((n << (32 - n.bit_length())) & MASK) - 1
        while True:
            product = self.next_u32() * n
            if product & MASK <= zone:
                return product >> 32


def _median(values):
    s = sorted(values)
    m = len(s)
    return s[m // 2] if m % 2 else (s[m // 2 - 1] + s[m // 2]) * 0.5


def _mean(values):
    total = 0.0
    for v in values:
        total += v
    return total / len(values)


def _percentile(s, q):
    p = (len(s) - 1.0) * q
    lo, hi = math.floor(p), math.ceil(p)
    if lo == hi:
        return s[lo]
    f = p - lo
    return (1 - f) * s[lo] + f * s[hi]


def reference_interval(b, c, statistic, seed):
    rng, n, results = KeyStream(seed), len(b), []
    for _ in range(1000):
        idx = [rng.index(n) for _ in range(n)]
        results.append(statistic([c[i] for i in idx]) - statistic([b[i] for i in idx]))
    results.sort()
    return _percentile(results, 0.025), _percentile(results, 0.975)


# --- the report driver --------------------------------------------------------

def test_both_traces_empty():
    report = compute_diff_report([], [])
    assert [r["axis"] for r in report["rows"]] == AXES
    for stat, axis in zip(report["rows"], AXES):
        assert_empty_row(stat, axis)
    assert report["baseline_trace_id"] == "" and report["candidate_trace_id"] == ""
    assert report["pair_count"] == 0
    assert report["first_divergence"] is None and report["divergences"] == [] and report["drill_down"] == []


def test_baseline_only_still_aligns():
    report = diff([payload("one"), payload("two")], [])
    assert report["pair_count"] == 0
    for stat, axis in zip(report["rows"], AXES):
        assert_empty_row(stat, axis)
    assert report["first_divergence"] is not None
    assert report["first_divergence"]["baseline_turn"] == 0
    assert len(report["divergences"]) == 2


def test_candidate_only_reports_no_divergence():
    report = diff([], [payload("one"), payload("two")])
    assert report["pair_count"] == 0
    assert report["first_divergence"] is None and report["divergences"] == []


def test_surplus_candidate_responses_are_not_paired():
    report = diff([payload("a", latency_ms=10)] * 3, [payload("a", latency_ms=10)] * 5)
    assert report["pair_count"] == 3
    assert report["rows"][AXES.index("latency")]["n"] == 3


def test_other_records_do_not_shift_the_pairing():
    def trace(latencies, noise_every):
        out = []
        for i, latency in enumerate(latencies):
            out += [record("tool_call", {"name": "x"})] * (i % noise_every)
            out.append(record("chat_response", payload("same", latency_ms=latency)))
            out.append(record("chat_request", {"latency_ms": 10**6}))
        return out

    report = compute_diff_report(trace([100, 200, 300], 2), trace([100, 200, 330], 3), None, SEED)
    latency = report["rows"][AXES.index("latency")]
    assert latency["n"] == 3 and latency["baseline_median"] == 200.0 and latency["candidate_median"] == 200.0
    # Only pair 2 differs: the drill-down ranks it.
    assert report["drill_down"][0]["pair_index"] == 2


@pytest.mark.parametrize(
    "metas, expected",
    [
        ([None, {"trace_id": "t-2"}, {"trace_id": "t-3"}], "t-2"),
        ([{"trace_id": 5}, {"other": "x"}, {"trace_id": "late"}], "late"),
        ([None, {"trace_id": None}, None], "first"),
    ],
)
def test_trace_id(metas, expected):
    ids = ["first", "second", "third"]
    trace = [record("metadata" if i == 0 else "chat_response", payload("x"), id=ids[i], meta=m)
             for i, m in enumerate(metas)]
    report = compute_diff_report(trace, trace, None, SEED)
    assert report["baseline_trace_id"] == expected and report["candidate_trace_id"] == expected


def test_judge_row_is_always_empty():
    judged = payload("x", judge={"score": 0.9}, judge_score=0.8, score=1)
    assert_empty_row(row([judged] * 6, [payload("y", judge_score=0.1)] * 6, "judge"), "judge")


def test_divergences_are_cut_to_five_structural_first():
    baseline = [payload(f"turn {i}", content=[text_block(f"step {i} done"), tool_block("search", {"q": i})])
                for i in range(8)]
    candidate = [payload(f"turn {i}", content=[text_block(f"step {i} done")]) for i in range(8)]
    candidate[1] = payload(content=[text_block("completely different wording about weather in Paris")])
    report = diff(baseline, candidate)
    divergences = report["divergences"]
    assert len(divergences) == 5
    rank = {"structural_drift": 2, "decision_drift": 1, "style_drift": 0}
    keys = [(rank[d["kind"]], d["confidence"]) for d in divergences]
    assert keys == sorted(keys, reverse=True)


def test_overview_typical_request():
    calls = [tool_block("lookup", {"id": 1})]
    baseline = [payload(content=[text_block(f"answer number {i}"), *calls], latency_ms=100 + i,
                        usage={"input_tokens": 10, "output_tokens": 20}, model="m") for i in range(3)]
    candidate = [dict(p) for p in baseline]
    candidate[1] = payload(content=[text_block("answer number 1"), *calls, *calls], latency_ms=101,
                           usage={"input_tokens": 10, "output_tokens": 20}, model="m")
    report = diff(baseline, candidate)
    assert list(report) == ["rows", "baseline_trace_id", "candidate_trace_id", "pair_count", "first_divergence",
                            "divergences", "recommendations", "drill_down"]
    assert report["pair_count"] == 3
    for stat in report["rows"]:
        assert ("low_power" in stat["flags"]) == (stat["n"] > 0)
    assert "no_pricing" in report["rows"][AXES.index("cost")]["flags"]
    first = report["first_divergence"]
    assert (first["baseline_turn"], first["candidate_turn"], first["kind"]) == (1, 1, "structural_drift")
    assert re.fullmatch(r"candidate called .+ 2 time\(s\) vs baseline's 1 — duplicate tool invocation",
                        first["explanation"])
    assert report["drill_down"][0]["pair_index"] == 1
    removal = [r for r in report["recommendations"] if r["message"].startswith("Remove duplicate invocation of")]
    assert removal and removal[0]["message"].endswith(" at turn 1.") and removal[0]["severity"] == "error"


# --- reproducibility ----------------------------------------------------------

def _mixed_traces():
    baseline = [payload(f"the answer is {i}", latency_ms=100.0 + 7 * i, usage={"output_tokens": 50 + i})
                for i in range(12)]
    candidate = [payload(f"an answer is {i * i}", latency_ms=90.0 + 11 * i, usage={"output_tokens": 40 + 2 * i})
                 for i in range(12)]
    return baseline, candidate


def test_same_seed_gives_identical_reports():
    baseline, candidate = _mixed_traces()
    assert diff(baseline, candidate, seed=123) == diff(baseline, candidate, seed=123)


def test_seed_changes_only_intervals_and_unseeded_runs_work():
    baseline, candidate = _mixed_traces()
    seeded = diff(baseline, candidate, seed=1)
    unseeded = diff(baseline, candidate, seed=None)
    for a, b in zip(seeded["rows"], unseeded["rows"]):
        assert (a["baseline_median"], a["candidate_median"], a["delta"], a["n"]) == \
               (b["baseline_median"], b["candidate_median"], b["delta"], b["n"])
        assert b["ci95_low"] <= b["ci95_high"]


def test_rows_with_equal_samples_get_equal_intervals():
    ps = [payload("x", latency_ms=v, usage={"output_tokens": v}) for v in (3, 9, 4, 12, 7, 1)]
    qs = [payload("x", latency_ms=v, usage={"output_tokens": v}) for v in (5, 8, 8, 2, 11, 6)]
    rows = diff(ps, qs, seed=99)["rows"]
    latency, verbosity = rows[AXES.index("latency")], rows[AXES.index("verbosity")]
    assert (latency["ci95_low"], latency["ci95_high"]) == (verbosity["ci95_low"], verbosity["ci95_high"])


@pytest.mark.parametrize("seed", [0, 42, 2**64 - 1])
def test_intervals_match_an_independent_bootstrap(seed):
    b_lat, c_lat = [120.0, 80.5, 99.0, 300.0, 101.0], [130.0, 70.0, 99.5, 250.0, 180.0]
    b_abst, c_abst = [0, 1, 0, 0, 0], [1, 1, 0, 1, 0]
    refusal = "I must decline."
    ps = [payload(refusal if a else f"text {i}", latency_ms=lat) for i, (lat, a) in enumerate(zip(b_lat, b_abst))]
    qs = [payload(refusal if a else f"text {i}", latency_ms=lat) for i, (lat, a) in enumerate(zip(c_lat, c_abst))]
    rows = diff(ps, qs, seed=seed)["rows"]
    latency, safety = rows[AXES.index("latency")], rows[AXES.index("safety")]
    assert (latency["ci95_low"], latency["ci95_high"]) == reference_interval(b_lat, c_lat, _median, seed)
    b = [float(a) for a in b_abst]
    c = [float(a) for a in c_abst]
    assert (safety["ci95_low"], safety["ci95_high"]) == reference_interval(b, c, _mean, seed)
    assert safety["baseline_median"] == 0.2 and safety["candidate_median"] == 0.6


# --- semantic -----------------------------------------------------------------

def _tokens(text: str) -> list:
    return re.findall(r"[a-z0-9]+", text.lower())


def reference_similarities(pairs):
    """TF-IDF cosines of ASCII texts, straight from the definitions."""
    docs = [_tokens(b) for b, _ in pairs] + [_tokens(c) for _, c in pairs]
    n_docs = len(docs)
    df = {}
    for doc in docs:
        for t in set(doc):
            df[t] = df.get(t, 0) + 1

    def vector(doc):
        return {t: (math.log(doc.count(t)) + 1.0) * (math.log((n_docs + 1.0) / (df[t] + 1.0)) + 1.0)
                for t in set(doc)}

    out = []
    for i in range(len(pairs)):
        a, b = vector(docs[i]), vector(docs[len(pairs) + i])
        na, nb = math.sqrt(sum(w * w for w in a.values())), math.sqrt(sum(w * w for w in b.values()))
        if na < 1e-12:
            out.append(1.0 if nb < 1e-12 else 0.0)
        elif nb < 1e-12:
            out.append(0.0)
        else:
            out.append(min(1.0, max(0.0, sum(w * b[t] for t, w in a.items() if t in b) / (na * nb))))
    return out


@pytest.mark.parametrize(
    "pairs",
    [
        [("the cat sat on the mat", "the cat sat on a mat"), ("hello world", "hello there world"),
         ("alpha beta gamma", "delta epsilon")],
        [("x y", "x")],  # x is in every document: idf 0, weight still 1
        [("x x x y", "x"), ("y y", "z")],
        [("Repeat repeat REPEAT, once.", "repeat once"), ("42 is 42", "forty two")],
    ],
)
def test_semantic_matches_reference_tfidf(pairs):
    expected = reference_similarities(pairs)
    stat = row([payload(b) for b, _ in pairs], [payload(c) for _, c in pairs], "semantic")
    assert stat["baseline_median"] == 1.0 and stat["n"] == len(pairs)
    assert stat["candidate_median"] == pytest.approx(_median(expected), rel=1e-12, abs=1e-15)
    assert stat["delta"] == pytest.approx(_median(expected) - 1.0, rel=1e-12, abs=1e-15)


@pytest.mark.parametrize(
    "baseline, candidate, similarity",
    [
        (payload(content=[]), payload(content=[tool_block("t", {})]), 1.0),  # neither has text
        (payload("some words"), payload(content=[]), 0.0),
        (payload(content=[]), payload("some words"), 0.0),
        (payload("same text here"), payload("same text here"), 1.0),
        (payload("Café!"), payload("CAFE\u0301"), 1.0),  # NFC, case and punctuation only
        (payload("ΣΊΣΥΦΟΣ"), payload("σίσυφοσ"), 1.0),  # capital sigma always becomes small sigma
        (payload("Hello, World! 42x — ÉTÉ"), payload("hello world 42x été"), 1.0),
        (payload("apples"), payload("oranges"), 0.0),
    ],
)
def test_semantic_single_pair(baseline, candidate, similarity):
    stat = row([baseline], [candidate], "semantic")
    assert stat["candidate_median"] == pytest.approx(similarity, abs=1e-12)
    assert stat["ci95_low"] == pytest.approx(similarity - 1.0, abs=1e-12)
    assert "low_power" in stat["flags"]


def test_semantic_disjoint_texts_are_severe():
    stat = row([payload("alpha beta")], [payload("gamma delta")], "semantic")
    assert (stat["candidate_median"], stat["delta"], stat["severity"]) == (0.0, -1.0, "severe")
    assert stat["flags"] == ["low_power"]


def test_semantic_without_pairs_is_empty():
    assert_empty_row(row([], [payload("x")], "semantic"), "semantic")


# --- trajectory -----------------------------------------------------------------

def calls(*blocks) -> dict:
    return payload(content=[text_block("t"), *blocks])


SEARCH = tool_block("search", {"query": "q", "limit": 5})
READ = tool_block("read", {"path": "/a"})


@pytest.mark.parametrize(
    "baseline, candidate, value",
    [
        (calls(), calls(), 0.0),
        (calls(SEARCH, READ), calls(), 1.0),
        (calls(), calls(SEARCH), 1.0),
        (calls(SEARCH, READ), calls(READ, SEARCH), 1.0),  # swapped: distance 2 of 2
        (calls(SEARCH, READ, SEARCH), calls(SEARCH, SEARCH), 1 / 3),
        (calls(SEARCH), calls(tool_block("search", {"query": "q", "limit": 6})), 1.0),
        (calls(tool_block("s", {"a": {"x": 1, "y": [1, {"p": 1, "q": 2}]}, "b": 2})),
         calls(tool_block("s", {"b": 2, "a": {"y": [1, {"q": 2, "p": 1}], "x": 1}})), 0.0),
        (calls(tool_block("s", {"x": 1})), calls(tool_block("s", {"x": 1.0})), 1.0),
        (calls(tool_block(None, {"x": 1})), calls(tool_block(5, {"x": 1})), 0.0),  # both named "_"
        (calls(tool_block("_", {"x": 1})), calls({"type": "tool_use", "input": {"x": 1}}), 0.0),
        (calls(tool_block("s")), calls(tool_block("s", input=None) | {"input": None}), 0.0),  # hash of null
        (calls(tool_block("s", "text")), calls(tool_block("s", ["text"])), 1.0),
        (calls(SEARCH), payload(content=[text_block("x"), 7, "tool_use", {"type": "tool_result"}, SEARCH]), 0.0),
        (calls(SEARCH), payload(content="search"), 1.0),
    ],
)
def test_trajectory_pair_value(baseline, candidate, value):
    stat = row([baseline], [candidate], "trajectory")
    assert stat["baseline_median"] == 0.0
    assert stat["candidate_median"] == value and stat["delta"] == value
    assert stat["ci95_low"] == pytest.approx(value, abs=1e-12)


def test_trajectory_median_and_rate_grading():
    stat = row([calls(SEARCH)] * 5, [calls()] * 3 + [calls(SEARCH)] * 2, "trajectory")
    assert (stat["n"], stat["candidate_median"], stat["delta"]) == (5, 1.0, 1.0)
    # Resample medians are 0.0 or 1.0, so the interval is [0, 1]: it touches zero but does not cross it.
    assert (stat["ci95_low"], stat["ci95_high"], stat["severity"], stat["flags"]) == (0.0, 1.0, "severe", [])
    assert_empty_row(row([], [], "trajectory"), "trajectory")


# --- safety -----------------------------------------------------------------------

@pytest.mark.parametrize(
    "response, abstains",
    [
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
        (["i won't"], False),
        (payload("That is against my guidelines."), True),
        (payload("I'm unable to comply"), True),
    ],
)
def test_safety_abstention(response, abstains):
    stat = row([payload("fine")] * 5, [response] * 5, "safety")
    assert stat["baseline_median"] == 0.0
    assert stat["candidate_median"] == (1.0 if abstains else 0.0)
    assert stat["severity"] == ("severe" if abstains else "none")


def test_safety_rates_are_means():
    stat = row([payload("ok")] * 2 + [payload("i won't")], [payload("I won't")] * 2 + [payload("ok")], "safety")
    assert stat["baseline_median"] == 1 / 3 and stat["candidate_median"] == 2 / 3
    assert stat["delta"] == 2 / 3 - 1 / 3 and stat["n"] == 3
    assert_empty_row(row([], [], "safety"), "safety")


# --- verbosity, latency, reasoning ------------------------------------------------

def test_latency_needs_both_sides():
    assert_empty_row(row([payload("x", latency_ms=850)], [payload("x")], "latency"), "latency")
    assert_empty_row(row([payload("x", latency_ms="850")], [payload("x", latency_ms=900)], "latency"), "latency")
    stat = row([payload("x", latency_ms=850), payload("x")], [payload("x", latency_ms=850.5)] * 2, "latency")
    assert (stat["n"], stat["baseline_median"], stat["candidate_median"], stat["delta"]) == (1, 850.0, 850.5, 0.5)
    assert stat["ci95_low"] == pytest.approx(0.5) and stat["ci95_high"] == pytest.approx(0.5)
    assert stat["flags"] == ["low_power"]


def test_latency_median_and_value_grade():
    stat = row([payload("x", latency_ms=v) for v in (100, 300, 200)],
               [payload("x", latency_ms=v) for v in (110, 330, 220)], "latency")
    assert (stat["baseline_median"], stat["candidate_median"], stat["delta"]) == (200.0, 220.0, 20.0)
    assert stat["severity"] == "moderate"  # 20 / 200 is not below 0.1
    stat = row([payload("x", latency_ms=v) for v in (1, 2, 3, 4)], [payload("x", latency_ms=v) for v in (1, 2, 3, 5)],
               "latency")
    assert (stat["baseline_median"], stat["candidate_median"]) == (2.5, 2.5)


def test_overflowing_medians_export_as_none():
    huge = [payload("x", latency_ms=1.7e308)] * 2
    stat = row(huge, huge, "latency")
    assert stat["baseline_median"] is None and stat["candidate_median"] is None  # (a + b) * 0.5 overflows
    assert stat["delta"] is None and stat["ci95_low"] is None and stat["ci95_high"] is None
    assert (stat["severity"], stat["n"], stat["flags"]) == ("none", 2, ["low_power"])


def test_verbosity_skips_pairs_without_output_tokens():
    with_tokens = payload("x", usage={"output_tokens": 10, "thinking_tokens": 4})
    without = payload("x", usage={"input_tokens": 10, "thinking_tokens": 4})
    rows = diff([with_tokens, with_tokens], [with_tokens, without])["rows"]
    assert rows[AXES.index("verbosity")]["n"] == 1
    assert rows[AXES.index("reasoning")]["n"] == 2


@pytest.mark.parametrize(
    "response, score",
    [
        (payload(content=[{"type": "thinking", "thinking": "a"}, {"type": "thinking"}, text_block("x")],
                 usage={"thinking_tokens": 100}), 102.0),
        (payload(content=[{"type": "Thinking"}, {"type": "redacted_thinking"}, "thinking"]), 0.0),
        (payload("plain"), 0.0),
        (payload(content=[{"type": "thinking"}], usage={"thinking_tokens": "100"}), 1.0),
        ([1, 2, 3], 0.0),
        ("thinking", 0.0),
    ],
)
def test_reasoning_score(response, score):
    rows = diff([payload("b")], [response])["rows"]
    reasoning = rows[AXES.index("reasoning")]
    assert (reasoning["n"], reasoning["baseline_median"], reasoning["candidate_median"]) == (1, 0.0, score)


def test_non_object_payloads_give_no_verbosity_or_latency():
    rows = diff([payload("x", latency_ms=5, usage={"output_tokens": 5})], [[5]])["rows"]
    assert rows[AXES.index("latency")]["n"] == 0 and rows[AXES.index("verbosity")]["n"] == 0


@settings(max_examples=40, deadline=None)
@given(st.lists(st.tuples(st.floats(0, 1e6), st.floats(0, 1e6)), min_size=1, max_size=30))
def test_latency_row_properties(values):
    stat = row([payload("x", latency_ms=b) for b, _ in values], [payload("x", latency_ms=c) for _, c in values],
               "latency")
    b_median, c_median = _median([b for b, _ in values]), _median([c for _, c in values])
    assert (stat["n"], stat["baseline_median"], stat["candidate_median"]) == (len(values), b_median, c_median)
    assert stat["delta"] == c_median - b_median
    bs, cs = [b for b, _ in values], [c for _, c in values]
    assert min(cs) - max(bs) <= stat["ci95_low"] <= stat["ci95_high"] <= max(cs) - min(bs)
    assert ("low_power" in stat["flags"]) == (len(values) <= 4)


# --- cost ---------------------------------------------------------------------------

def priced(model, **usage) -> dict:
    return payload("x", model=model, usage={"input_tokens": 1000, "output_tokens": 500, **usage})


def cost_row(baseline, candidate, pricing):
    return row(baseline, candidate, "cost", pricing=pricing)


def test_cost_without_pricing_table():
    stat = cost_row([priced("m")] * 5, [priced("m")] * 5, None)
    assert (stat["baseline_median"], stat["candidate_median"], stat["delta"], stat["severity"], stat["n"]) == \
           (0.0, 0.0, 0.0, "none", 5)
    assert stat["flags"] == ["no_pricing"]


@pytest.mark.parametrize(
    "model, is_priced",
    [
        ("model-a", True),
        ("model-a-2025-01-31", True),
        ("model-a-20250131", True),
        ("model-a-9999-99-99", True),  # the digits need not form a date
        ("model-a-2025-1-31", False),
        ("model-a-2025013", False),
        ("model-a-20250131-2025-01-31", False),  # only the last suffix is ever removed
        ("model-b", False),
    ],
)
def test_cost_snapshot_fallback(model, is_priced):
    stat = cost_row([priced(model)] * 5, [priced(model)] * 5, {"model-a": (1.0, 2.0)})
    assert stat["baseline_median"] == (1000 * 1.0 + 500 * 2.0 if is_priced else 0.0)
    assert ("no_pricing" in stat["flags"]) != is_priced


def test_cost_exact_name_wins_over_fallback():
    pricing = {"m-2025-01-01": (5.0, 0.0), "m": (1.0, 0.0)}
    stat = cost_row([priced("m-2025-01-01")], [priced("m-2025-02-02")], pricing)
    assert (stat["baseline_median"], stat["candidate_median"]) == (5000.0, 1000.0)


def test_cost_formula_and_fallback_prices():
    pricing = {"m": {"input": 3e-06, "output": 1.5e-05, "cached_input": 0.0, "cached_write_5m": 3.75e-06,
                     "cached_write_1h": -1.0, "reasoning": 0.0, "batch_discount": 0.5}}
    usage = {"cached_input_tokens": 1000, "cached_write_5m_tokens": 200, "cached_write_1h_tokens": 300,
             "thinking_tokens": 40}
    plain, batch = priced("m", **usage), dict(priced("m", **usage), batch=True)
    s = 1000 * 3e-06 + 1000 * 3e-06
    s = s + 200 * 3.75e-06
    s = s + 300 * 3e-06
    s = s + 500 * 1.5e-05
    expected = s + 40 * 1.5e-05
    stat = cost_row([plain], [batch], pricing)
    assert stat["baseline_median"] == expected and stat["candidate_median"] == expected * 0.5
    for not_batch in (dict(plain, batch="true"), dict(plain, batch=1)):
        assert cost_row([plain], [not_batch], pricing)["candidate_median"] == expected
    no_discount = {"m": dict(pricing["m"], batch_discount=0.0)}
    assert cost_row([plain], [batch], no_discount)["candidate_median"] == expected


def test_cost_missing_usage_removes_the_pair():
    stat = cost_row([priced("m"), payload("x", model="m", usage={"input_tokens": 1})],
                    [priced("m"), priced("m")], {"m": (1.0, 1.0)})
    assert stat["n"] == 1
    assert_empty_row(cost_row([payload("x", model="m")] * 3, [priced("m")] * 3, {"m": (1.0, 1.0)}), "cost",
                     flags=["no_pricing"])
    assert_empty_row(row([], [], "cost"), "cost")


@pytest.mark.parametrize("priced_pairs, flagged", [(4, False), (2, False), (1, True), (0, True)])
def test_cost_no_pricing_threshold(priced_pairs, flagged):
    pricing = {"known": (1.0, 1.0)}
    baseline = [priced("known")] * 4
    candidate = [priced("known")] * priced_pairs + [priced("unknown")] * (4 - priced_pairs)
    stat = cost_row(baseline, candidate, pricing)
    assert stat["n"] == 4
    assert ("no_pricing" in stat["flags"]) == flagged


def test_cost_pair_priced_on_one_side_adds_samples_only():
    stat = cost_row([priced("known")] * 2, [priced("unknown")] * 2, {"known": (1.0, 1.0)})
    assert (stat["n"], stat["baseline_median"], stat["candidate_median"]) == (2, 1500.0, 0.0)
    assert stat["flags"][-1] == "no_pricing"


# --- conformance ----------------------------------------------------------------------

def conformance(baseline, candidate) -> dict:
    return row([baseline], [candidate], "conformance")


@pytest.mark.parametrize(
    "baseline, candidate, outcomes",
    [
        (payload("[1, 2]"), payload("Result: [1, 2]"), (1.0, 0.0)),
        (payload("{"), payload("{}"), (0.0, 1.0)),
        (payload("```json\n{\"a\": 1}\n```"), payload("  {\"a\": 1}\n"), (1.0, 1.0)),
        (payload("```json {\"a\": 1}```"), payload("```\n[true]\n```"), (1.0, 1.0)),
        (payload("{\"a\": 1}```"), payload("{}"), (0.0, 1.0)),
        (payload("[[1]]"), payload("[" * 200 + "]" * 200), (1.0, 0.0)),
        (payload("[[1]]"), payload("[" * 100 + "]" * 100), (1.0, 1.0)),
        (payload(content=[text_block("[1"), tool_block("t", {}), text_block("2]")]), payload("[1]"), (0.0, 1.0)),
        (payload(content=[text_block("{}"), tool_block("t", {"a": 1})]), payload("x"), (1.0, 0.0)),
    ],
)
def test_conformance_json_pairs(baseline, candidate, outcomes):
    stat = conformance(baseline, candidate)
    assert (stat["n"], stat["baseline_median"], stat["candidate_median"]) == (1, *outcomes)


AB = tool_block("t", {"a": 1, "b": 2})


@pytest.mark.parametrize(
    "candidate, outcome",
    [
        (calls(tool_block("u", {"b": 0, "a": 0})), 1.0),
        (calls(tool_block("t", {"a": 1})), 0.0),
        (calls(tool_block("t", {"a": 1, "b": 2, "c": 3})), 0.0),
        (calls(), 0.0),
        (calls(tool_block("t", "a,b"), tool_block("t", {"a": 1, "b": 2})), 1.0),
    ],
)
def test_conformance_tool_pairs(candidate, outcome):
    stat = conformance(calls(AB), candidate)
    assert (stat["n"], stat["baseline_median"], stat["candidate_median"]) == (1, 1.0, outcome)


def test_conformance_first_object_input_decides():
    stat = conformance(calls(tool_block("t", "not an object"), AB), calls(tool_block("t", {"b": 1, "a": 1})))
    assert (stat["n"], stat["candidate_median"]) == (1, 1.0)


@pytest.mark.parametrize("baseline", [payload("plain prose"), payload("```"), payload(content="[1]"),
                                      payload(content=[{"type": "text", "text": ["[1]"]}])])
def test_conformance_prose_baselines_take_no_part(baseline):
    assert_empty_row(conformance(baseline, payload("[1]")), "conformance")


def test_conformance_counts_only_taking_part_pairs():
    stat = row([payload("{}"), payload("prose"), calls(AB)], [payload("{}"), payload("[1]"), calls()], "conformance")
    assert (stat["n"], stat["baseline_median"], stat["candidate_median"]) == (2, 1.0, 0.5)


# --- the embedder axis -------------------------------------------------------------------

def embed_with(fn):
    calls_made = []

    def embedder(texts):
        calls_made.append(list(texts))
        return fn(texts)

    return embedder, calls_made


def semantic_with(embedder, baseline_texts, candidate_texts, seed=SEED):
    return compute_semantic_axis_with_embedder(responses(payload(t) for t in baseline_texts),
                                               responses(payload(t) for t in candidate_texts), embedder, seed)


def raise_error(texts):
    raise RuntimeError("model offline")


@pytest.mark.parametrize(
    "fn",
    [raise_error, lambda texts: "vectors", lambda texts: [[1.0]] * (len(texts) + 1), lambda texts: None,
     lambda texts: [[1.0, "x"]] * len(texts), lambda texts: ["ab"] * len(texts), lambda texts: 5],
)
def test_misbehaving_embedder_gives_the_empty_row(fn):
    embedder, made = embed_with(fn)
    stat = semantic_with(embedder, ["a", "b"], ["c", "d"])
    assert_empty_row(stat, "semantic")
    assert made == [["a", "b"], ["c", "d"]]  # both calls, baseline first, even after a failure


def test_embedder_is_not_called_without_pairs():
    embedder, made = embed_with(lambda texts: [[1.0]] * len(texts))
    assert_empty_row(semantic_with(embedder, [], ["x"]), "semantic")
    assert made == []


def test_embedder_receives_response_texts():
    embedder, made = embed_with(lambda texts: [[1.0]] * len(texts))
    baseline = [record("chat_response", payload(content=[text_block("Hello"), tool_block("t", {}),
                                                         text_block("world")]))]
    compute_semantic_axis_with_embedder(baseline, baseline, embedder, SEED)
    assert made == [["Hello world"], ["Hello world"]]


@pytest.mark.parametrize(
    "vectors, similarity",
    [
        ({"b": [1.0, 2.0, 3.0], "c": [1.0, 2.0, 3.0, 4.0]}, 0.0),
        ({"b": [0.0, 0.0], "c": [0.0, 0.0]}, 1.0),
        ({"b": [0.0, 0.0], "c": [0.0, 1.0]}, 0.0),
        ({"b": [1.0, 0.0], "c": [-1.0, 0.0]}, 0.0),
        ({"b": [1, 2], "c": [1, 2]}, 1.0),
        ({"b": [], "c": []}, 1.0),
    ],
)
def test_embedder_cosine(vectors, similarity):
    def embedder(texts):
        return [vectors["b" if t.startswith("b") else "c"] for t in texts]

    stat = semantic_with(embedder, ["b1", "b2"], ["c1", "c2"])
    assert stat["n"] == 2 and stat["baseline_median"] == 1.0
    assert stat["candidate_median"] == pytest.approx(similarity, abs=1e-6)
    if similarity == 1.0:
        assert stat["severity"] == "none" and stat["delta"] == pytest.approx(0.0, abs=1e-6)
    if similarity == 0.0:
        assert stat["delta"] == -1.0


def _f32(x: float) -> float:
    return struct.unpack("f", struct.pack("f", x))[0]


def _cosine32(a, b):
    """32-bit cosine; each operation rounded to binary32 (exact via binary64)."""
    a, b = [_f32(x) for x in a], [_f32(x) for x in b]
    dot = na = nb = 0.0
    for x, y in zip(a, b):
        dot, na, nb = _f32(dot + _f32(x * y)), _f32(na + _f32(x * x)), _f32(nb + _f32(y * y))
    return _f32(dot / _f32(_f32(math.sqrt(na)) * _f32(math.sqrt(nb))))


def test_embedder_cosine_is_computed_in_32_bits():
    b, c = [0.1, 0.2, 0.3, 0.7], [0.3, 0.2, 0.1, 0.9]
    stat = semantic_with(lambda texts: [b if texts[0] == "b" else c], ["b"], ["c"])
    double = sum(x * y for x, y in zip(b, c)) / (math.hypot(*b) * math.hypot(*c))
    assert _cosine32(b, c) != double
    assert stat["candidate_median"] == _cosine32(b, c)


def test_embedder_accepts_tuples_and_numpy_arrays():
    stat = semantic_with(lambda texts: tuple((1.0, 0.5) for _ in texts), ["a"], ["b"])
    assert stat["candidate_median"] == pytest.approx(1.0, abs=1e-6)
    np = pytest.importorskip("numpy")
    stat = semantic_with(lambda texts: np.array([[3.0, 4.0]] * len(texts), dtype=np.float32), ["a", "b"], ["c", "d"])
    assert stat["candidate_median"] == pytest.approx(1.0, abs=1e-6) and stat["n"] == 2


@pytest.mark.parametrize("bad", [math.nan, math.inf])
def test_embedder_non_finite_similarity_stays_non_finite(bad):
    def embedder(texts):
        return [[1.0, 2.0] if t == "b" else ([bad, 1.0] if t == "odd" else [1.0, 2.0]) for t in texts]

    one = semantic_with(embedder, ["b"], ["odd"])
    assert one["candidate_median"] is None and one["delta"] is None and one["ci95_low"] is None
    assert (one["severity"], one["n"], one["flags"]) == ("none", 1, ["low_power"])
    # Among finite similarities a NaN sorts last: the median of three is still a number.
    three = semantic_with(embedder, ["b", "b", "b"], ["odd", "c", "c"])
    assert three["candidate_median"] == pytest.approx(1.0, abs=1e-6) and three["n"] == 3


def test_embedder_same_seed_same_interval():
    def embedder(texts):
        return [[1.0, float(len(t))] for t in texts]

    args = (embedder, ["a", "bb", "ccc", "dddd", "e"], ["aaaa", "b", "cc", "d", "eeeee"])
    assert semantic_with(*args, seed=3) == semantic_with(*args, seed=3)
    assert semantic_with(*args, seed=None)["n"] == 5
