"""What an import may write and what it must say: look-alike conversations grouped and named in
linear time and as before, nothing written that the trace reader refuses, values out of their range refused, values
that contradict one another stored with a warning, and the output written in pieces."""
import json
import os
import subprocess
import sys

import pytest

from velkin import _core, _native, importers

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
TAU_BENCH = os.path.join(ROOT, "tests", "data", "tau-bench", "gpt-4o-airline-tasks-0-24.json")
# What the trace reader reads: a line of at most 16 MiB, its line feed counted, nesting at most
# 127 arrays and objects, the record itself included.
MAX_LINE = 16 * 1024 * 1024
MAX_NESTING = 127
MAX_WHOLE = 2**53 - 1


def velkin(*args, stdin=None):
    return subprocess.run([sys.executable, "-m", "velkin.cli", *map(str, args)], capture_output=True,
                          input=stdin, cwd=ROOT, timeout=300)


def openai_line(answer="Paris.", question="What is the capital of France?", arguments=None, usage=None,
                created=1746176400, **members):
    message = {"role": "assistant", "content": answer}
    if arguments is not None:
        message["tool_calls"] = [{"id": "call_1", "type": "function",
                                  "function": {"name": "lookup", "arguments": arguments}}]
    response = {"id": "chatcmpl-1", "created": created, "model": "gpt-4o-mini",
                "choices": [{"index": 0, "finish_reason": "stop", "message": message}]}
    if usage is not None:
        response["usage"] = usage
    line = {"request": {"model": "gpt-4o-mini", "messages": [{"role": "user", "content": question}]},
            "response": response, **members}
    return json.dumps(line, separators=(",", ":")).encode() + b"\n"


def trace_ids(data, format):
    return [r["meta"]["trace_id"] for r in importers.import_records(data, format) if r["kind"] == "metadata"]


def response_of(data, format="openai"):
    return next(r for r in importers.import_records(data, format) if r["kind"] == "chat_response")


class TestLookAlikeConversations:
    """Look-alike conversations share a derived name: the first keeps it, the others get "-2", "-3", ...
    in input order, whatever came before (these names are in users' files: they must not change); each
    follow-up joins the conversation whose answer it sends back, however many open alike."""

    def test_identical_calls_number_the_name_they_share(self):
        ids = trace_ids(openai_line() * 5, "openai")
        assert len(ids[0]) == 32 and ids == [ids[0]] + [f"{ids[0]}-{n}" for n in range(2, 6)]

    def test_many_identical_calls_continue_the_numbers_a_few_get(self):
        # 20,000 conversations wanting one name (an import that took minutes when each name was looked
        # for from "-2" again): the first five are those of five calls, the rest count on.
        few = trace_ids(openai_line() * 5, "openai")
        many = trace_ids(openai_line() * 20000, "openai")
        assert many[:5] == few and many[-1] == f"{few[0]}-20000" and len(set(many)) == 20000

    def test_numbers_a_line_gave_itself_are_stepped_over(self):
        base = trace_ids(openai_line() * 4, "openai")[0]
        # A conversation with its own id (not a look-alike: the name they share stays) comes first and
        # keeps its id; the look-alikes skip that number.
        own = openai_line(question="Another question", conversation_id=f"{base}-3")
        assert trace_ids(own + openai_line() * 4, "openai") == [f"{base}-3", base, f"{base}-2", f"{base}-4",
                                                               f"{base}-5"]

    def test_conversations_opening_alike_each_keep_their_follow_up(self):
        # 5,000 conversations open with one request, answered differently, and are followed up in reverse
        # order: each follow-up sends back its own answer, so it joins that conversation and no other.
        count = 5000
        opening = [{"role": "user", "content": "Book me a flight."}]
        first = [openai_line(answer=f"Where to, traveller {i}?", question=opening[0]["content"])
                 for i in range(count)]
        def follow_up(i):
            sent = opening + [{"role": "assistant", "content": f"Where to, traveller {i}?"},
                              {"role": "user", "content": f"To city {i}."}]
            answer = {"choices": [{"message": {"role": "assistant", "content": f"Booked city {i}."}}]}
            return json.dumps({"request": {"messages": sent}, "response": answer}).encode() + b"\n"

        follow_ups = [follow_up(i) for i in reversed(range(count))]
        records = importers.import_records(b"".join(first + follow_ups), "openai")
        answers = {}
        for record in records:
            if record["kind"] == "chat_response":
                answers.setdefault(record["meta"]["trace_id"], []).append(record["payload"]["content"][0]["text"])
        assert len(answers) == count
        expected = [[f"Where to, traveller {i}?", f"Booked city {i}."] for i in range(count)]
        assert sorted(answers.values()) == sorted(expected)

    def test_repeated_tau_bench_runs_are_numbered(self):
        with open(TAU_BENCH, encoding="utf-8") as f:
            entry = json.load(f)[0]
        (base,) = trace_ids(json.dumps([entry]).encode(), "tau-bench")
        assert trace_ids(json.dumps([entry] * 3).encode(), "tau-bench") == [base, f"{base}-2", f"{base}-3"]


