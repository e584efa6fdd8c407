"""One fuzz target per entry point of velkin.core, one for the importers and one for the reports' escaping. Each
takes fuzz bytes, calls the entry point, and checks the outcome: a ValueError is an accepted refusal; a result
must pass an independent check where one exists; anything else (another exception, a PanicException, a crash)
is a finding."""
from __future__ import annotations

import hashlib
import json
import math

import hostile
from escaping import check_escaping
from hostile import Bytes, core

from velkin import importers

KINDS = ["metadata", "chat_request", "chat_response", "tool_call", "tool_result", "error", "replay_summary",
         "chunk", "harness_event", "blob_ref"]
MODELS = ["m", "nimbus-pro", "nimbus-lite", ""]


def json_equal(a, b) -> bool:
    """Equality of decoded JSON, numbers by value whatever their Python type."""
    if isinstance(a, bool) or isinstance(b, bool):
        return type(a) is type(b) and a == b
    if isinstance(a, (int, float)) and isinstance(b, (int, float)):
        return a == b or float(a) == float(b)
    if isinstance(a, list) and isinstance(b, list):
        return len(a) == len(b) and all(json_equal(x, y) for x, y in zip(a, b))
    if isinstance(a, dict) and isinstance(b, dict):
        return a.keys() == b.keys() and all(json_equal(a[k], b[k]) for k in a)
    return type(a) is type(b) and a == b


class DuplicateKeys(Exception):
    pass


def strict_json(data: bytes, *, refuse_duplicates=False):
    """json.loads that refuses what JSON does not have (NaN, Infinity); integers beyond 64 bits are read
    as the doubles they were written from."""
    def refuse(token):
        raise ValueError(f"not JSON: {token}")

    def integer(digits):
        number = int(digits)
        return number if -(2**63) <= number < 2**64 else float(digits)

    def members(pairs):
        if refuse_duplicates and len({key for key, _ in pairs}) < len(pairs):
            raise DuplicateKeys
        return dict(pairs)
    return json.loads(data, parse_constant=refuse, parse_int=integer, object_pairs_hook=members)


def finite_everywhere(value) -> bool:
    if isinstance(value, float):
        return math.isfinite(value)
    if isinstance(value, dict):
        return all(finite_everywhere(v) for v in value.values())
    if isinstance(value, list):
        return all(finite_everywhere(v) for v in value)
    return True


# --- parse_agentlog ------------------------------------------------------------------------------

def refusal(error: ValueError) -> str:
    return "ValueError: " + str(error).splitlines()[0]


def check_parse_agentlog(data: bytes) -> str:
    try:
        records = core.parse_agentlog(data)
    except ValueError as error:
        return refusal(error)
    # Accepted lines are JSON, and their payloads read the same through json.loads.
    lines = [line for line in data.split(b"\n") if line.strip(b" \t\r")]
    if len(lines) == len(records):
        for line, parsed in zip(lines, records):
            try:
                expected = strict_json(line)
            except (ValueError, RecursionError):
                raise AssertionError(f"parse_agentlog accepted a line json.loads refuses: {line[:200]!r}") from None
            if not json_equal(expected.get("payload"), parsed["payload"]):
                raise AssertionError(f"payload differs from json.loads: {line[:200]!r}")
    # Write-then-parse round trip: what was read is written and read back unchanged.
    written = core.write_agentlog(records)
    again = core.parse_agentlog(written)
    assert json_equal(again, records), "parse(write(records)) differs from records"
    assert core.write_agentlog(again) == written, "write(parse(write(records))) differs"
    return f"{len(records)} records"


# --- write_agentlog ------------------------------------------------------------------------------

def envelope(b: Bytes, payload) -> dict:
    fields = {"version": "0.1", "id": hostile.text(b) if b.chance(4) else "r", "kind": b.pick(KINDS),
              "ts": "2025-01-01T00:00:00Z", "parent": None, "payload": payload}
    if b.chance(3):
        fields["meta"] = hostile.value(b) if b.chance(2) else {"trace_id": hostile.text(b)}
    for _ in range(b.below(3)):  # a field removed, replaced, or added
        name = b.pick(list(fields) + ["extra"])
        if b.chance(2):
            fields.pop(name, None)
        else:
            fields[name] = hostile.value(b)
    return hostile.SubDict(fields) if b.chance(6) else fields


