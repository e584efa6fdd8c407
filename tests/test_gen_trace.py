"""The benchmark trace generator produces valid, reproducible, realistic traces."""
import json
import os
import sys

import pytest

from velkin import _core

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "bench"))
import gen_trace  # noqa: E402


def responses(records):
    return [r for r in records if r["kind"] == "chat_response"]


@pytest.mark.parametrize("seed", [0, 7])
def test_records_are_what_the_parser_returns(seed):
    baseline, candidate = gen_trace.generate(12, seed, text_bytes=200, perturb=0.5)
    for records in (baseline, candidate):
        assert _core.parse_agentlog(_core.write_agentlog(records)) == records
        assert records[0]["kind"] == "metadata" and isinstance(records[0]["meta"]["trace_id"], str)
        assert [r["parent"] for r in records] == [None] + [r["id"] for r in records[:-1]]
        assert all(r["id"].startswith("sha256:") and len(r["id"]) == 71 for r in records)
        assert all(list(r) == ["version", "id", "kind", "ts", "parent", "payload"] for r in records[1:])
    assert len(responses(baseline)) == 12
    assert baseline[0]["meta"]["trace_id"] != candidate[0]["meta"]["trace_id"]


def test_same_seed_same_traces_other_seed_other_traces():
    assert gen_trace.generate(5, 3, perturb=0.3) == gen_trace.generate(5, 3, perturb=0.3)
    assert gen_trace.generate(5, 3) != gen_trace.generate(5, 4)
    assert gen_trace.generate_trace_bytes(50_000, 9) == gen_trace.generate_trace_bytes(50_000, 9)


def test_responses_look_like_real_ones():
    baseline, _ = gen_trace.generate(200, 11, text_bytes=300)
    calls = []
    for r in responses(baseline):
        payload = r["payload"]
        blocks = payload["content"]
        tool_uses = [b for b in blocks if b["type"] == "tool_use"]
        calls.append(len(tool_uses))
        assert all(isinstance(b["name"], str) and isinstance(b["input"], dict) for b in tool_uses)
        assert {"input_tokens", "output_tokens"} <= set(payload["usage"])
        if tool_uses:
            assert payload["stop_reason"] == "tool_use"
        assert isinstance(payload["latency_ms"], float) and isinstance(payload["model"], str)
    assert set(calls) == {0, 1, 2, 3}
    kinds = {r["kind"] for r in baseline}
    assert {"chat_request", "tool_call", "tool_result"} <= kinds
    assert any(b["type"] == "thinking" for r in responses(baseline) for b in r["payload"]["content"])
    text = json.dumps(baseline, ensure_ascii=False)
    # Two-, three- and four-byte UTF-8 characters all occur.
    assert {len(ch.encode()) for ch in text} >= {1, 2, 3, 4}


def test_unperturbed_candidate_does_not_diverge():
    baseline, candidate = gen_trace.generate(20, 5, text_bytes=200)
    report = _core.compute_diff_report(baseline, candidate, None, 1)
    assert report["pair_count"] == 20
    assert report["first_divergence"] is None


def test_perturbed_candidate_drops_inserts_and_edits_turns():
    baseline, candidate = gen_trace.generate(60, 2, text_bytes=200, perturb=0.5)
    report = _core.compute_diff_report(baseline, candidate, None, 1)
    kinds = {d["kind"] for d in report["divergences"]}
    assert "structural_drift" in kinds
    edited = sum(b["payload"] != c["payload"] for b, c in zip(responses(baseline), responses(candidate)))
    assert edited > 10


@pytest.mark.parametrize("target", [1, 20_000, 300_000])
def test_trace_bytes_have_about_the_requested_size(target):
    data = gen_trace.generate_trace_bytes(target, 1)
    lines = data.splitlines()
    assert target <= len(data) < target + 40_000
    assert all(b"\n" not in line and line.startswith(b"{") for line in lines)
    assert len(_core.parse_agentlog(data)) == len(lines)