def nested(depth):
    return "[" * depth + "]" * depth


# Tool arguments sit in the response inside the record, its payload, the content array and the
# tool_use block: nested N deep, the line nests N + 4.
AROUND_ARGUMENTS = 4


class TestWhatImportWritesTheReaderReads:
    @pytest.mark.parametrize("depth", [1, MAX_NESTING - AROUND_ARGUMENTS])
    def test_arguments_as_deep_as_a_line_holds_read_back(self, depth):
        response = response_of(openai_line(arguments=nested(depth)))
        assert response["payload"]["content"][-1]["input"] == json.loads(nested(depth))

    @pytest.mark.parametrize("depth", [MAX_NESTING - AROUND_ARGUMENTS + 1, MAX_NESTING])
    def test_arguments_deeper_are_refused_naming_the_record_and_the_limit(self, depth):
        with pytest.raises(ValueError) as error:
            importers.import_agentlog(openai_line(arguments=nested(depth)), "openai")
        message = str(error.value)
        # The metadata record, the request, then the response.
        assert message.startswith("<input 1>:1: cannot import the chat_response record 3 of conversation ")
        assert f"nest arrays and objects {depth + AROUND_ARGUMENTS} deep, more than the 127 levels" in message
        assert "\n" not in message

    def test_arguments_too_deep_to_read_stay_their_text(self):
        # The arguments' own JSON is read with the same limit: deeper, they are kept as the text sent.
        response = response_of(openai_line(arguments=nested(MAX_NESTING + 1)))
        assert response["payload"]["content"][-1]["input"] == nested(MAX_NESTING + 1)

    def test_a_line_of_the_limit_reads_back_and_one_byte_more_is_refused(self):
        # The answer's text is written once, in the response's line: each character more is a byte more.
        short = importers.import_agentlog(openai_line(answer="x"), "openai")[0].splitlines(keepends=True)
        answer_size = MAX_LINE - (len(short[2]) - 1)
        data, _ = importers.import_agentlog(openai_line(answer="x" * answer_size), "openai")
        assert len(data.splitlines(keepends=True)[2]) == MAX_LINE
        assert len(_core.parse_agentlog(data)) == 3
        with pytest.raises(ValueError) as error:
            importers.import_agentlog(openai_line(answer="x" * (answer_size + 1)), "openai")
        assert str(error.value).startswith("<input 1>:1: cannot import the chat_response record 3 of conversation ")
        assert f"its line would be {MAX_LINE + 1} bytes, more than the {MAX_LINE} (16 MiB)" in str(error.value)

    def test_the_command_refuses_with_one_line_and_writes_nothing(self, tmp_path):
        source, out = tmp_path / "calls.jsonl", tmp_path / "out.agentlog"
        source.write_bytes(openai_line() + openai_line(arguments=nested(MAX_NESTING - AROUND_ARGUMENTS + 1)))
        result = velkin("import", source, "-o", out)
        stderr = result.stderr.decode()
        assert result.returncode == 2 and stderr.count("\n") == 1, stderr
        assert f"{source}:2: cannot import the chat_response record 3" in stderr and "127 levels" in stderr
        assert not out.exists()


def otlp_span(start="5", end="9", attributes=()):
    span = {"traceId": "abcdef12345678901234567890123456", "spanId": "1122334455667788", "name": "chat",
            "startTimeUnixNano": start, "endTimeUnixNano": end,
            "attributes": [{"key": "gen_ai.operation.name", "value": {"stringValue": "chat"}}, *attributes]}
    return json.dumps({"resourceSpans": [{"scopeSpans": [{"spans": [span]}]}]}).encode() + b"\n"


def anthropic_line(usage=None, **members):
    response = {"type": "message", "content": [{"type": "text", "text": "Paris."}], "stop_reason": "end_turn"}
    if usage is not None:
        response["usage"] = usage
    return json.dumps({"request": {"messages": [{"role": "user", "content": "Capital of France?"}]},
                       "response": response, **members}).encode() + b"\n"