def check_write_agentlog(data: bytes) -> str:
    b = Bytes(data)
    records = [envelope(b, hostile.value(b)) for _ in range(b.below(4))]
    try:
        written = core.write_agentlog(records)
    except ValueError as error:
        return refusal(error)
    lines = written.split(b"\n")
    assert lines[-1] == b"" and len(lines) == len(records) + 1, "one line per record"
    for line in lines[:-1]:
        strict_json(line)
    try:
        parsed = core.parse_agentlog(written)
    except ValueError as error:
        # The writer takes deeper values than the reader's nesting limit of a line: a known asymmetry.
        if "recursion limit exceeded" in str(error):
            return "written, too deep to read back"
        raise
    assert core.write_agentlog(parsed) == written, "write(parse(written)) differs from written"
    return f"{len(records)} lines"


# --- canonical_bytes and content_id --------------------------------------------------------------

def check_canonical_bytes(data: bytes) -> str:
    try:
        canonical = core.canonical_bytes(hostile.value(Bytes(data)))
    except ValueError as error:
        return refusal(error)
    try:
        loaded = strict_json(canonical, refuse_duplicates=True)
    except DuplicateKeys:
        return "keys equal after normalisation"  # both are written; a dict cannot hold both
    # The canonical form is a fixed point: read back and made canonical again, it is unchanged.
    assert core.canonical_bytes(loaded) == canonical, f"not a fixed point: {canonical[:200]!r}"
    return "result " + canonical[:1].decode()


def outcome(call):
    try:
        return "result", call()
    except ValueError as error:
        return "ValueError", str(error)


def check_content_id(data: bytes) -> str:
    # Two objects built alike, so that hooks which change what they belong to act on each once.
    canonical = outcome(lambda: core.canonical_bytes(hostile.value(Bytes(data))))
    content = outcome(lambda: core.content_id(hostile.value(Bytes(data))))
    if canonical[0] == "result":
        assert content == ("result", "sha256:" + hashlib.sha256(canonical[1]).hexdigest()), "id is not the hash"
    else:
        assert content == canonical, f"canonical_bytes and content_id disagree: {canonical} {content}"
    return canonical[0] if canonical[0] == "result" else "ValueError: " + canonical[1]


# --- compute_diff_report -------------------------------------------------------------------------

def usage(b: Bytes):
    fields = ["input_tokens", "output_tokens", "cached_input_tokens", "thinking_tokens", "cache_creation_input_tokens"]
    return {b.pick(fields): (b.below(5000) if b.chance(2) else hostile.number(b)) for _ in range(b.below(4))}


def content_block(b: Bytes, plain: bool):
    choice = b.below(5)
    if choice <= 1:
        return {"type": "text", "text": b.pick(["ok", "I cannot help with that.", "Booked flight LX 123.",
                                                 "Sorry, error", "", "The answer is 42"]) + hostile.text(b)}
    if choice == 2:
        tool_input = {"q": hostile.text(b), "n": b.below(4)} if plain or b.chance(2) else hostile.value(b)
        return {"type": "tool_use", "id": "t" + str(b.below(9)), "name": b.pick(["search", "book", "cancel"]),
                "input": tool_input}
    if choice == 3:
        return {"type": "thinking", "thinking": hostile.text(b)}
    return hostile.value(b) if not plain else {"type": "text", "text": "x"}


def diff_record(b: Bytes, plain: bool) -> dict:
    kind = b.pick(["chat_response", "chat_response", "chat_response", "chat_request", "tool_result", "metadata",
                   "error"])
    payload = {"content": [content_block(b, plain) for _ in range(b.below(4))]}
    if b.chance(2):
        payload["model"] = b.pick(MODELS)
    if b.chance(2):
        payload["usage"] = usage(b)
    if b.chance(2):
        payload["latency_ms"] = b.below(10000) if plain or b.chance(2) else hostile.number(b)
    if b.chance(3):
        payload["stop_reason"] = b.pick(["end_turn", "tool_use", "max_tokens", "refusal"])
    if not plain and b.chance(4):
        payload[hostile.key(b)] = hostile.value(b)
    record = {"version": "0.1", "id": "r" + str(b.below(99)), "kind": kind, "ts": "2025-01-01T00:00:00Z",
              "parent": None, "payload": payload}
    if b.chance(5):
        record["meta"] = {"trace_id": hostile.text(b)}
    return record


def price(b: Bytes):
    choice = b.below(6)
    if choice == 0:
        return (hostile.number(b), hostile.number(b))
    if choice == 1:
        return {"input": hostile.number(b), "output": hostile.number(b), "cached_input": hostile.number(b)}
    if choice == 2:
        return [hostile.number(b) for _ in range(b.pick([2, 7, 7, 8]))]
    if choice == 3:
        return (1e-06, 2e-06)
    return hostile.value(b)


def diff_inputs(data: bytes):
    b = Bytes(data)
    plain = b.chance(2)
    baseline = [diff_record(b, plain) for _ in range(b.below(6))]
    candidate = [diff_record(b, plain) for _ in range(b.below(6))]
    pricing = b.pick([None, {}, "table"])
    if pricing == "table":
        pricing = {b.pick(MODELS) if b.chance(4) else hostile.key(b): price(b) for _ in range(b.below(3))}
    seed = b.pick([None, 0, 7, 2**64 - 1])
    return baseline, candidate, pricing, seed


