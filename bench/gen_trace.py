"""Seeded generator of realistic .agentlog traces for the benchmarks.

A trace is a metadata record followed by turns: a chat_request, a
chat_response whose content mixes thinking, text and tool_use blocks, and one
tool_call plus tool_result per tool use. Texts mix ASCII with accented Latin,
Greek, Cyrillic, CJK and emoji so that every UTF-8 length is exercised.

    python bench/gen_trace.py --mb 100 --out bench/data/trace_100mb.agentlog

The benchmarks generate their traces on first use and keep them in bench/data/.
"""
from __future__ import annotations

import argparse
import copy
import json
import os
import random
import sys
from datetime import datetime, timedelta, timezone

VERSION = "0.1"
DATA_DIR = os.path.join(os.path.dirname(os.path.abspath(__file__)), "data")

_WORDS = (
    "the agent reads file result query table user answer summary plan step "
    "value error retry cache token budget model request response check data "
    "report config schema field index search update status build test deploy "
    "because therefore however while after before during within across about "
    "café naïve résumé façade señor Zürich Ångström élan crème brûlée déjà "
    "straße Größe größer Mädchen übersetzen coração ação português "
    "λόγος δεδομένα данные поиск результат ошибка "
    "東京 データ 検索 結果 分析 报告 数据 结果 模型 请求 서울 데이터 "
    "🚀 ✅ 📦 🙂 🔍 ⚠️ 👩‍💻"
).split()
_MEAN_WORD_BYTES = sum(len(w.encode()) + 1 for w in _WORDS) / len(_WORDS)

_MODELS = ("nimbus-pro-2025-04-10", "nimbus-lite-20250301")
_STOP_REASONS = ("end_turn", "max_tokens", "stop_sequence", "refusal")
_EPOCH = datetime(2025, 1, 15, 9, 30, 0, tzinfo=timezone.utc)


def _text(rng: random.Random, n_bytes: int) -> str:
    """Sentences of random words totalling roughly n_bytes of UTF-8."""
    words = rng.choices(_WORDS, k=max(1, round(n_bytes / _MEAN_WORD_BYTES)))
    sentences = []
    start = 0
    while start < len(words):
        end = start + rng.randint(5, 15)
        sentence = " ".join(words[start:end])
        sentences.append(sentence[:1].upper() + sentence[1:] + ".")
        start = end
    return " ".join(sentences)


def _tool_input(rng: random.Random, name: str) -> dict:
    if name == "search":
        return {"query": _text(rng, 30), "limit": rng.choice((5, 10, 20))}
    if name == "read_file":
        return {"path": f"/srv/app/{rng.choice(('src', 'docs', 'données'))}/{rng.randrange(1000)}.txt"}
    if name == "run_sql":
        return {"database": rng.choice(("sales", "crm")),
                "query": f"SELECT * FROM orders WHERE id = {rng.randrange(10**6)}"}
    if name == "weather":
        return {"city": rng.choice(("Zürich", "東京", "São Paulo", "Reykjavík")),
                "units": rng.choice(("metric", "imperial"))}
    return {"expression": f"{rng.randrange(1000)} * {rng.random():.4f}", "precision": rng.randint(2, 8)}


_TOOLS = ("search", "read_file", "run_sql", "weather", "calculator")


def _tool_use(rng: random.Random) -> dict:
    name = rng.choice(_TOOLS)
    return {"type": "tool_use", "id": f"toolu_{rng.getrandbits(64):016x}", "name": name,
            "input": _tool_input(rng, name)}