def responses_line(created_at):
    return json.dumps({"request": {"input": "Capital of France?"},
                       "response": {"created_at": created_at, "status": "completed", "output": []}}).encode()


TOKEN_COUNT = "expected a token count (a whole number from 0 to 9007199254740991)"
MILLISECONDS = "expected milliseconds from 0 to 9007199254740991"
OUT_OF_RANGE = [
    # (format, input, the error's text)
    ("openai", openai_line(usage={"prompt_tokens": -5}),
     f"<input 1>:1: field `prompt_tokens`: {TOKEN_COUNT}, found -5"),
    ("openai", openai_line(usage={"completion_tokens": 2.5}), f"field `completion_tokens`: {TOKEN_COUNT}, found 2.5"),
    ("openai", openai_line(usage={"prompt_tokens": 9, "prompt_tokens_details": {"cached_tokens": 2**53}}),
     f"field `cached_tokens`: {TOKEN_COUNT}, found 9007199254740992"),
    ("openai", openai_line(usage={"completion_tokens": 1e308}),
     f"field `completion_tokens`: {TOKEN_COUNT}, found 1e308"),
    ("anthropic", anthropic_line(usage={"input_tokens": -1}), f"field `input_tokens`: {TOKEN_COUNT}, found -1"),
    ("anthropic", anthropic_line(usage={"cache_creation": {"ephemeral_1h_input_tokens": -3}}),
     f"field `ephemeral_1h_input_tokens`: {TOKEN_COUNT}, found -3"),
    ("otlp", otlp_span(attributes=[{"key": "gen_ai.usage.input_tokens", "value": {"intValue": "-5"}}]),
     f"<input 1>:1: span 1122334455667788: field `gen_ai.usage.input_tokens`: {TOKEN_COUNT}, found -5"),
    ("otlp", otlp_span(attributes=[{"key": "llm.token_count.completion", "value": {"doubleValue": 0.5}}]),
     f"field `llm.token_count.completion`: {TOKEN_COUNT}, found 0.5"),
    ("openai", openai_line(created=-1),
     "<input 1>:1: field `created`: expected seconds since 1970 up to the year 9999 (0 to 253402300799), found -1"),
    # Milliseconds written where seconds belong.
    ("openai", openai_line(created=1746176400000), "field `created`: expected seconds since 1970 up to the year 9999"),
    ("openai", responses_line(created_at=1e300), "field `created_at`: expected seconds since 1970"),
    ("openai", openai_line(latency_ms=-5), f"<input 1>:1: field `latency_ms`: {MILLISECONDS}, found -5"),
    ("openai", openai_line(latency_ms=1e308), f"field `latency_ms`: {MILLISECONDS}, found 1e308"),
    ("anthropic", anthropic_line(latency_ms=-0.5), "field `latency_ms`: expected milliseconds"),
]


@pytest.mark.parametrize("format, data, expected", OUT_OF_RANGE)
def test_values_out_of_their_range_are_refused(format, data, expected):
    with pytest.raises(ValueError) as error:
        importers.import_agentlog(data, format)
    assert expected in str(error.value) and "\n" not in str(error.value)


def test_values_at_the_ends_of_their_ranges_are_kept():
    low = response_of(openai_line(created=0, latency_ms=0, usage={"prompt_tokens": 0, "completion_tokens": 0}))
    assert (low["ts"], low["payload"]["latency_ms"], low["payload"]["usage"]) == (
        "1970-01-01T00:00:00Z", 0, {"input_tokens": 0, "output_tokens": 0})
    high = response_of(openai_line(created=253402300799, latency_ms=MAX_WHOLE,
                                   usage={"prompt_tokens": MAX_WHOLE, "completion_tokens": MAX_WHOLE}))
    assert (high["ts"], high["payload"]["latency_ms"], high["payload"]["usage"]) == (
        "9999-12-31T23:59:59Z", MAX_WHOLE, {"input_tokens": MAX_WHOLE, "output_tokens": MAX_WHOLE})