def check_compute_diff_report(data: bytes) -> str:
    baseline, candidate, pricing, seed = diff_inputs(data)
    try:
        report = core.compute_diff_report(baseline, candidate, pricing, seed)
    except ValueError as error:
        return refusal(error)
    assert [row["axis"] for row in report["rows"]] == ["semantic", "trajectory", "safety", "verbosity", "latency",
                                                       "cost", "reasoning", "judge", "conformance"]
    assert finite_everywhere(report), "a non-finite number in the report"
    json.dumps(report, allow_nan=False)
    # With a seed, the same inputs give the same report (without one the intervals are drawn afresh);
    # a trace compared with itself shows no change on any axis.
    baseline, candidate, pricing, seed = diff_inputs(data)
    if seed is not None:
        assert core.compute_diff_report(baseline, candidate, pricing, seed) == report, "not reproducible"
    same = core.compute_diff_report(baseline, diff_inputs(data)[0], pricing, seed)
    for row in same["rows"]:
        # The similarity of a text with itself may round to just below 1.
        assert row["severity"] == "none" and abs(row["delta"] or 0.0) <= 1e-12, f"a trace differs from itself: {row}"
    return " ".join(row["severity"] for row in report["rows"]) + f" {len(report['divergences'])} divergences"


# --- compute_semantic_axis_with_embedder ---------------------------------------------------------

def embedder(b: Bytes):
    choice = b.below(12)
    width = b.pick([0, 1, 3, 8])
    vector = [hostile.number(b) if b.chance(3) else float(b.below(5)) for _ in range(width)]
    if choice == 0:
        return lambda texts: [list(vector) for _ in texts]
    if choice == 1:
        return lambda texts: [[float(len(t)), 1.0] for t in texts]
    if choice == 2:
        return lambda texts: hostile.Seq([vector] * len(texts), claimed=b.pick([None, 2**62, -1]))
    if choice == 3:
        return lambda texts: [hostile.Seq(vector, claimed=b.pick([None, 2**62]), fail_at=b.pick([None, 1]))
                              for _ in texts]
    if choice == 4:
        def raising(texts):
            raise b.pick([RuntimeError, KeyboardInterrupt, MemoryError, RecursionError, StopIteration])("embedder")
        return raising
    if choice == 5:
        return lambda texts: b.pick(["vectors", None, 42, {"a": 1}, [["1.0"]] * len(texts), [[1.0]] * (len(texts) + 1),
                                      (tuple(vector) for _ in texts)])
    if choice == 6:
        return lambda texts: [[hostile.BadFloat(1.0)] * width for _ in texts]
    if choice == 7:
        def mutating(texts):
            rows = [list(vector) for _ in texts]
            texts.clear()
            return rows
        return mutating
    if choice == 8:
        def reentrant(texts):
            core.compute_diff_report([], [])
            return [list(vector) for _ in texts]
        return reentrant
    if choice == 9:
        return lambda texts: [hostile.SubList(vector) for _ in texts]
    if choice == 10:
        return b.pick([42, None, "not callable"])
    return lambda texts: [[float(b.below(3)) for _ in range(width)] for _ in texts]


def check_compute_semantic_axis_with_embedder(data: bytes) -> str:
    b = Bytes(data)
    plain = b.chance(2)
    baseline = [diff_record(b, plain) for _ in range(b.below(5))]
    candidate = [diff_record(b, plain) for _ in range(b.below(5))]
    try:
        stat = core.compute_semantic_axis_with_embedder(baseline, candidate, embedder(b), b.pick([None, 7]))
    except ValueError as error:
        return refusal(error)
    assert stat["axis"] == "semantic" and finite_everywhere(stat), f"bad statistic {stat}"
    if stat["n"] and stat["candidate_median"] is not None:  # NaN vectors give a NaN median, shown as None
        assert 0.0 <= stat["candidate_median"] <= 1.0, f"similarity out of range {stat}"
    return f"n={min(stat['n'], 2)} {stat['severity']}"


# --- run comparison ------------------------------------------------------------------------------