def _new_turn(rng: random.Random, text_bytes: int) -> dict:
    """One turn as plain data, before it becomes records."""
    content = []
    if rng.random() < 0.3:
        content.append({"type": "thinking", "thinking": _text(rng, max(16, text_bytes // 2))})
    content.append({"type": "text", "text": _text(rng, text_bytes)})
    content.extend(_tool_use(rng) for _ in range(rng.choice((0, 0, 1, 1, 2, 3))))
    calls = [block for block in content if block["type"] == "tool_use"]
    if calls:
        stop_reason = "tool_use"
    else:
        stop_reason = "end_turn" if rng.random() < 0.9 else rng.choice(_STOP_REASONS[1:])
    usage = {"input_tokens": rng.randint(200, 8000), "output_tokens": max(1, text_bytes // 4 + rng.randint(-20, 20))}
    if rng.random() < 0.5:
        usage["cached_input_tokens"] = rng.randint(0, usage["input_tokens"])
    if content[0]["type"] == "thinking":
        usage["thinking_tokens"] = len(content[0]["thinking"]) // 4
    return {
        "request": _text(rng, max(24, text_bytes // 4)),
        "model": _MODELS[0] if rng.random() < 0.8 else _MODELS[1],
        "content": content,
        "stop_reason": stop_reason,
        "usage": usage,
        "latency_ms": round(rng.uniform(150.0, 4000.0), 1),
        "tool_outputs": [_text(rng, 120) for _ in calls],
    }


def _perturb_turn(rng: random.Random, turn: dict, text_bytes: int) -> None:
    """Changes one decision of a turn in place: its text, a tool argument or the stop reason."""
    calls = [block for block in turn["content"] if block["type"] == "tool_use"]
    choice = rng.choice(("text", "tool_args", "stop_reason"))
    if choice == "tool_args" and calls:
        block = rng.choice(calls)
        key = rng.choice(sorted(block["input"]))
        block["input"][key] = f"{block['input'][key]} (rev {rng.randrange(100)})"
    elif choice == "stop_reason":
        turn["stop_reason"] = rng.choice([r for r in _STOP_REASONS if r != turn["stop_reason"]])
    else:
        for block in turn["content"]:
            if block["type"] == "text":
                block["text"] = _text(rng, text_bytes)


def _candidate_turns(rng: random.Random, baseline: list, perturb: float, text_bytes: int) -> list:
    turns = []
    for turn in baseline:
        turn = copy.deepcopy(turn)
        turn["latency_ms"] = round(turn["latency_ms"] * rng.uniform(0.85, 1.15), 1)
        if rng.random() < perturb:
            change = rng.choice(("edit", "edit", "drop", "insert"))
            if change == "drop":
                continue
            if change == "insert":
                turns.append(_new_turn(rng, text_bytes))
            else:
                _perturb_turn(rng, turn, text_bytes)
        turns.append(turn)
    return turns


class _Envelope:
    """Mints ids, timestamps and parent links for one trace."""

    def __init__(self, rng: random.Random):
        self.rng = rng
        self.parent = None
        self.clock = _EPOCH

    def record(self, kind: str, payload, meta=None, step_ms: float = 5.0) -> dict:
        self.clock += timedelta(milliseconds=step_ms)
        record_id = f"sha256:{self.rng.getrandbits(256):064x}"
        record = {"version": VERSION, "id": record_id, "kind": kind,
                  "ts": self.clock.isoformat(timespec="milliseconds").replace("+00:00", "Z"),
                  "parent": self.parent}
        if meta is not None:
            record["meta"] = meta
        record["payload"] = payload
        self.parent = record_id
        return record


def _metadata(envelope: _Envelope, seed: int, side: str) -> dict:
    trace_id = f"trace-{side}-{seed}-{envelope.rng.getrandbits(32):08x}"
    return envelope.record("metadata", {"agent": "support-bot", "side": side, "seed": seed},
                           meta={"trace_id": trace_id})


def _turn_records(envelope: _Envelope, turn: dict) -> list:
    records = [envelope.record("chat_request", {
        "model": turn["model"],
        "messages": [{"role": "user", "content": [{"type": "text", "text": turn["request"]}]}],
        "max_tokens": 4096,
    })]
    records.append(envelope.record("chat_response", {
        "model": turn["model"],
        "content": turn["content"],
        "stop_reason": turn["stop_reason"],
        "usage": turn["usage"],
        "latency_ms": turn["latency_ms"],
    }, step_ms=turn["latency_ms"]))
    calls = [block for block in turn["content"] if block["type"] == "tool_use"]
    for block, output in zip(calls, turn["tool_outputs"]):
        records.append(envelope.record("tool_call", {"tool_use_id": block["id"], "name": block["name"],
                                                     "input": block["input"]}))
        records.append(envelope.record("tool_result", {"tool_use_id": block["id"], "is_error": False,
                                                       "content": output}, step_ms=40.0))
    return records


def generate(n_responses: int, seed: int, text_bytes: int = 1024, perturb: float = 0.0):
    """Returns (baseline_records, candidate_records) with n_responses baseline turns.

    With perturb > 0, about that fraction of candidate turns is edited (text,
    a tool argument or the stop reason), dropped, or followed by an inserted turn.
    """
    plan_rng = random.Random(seed)
    baseline_turns = [_new_turn(plan_rng, text_bytes) for _ in range(n_responses)]
    candidate_turns = _candidate_turns(random.Random(f"{seed}:candidate"), baseline_turns, perturb, text_bytes)
    sides = []
    for side, turns in (("baseline", baseline_turns), ("candidate", candidate_turns)):
        envelope = _Envelope(random.Random(f"{seed}:{side}:ids"))
        records = [_metadata(envelope, seed, side)]
        for turn in turns:
            records.extend(_turn_records(envelope, copy.deepcopy(turn)))
        sides.append(records)
    return sides[0], sides[1]


def record_line(record: dict) -> bytes:
    """One record as a compact .agentlog line."""
    return json.dumps(record, separators=(",", ":"), ensure_ascii=False).encode() + b"\n"


def iter_trace_lines(target_bytes: int, seed: int, text_bytes: int = 1024):
    """Yields .agentlog lines until about target_bytes have been produced."""
    rng = random.Random(seed)
    envelope = _Envelope(random.Random(f"{seed}:ids"))
    line = record_line(_metadata(envelope, seed, "baseline"))
    produced = len(line)
    yield line
    while produced < target_bytes:
        for record in _turn_records(envelope, _new_turn(rng, text_bytes)):
            line = record_line(record)
            produced += len(line)
            yield line


def trace_path(mb: int) -> str:
    """The cached trace of about mb MB, generated on first use."""
    path = os.path.join(DATA_DIR, f"trace_{mb}mb.agentlog")
    if not os.path.exists(path):
        print(f"generating {path} ...", file=sys.stderr)
        main(["--mb", str(mb), "--out", path])
    return path


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description="Write a generated .agentlog trace.")
    parser.add_argument("--mb", type=float, required=True, help="size of the trace in MB (10^6 bytes)")
    parser.add_argument("--out", required=True, help="output file")
    parser.add_argument("--seed", type=int, default=1)
    args = parser.parse_args(argv)
    os.makedirs(os.path.dirname(os.path.abspath(args.out)), exist_ok=True)
    written = 0
    with open(args.out, "wb") as out:
        for line in iter_trace_lines(int(args.mb * 1_000_000), args.seed):
            out.write(line)
            written += len(line)
    print(f"wrote {written} bytes to {args.out}", file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main())