CONTRADICTIONS = [
    # (format, input, the usage or latency stored, the warning)
    ("openai", openai_line(usage={"prompt_tokens": 10, "prompt_tokens_details": {"cached_tokens": 20}}),
     {"input_tokens": 0, "cached_input_tokens": 20},
     ("<input 1>:1: the usage counts 20 cached input tokens, more than its 10 input tokens in all: "
      "input_tokens stored as 0")),
    ("openai", openai_line(usage={"completion_tokens": 5, "completion_tokens_details": {"reasoning_tokens": 9}}),
     {"output_tokens": 0, "thinking_tokens": 9},
     ("<input 1>:1: the usage counts 9 reasoning tokens, more than its 5 output tokens in all: "
      "output_tokens stored as 0")),
    ("otlp", otlp_span(start="9000000", end="5"), 0,
     "<input 1>: span 1122334455667788: endTimeUnixNano 5 is before startTimeUnixNano 9000000: latency_ms stored as 0"),
]


@pytest.mark.parametrize("format, data, stored, warning", CONTRADICTIONS)
def test_values_that_contradict_others_are_stored_with_a_warning(format, data, stored, warning):
    output, summary = importers.import_agentlog(data, format)
    (response,) = [r for r in _core.parse_agentlog(output) if r["kind"] == "chat_response"]
    assert response["payload"]["usage" if isinstance(stored, dict) else "latency_ms"] == stored
    assert summary["warnings"] == [warning] and summary["warning_count"] == 1


def test_consistent_counts_give_no_warning():
    _, summary = importers.import_agentlog(openai_line(usage={"prompt_tokens": 20, "prompt_tokens_details":
                                                              {"cached_tokens": 20}}), "openai")
    assert summary["warnings"] == [] and summary["warning_count"] == 0


def test_the_command_prints_the_first_warnings_and_counts_the_rest(tmp_path):
    source, out = tmp_path / "calls.jsonl", tmp_path / "out.agentlog"
    lines = [openai_line(question=f"question {i}", usage={"prompt_tokens": 1, "prompt_tokens_details":
                                                          {"cached_tokens": 2}}) for i in range(25)]
    source.write_bytes(b"".join(lines))
    result = velkin("import", source, "-o", out)
    assert result.returncode == 0, result.stderr
    warnings = [line for line in result.stderr.decode().splitlines() if line.startswith("velkin: warning: ")]
    assert len(warnings) == 21
    assert warnings[0] == (f"velkin: warning: {source}:1: the usage counts 2 cached input tokens, more than its 1 "
                           "input tokens in all: input_tokens stored as 0")
    assert warnings[19].startswith(f"velkin: warning: {source}:20: ")
    assert warnings[20] == "velkin: warning: and 5 more values stored otherwise than the input gave them"


class TestPieces:
    def test_conversations_in_pieces_join_into_the_import(self):
        pieces, summary = importers.import_conversations(TAU_BENCH)
        data, _ = importers.import_agentlog(TAU_BENCH)
        assert len(pieces) == summary["conversations"] == 100
        assert all(head.count(b"\n") == 1 and b'"kind":"metadata"' in head for head, _ in pieces)
        assert b"".join(head + body for head, body in pieces) == data

    def test_the_command_writes_what_the_import_gives(self, tmp_path):
        out = tmp_path / "tau.agentlog"
        assert velkin("import", TAU_BENCH, "-o", out).returncode == 0
        assert out.read_bytes() == importers.import_agentlog(TAU_BENCH)[0]

    def test_split_runs_hold_each_conversation_whole(self, tmp_path):
        assert velkin("import", TAU_BENCH, "--split", "trial", "-o", tmp_path / "runs").returncode == 0
        records = importers.import_records(TAU_BENCH)
        trial_of = {r["meta"]["trace_id"]: r["meta"]["trial"] for r in records if r["kind"] == "metadata"}
        for trial in sorted(set(trial_of.values())):
            expected = [r for r in records if trial_of[r["meta"]["trace_id"]] == trial]
            written = (tmp_path / "runs" / f"trial-{trial}.agentlog").read_bytes()
            assert _core.parse_agentlog(written) == expected


@pytest.mark.parametrize("size, refused", [(0, False), (2**30, False), (2**30 + 1, True), (2**40, True)])
def test_a_whole_trace_is_held_to_the_readers_limit_of_one_gibibyte(size, refused):
    # The command checks each file it writes against this (with --split, each run's file alone).
    why = _native.unreadable_trace(size)
    assert (why is not None) == refused
    if refused:
        assert f"the trace would be {size} bytes" in why and "(1 GiB)" in why


@pytest.mark.parametrize("size", [-1, 2**64])
def test_a_size_out_of_range_is_refused(size):
    with pytest.raises(OverflowError):
        _native.unreadable_trace(size)