def conversation_run(b: Bytes, plain: bool) -> list:
    """A run of a few conversations: each a request and its responses, linked by parents and tagged with a
    trace id and a task id from small pools, so that runs share some keys and not others."""
    records = []
    for number in range(b.below(4)):
        task = b.pick(["t1", "t2", "t3", 4, None]) if plain or b.chance(2) else hostile.value(b)
        meta = {"trace_id": b.pick(["a", "a", "a", "b"]) + str(number), "task_id": task}
        if b.chance(2):
            meta["reward"] = b.pick([0, 1, 0.5, True, "1"]) if plain or b.chance(2) else hostile.value(b)
        root = {"version": "0.1", "id": f"q{number}", "kind": "chat_request", "ts": "2025-01-01T00:00:00Z",
                "parent": None, "meta": meta,
                "payload": {"messages": [{"role": "user", "content": b.pick(["book", "cancel", hostile.text(b)])}]}}
        records.append(root)
        parent = root["id"]
        for turn in range(b.below(4)):
            record = diff_record(b, plain)
            record["id"] = f"r{number}.{turn}"
            record["parent"] = parent if b.chance(6) or plain else b.pick([None, "missing", root["id"]])
            record.setdefault("meta", {})
            if isinstance(record["meta"], dict):
                record["meta"].setdefault("trace_id", meta["trace_id"])
            records.append(record)
            parent = record["id"]
    return records


def compare_inputs(data: bytes):
    b = Bytes(data)
    plain = b.chance(2)
    baseline = [conversation_run(b, plain) for _ in range(1 + b.below(3))]
    candidate = [conversation_run(b, plain) for _ in range(1 + b.below(2))]
    if b.chance(4):  # an unchanged agent: every run the same
        baseline, candidate = [baseline[0], baseline[0]], [baseline[0]]
    key = b.pick([None, None, "task_id", "trace_id", "missing", ""])
    outcome = b.pick([None, None, "reward", "task_id"])
    pricing = b.pick([None, {"m": (1e-06, 2e-06)}, {"m": price(b)}])
    seed = b.pick([0, 7, 2**64 - 1])
    return baseline, candidate, key, outcome, pricing, seed


def check_compare_runs(data: bytes) -> str:
    from velkin import _native

    baseline, candidate, key, outcome, pricing, seed = compare_inputs(data)
    try:
        report = _native.compare_runs(baseline, candidate, key, outcome, pricing, seed, 1)
    except ValueError as error:
        return refusal(error)
    assert finite_everywhere(report), "a non-finite number in the report"
    json.dumps(report, allow_nan=False)
    # The same inputs on more threads give the same report.
    again = _native.compare_runs(*compare_inputs(data)[:2], key, outcome, pricing, seed, 3)
    assert again == report, "the report depends on the thread count"
    for conversation in report["conversations"]:
        assert conversation["status"] in ("paired", "baseline_only", "candidate_only"), conversation
        assert not conversation["regressed"] or conversation["status"] == "paired", conversation
    if baseline and all(run == baseline[0] for run in baseline + candidate):
        assert not any(c["regressed"] for c in report["conversations"]), "identical runs called regressed"
    for steps in (_native.alignment(baseline[0], candidate[0]),):
        assert all(step["step"] in ("match", "insert", "delete") for step in steps)
    return f"paired={min(report['paired'], 2)} regressed={sum(c['regressed'] for c in report['conversations']) > 0}"


# --- importers ---------------------------------------------------------------------------------

IMPORT_FORMATS = [None, *importers.FORMATS]


def check_import_traces(data: bytes) -> str:
    """First byte: the format (or detection); second: where the input splits into a traces and a logs
    file (0 keeps one input). An import either refuses with one line naming the input, or writes records
    that read back, the same bytes every time."""
    if len(data) < 2:
        data = data.ljust(2, b"\0")
    fmt = IMPORT_FORMATS[data[0] % len(IMPORT_FORMATS)]
    body = data[2:]
    split = data[1] * len(body) // 255 if data[1] else 0
    sources = [body[:split], body[split:]] if split else [body]
    try:
        output, summary = importers.import_agentlog(sources, fmt)
    except ValueError as error:
        message = str(error)
        assert "\n" not in message and message.startswith("<input "), f"unclear refusal {message!r}"
        return refusal(error)
    again, _ = importers.import_agentlog(sources, fmt)
    assert again == output, "importing the same input twice gave different bytes"
    records = core.parse_agentlog(output)
    assert len(records) == summary["records"], f"summary says {summary['records']} records, wrote {len(records)}"
    assert core.write_agentlog(records) == output, "imported records do not write back to the same bytes"
    return f"{'+'.join(summary['formats'])} records={min(len(records), 3)}"


TARGETS = {
    "parse_agentlog": check_parse_agentlog,
    "write_agentlog": check_write_agentlog,
    "canonical_bytes": check_canonical_bytes,
    "content_id": check_content_id,
    "compute_diff_report": check_compute_diff_report,
    "compute_semantic_axis_with_embedder": check_compute_semantic_axis_with_embedder,
    "compare_runs": check_compare_runs,
    "import_traces": check_import_traces,
    "escaping": check_escaping,
}
