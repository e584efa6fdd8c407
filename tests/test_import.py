"""Importing other tools' traces: each bundled producer output imports, validates and re-imports
to the same bytes; bad input fails with one line naming the input and line, and writes nothing."""
import json
import os
import random
import subprocess
import sys
from collections import Counter, defaultdict

import pytest
from hypothesis import given
from hypothesis import strategies as st

from velkin import _core, importers
from velkin.compare import compare_runs

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
DATA = os.path.join(ROOT, "tests", "data", "import")
TAU_BENCH = os.path.join(ROOT, "tests", "data", "tau-bench", "gpt-4o-airline-tasks-0-24.json")


def velkin(*args, stdin=None):
    return subprocess.run([sys.executable, "-m", "velkin.cli", *map(str, args)], capture_output=True,
                          input=stdin, cwd=ROOT, timeout=120)


def conversations(records):
    by_trace = defaultdict(list)
    for record in records:
        by_trace[record["meta"]["trace_id"]].append(record)
    return by_trace


def check_links(records):
    """Every conversation is one parent chain from its metadata record; every tool_use has its tool_call
    (an execute_tool span without captured content gives a tool_call whose tool_use is unknown)."""
    ids = {r["id"] for r in records}
    assert len(ids) == len(records)
    for trace in conversations(records).values():
        assert trace[0]["kind"] == "metadata" and trace[0]["parent"] is None
        for previous, record in zip(trace, trace[1:]):
            assert record["parent"] == previous["id"]
        used = [b["id"] for r in trace if r["kind"] == "chat_response" for b in r["payload"]["content"]
                if b.get("type") == "tool_use"]
        called = [r["payload"]["tool_use_id"] for r in trace if r["kind"] == "tool_call"]
        assert not Counter(used) - Counter(called)


class TestTauBench:
    @pytest.fixture(scope="class")
    @classmethod
    def imported(cls):
        return importers.import_agentlog(TAU_BENCH)

    def test_one_conversation_per_run_with_its_task_trial_and_reward(self, imported):
        data, summary = imported
        records = _core.parse_agentlog(data)
        with open(TAU_BENCH) as f:
            runs = json.load(f)
        traces = conversations(records)
        assert summary["formats"] == ["tau-bench"] and summary["conversations"] == len(runs) == len(traces)
        metas = [trace[0]["meta"] for trace in traces.values()]
        assert [(m["task_id"], m["trial"], m["reward"]) for m in metas] == \
            [(r["task_id"], r["trial"], r["reward"]) for r in runs]
        for run, trace in zip(runs, traces.values()):
            answers = [m for m in run["traj"] if m["role"] == "assistant"]
            responses = [r for r in trace if r["kind"] == "chat_response"]
            assert len(responses) == len(answers)
            tool_names = [c["function"]["name"] for m in answers for c in m.get("tool_calls") or []]
            assert [r["payload"]["name"] for r in trace if r["kind"] == "tool_call"] == tool_names
            results = [m["content"] for m in run["traj"] if m["role"] == "tool"]
            assert [r["payload"]["content"] for r in trace if r["kind"] == "tool_result"] == results
        check_links(records)

    def test_trace_ids_depend_on_task_and_trial_only(self, imported):
        with open(TAU_BENCH) as f:
            runs = json.load(f)
        reordered, _ = importers.import_agentlog(json.dumps(runs[::-1]).encode(), "tau-bench")
        first = {(t[0]["meta"]["task_id"], t[0]["meta"]["trial"]): trace_id
                 for trace_id, t in conversations(_core.parse_agentlog(imported[0])).items()}
        second = {(t[0]["meta"]["task_id"], t[0]["meta"]["trial"]): trace_id
                  for trace_id, t in conversations(_core.parse_agentlog(reordered)).items()}
        assert first == second and len(set(first.values())) == len(first)


# What the fixture generator's canned API answers say (tools/make_import_fixtures.py), by the city asked about.
ANSWER = {"Lisbon": "It is sunny in Lisbon, 22 °C with a light north-west wind.",
          "Porto": "It is cloudy in Porto, 17 °C with light rain."}
WEATHER = {"Lisbon": "Sunny, 22 °C, light wind from the north-west.", "Porto": "Cloudy, 17 °C, light rain."}
# Every input token the API reported for a call, cached ones included.
INPUT_TOTALS = {1150, 1180, 15, 250, 300, 1225, 1240}
WEATHER_RUN, TRUNCATED_RUN = ["tool_use", "end_turn"], ["max_tokens"]

FIXTURES = [
    # (inputs in tests/data/import, stop reasons per conversation, message texts captured)
    (["openai-v2-span-only.traces.jsonl"], [WEATHER_RUN, TRUNCATED_RUN], True),
    (["openai-v2-event-only.traces.jsonl", "openai-v2-event-only.logs.jsonl"], [WEATHER_RUN, TRUNCATED_RUN], True),
    (["openai-v2-event-only.logs.jsonl", "openai-v2-event-only.traces.jsonl"], [WEATHER_RUN, TRUNCATED_RUN], True),
    (["openai-v2-no-content.traces.jsonl"], [WEATHER_RUN, TRUNCATED_RUN], False),
    (["openinference-openai.traces.jsonl"], [WEATHER_RUN, TRUNCATED_RUN, WEATHER_RUN], True),
    (["traceloop-anthropic.traces.jsonl"], [WEATHER_RUN, WEATHER_RUN], True),
    (["traceloop-anthropic-events.traces.jsonl", "traceloop-anthropic-events.logs.jsonl"], [WEATHER_RUN, WEATHER_RUN], True),
    (["openai-chat-log.jsonl"], [WEATHER_RUN, TRUNCATED_RUN, WEATHER_RUN], True),
    (["openai-responses-log.jsonl"], [WEATHER_RUN], True),
    (["anthropic-log.jsonl"], [WEATHER_RUN, WEATHER_RUN], True),
]

# The identifiers each producer records for the generator's tasks (task-1, task-2, ...), under their own names.
AGENT_SPAN = {"gen_ai.conversation.id": "{task}-run", "session.id": "{task}", "gen_ai.agent.name": "travel-agent",
              "service.name": "travel-agent"}
IDENTIFIERS = {
    "openai-v2-span-only": [AGENT_SPAN] * 2,
    "openai-v2-event-only": [AGENT_SPAN] * 2,
    "openai-v2-no-content": [AGENT_SPAN] * 2,
    "openinference-openai": [AGENT_SPAN] * 2 + [{"session.id": "{task}", "service.name": "travel-agent"}],
    "traceloop-anthropic": [{**AGENT_SPAN, "traceloop.association.properties.task_id": "{task}"}] * 2,
    "traceloop-anthropic-events": [{**AGENT_SPAN, "traceloop.association.properties.task_id": "{task}"}] * 2,
    "openai-chat-log": [{"metadata.task_id": "{task}", "user": "eval-runner"}] * 3,
    "openai-responses-log": [{"metadata.task_id": "task-4", "user": "eval-runner"}],
    "anthropic-log": [{"metadata.user_id": "eval-{task}"}, {"metadata.user_id": "eval-task-3"}],
}


@pytest.mark.parametrize("inputs, stop_reasons, captured", FIXTURES, ids=[f[0][0].split(".")[0] for f in FIXTURES])
def test_producer_output_imports(inputs, stop_reasons, captured):
    paths = [os.path.join(DATA, name) for name in inputs]
    data, summary = importers.import_agentlog(paths)
    assert importers.import_agentlog(paths)[0] == data
    records = _core.parse_agentlog(data)
    check_links(records)
    traces = list(conversations(records).values())
    assert [[r["payload"].get("stop_reason") for r in t if r["kind"] == "chat_response"] for t in traces] == stop_reasons
    assert summary["responses_without_content"] == (0 if captured else sum(map(len, stop_reasons)))
    assert summary["responses_without_model"] == 0
    expected = IDENTIFIERS[inputs[0].split(".")[0]]
    assert [{k: v for k, v in t[0]["meta"].items() if k != "trace_id"} for t in traces] == \
        [{k: v.format(task=f"task-{n}") for k, v in ids.items()} for n, ids in enumerate(expected, start=1)]
    for trace in traces:
        responses = [r["payload"] for r in trace if r["kind"] == "chat_response"]
        for response in responses:
            usage = response["usage"]
            cached = usage.get("cached_input_tokens", 0) + usage.get("cached_write_5m_tokens", 0)
            assert usage["input_tokens"] + cached in INPUT_TOTALS
            assert response["model"]
        calls = [r["payload"] for r in trace if r["kind"] == "tool_call"]
        assert [c["name"] for c in calls] == ["get_weather"] * (len(responses) - 1)
        if not captured:
            assert all(r["content"] == [] for r in responses)
            continue
        if responses[-1]["stop_reason"] == "end_turn":
            city = calls[0]["input"]["city"] if isinstance(calls[0]["input"], dict) else "Lisbon"
            assert calls[0]["input"] in ({"city": city}, '{"city": "Lisbon"')  # the Responses answer is cut
            assert [b["text"] for b in responses[-1]["content"]] == [ANSWER[city]]
            assert [r["payload"]["content"] for r in trace if r["kind"] == "tool_result"] == [WEATHER[city]]
    if inputs[0].endswith(".traces.jsonl"):
        assert summary["skipped"]["invoke_agent"] == 2


def log_lines(name):
    with open(os.path.join(DATA, name), encoding="utf-8") as f:
        return f.read().splitlines()


def imported_conversations(lines, format):
    return conversations(importers.import_records("\n".join(lines).encode(), format))


# Raw API logs, and what each line's request says about its task.
RAW_LOGS = [("openai-chat-log.jsonl", "openai", lambda request: request["metadata"]["task_id"]),
            ("anthropic-log.jsonl", "anthropic", lambda request: request["metadata"]["user_id"])]


class TestRawLogsGroupByContinuation:
    """A call that sends an earlier call's messages and answer back continues its conversation, wherever it stands:
    a concurrent eval runner writes its tasks' calls in any order, and each conversation keeps its name."""

    @pytest.mark.parametrize("name, format, task_of", RAW_LOGS, ids=[log[0] for log in RAW_LOGS])
    @pytest.mark.parametrize("seed", range(6))
    def test_any_order_gives_the_same_conversations(self, name, format, task_of, seed):
        lines = log_lines(name)
        in_order = imported_conversations(lines, format)
        assert len(in_order) == len({task_of(json.loads(line)["request"]) for line in lines})
        shuffled = lines[:]
        random.Random(seed).shuffle(shuffled)
        assert imported_conversations(shuffled, format) == in_order
        assert imported_conversations(lines[::-1], format) == in_order

    def test_look_alike_conversations_are_told_apart_by_their_identifiers(self):
        """Two tasks asking the same question, told apart only by the user id the runner sent."""
        lines = log_lines("anthropic-log.jsonl")
        twin = [line.replace('"user_id":"eval-task-1"', '"user_id":"eval-task-9"') for line in lines[:2]]
        for seed in range(4):
            shuffled = lines + twin
            random.Random(seed).shuffle(shuffled)
            traces = imported_conversations(shuffled, "anthropic")
            assert sorted(t[0]["meta"]["metadata.user_id"] for t in traces.values()) == \
                ["eval-task-1", "eval-task-3", "eval-task-9"]
            assert [sum(r["kind"] == "chat_response" for r in t) for t in traces.values()] == [2, 2, 2]
            assert traces == imported_conversations(lines + twin, "anthropic")

    @pytest.mark.parametrize("name, format, task_of", RAW_LOGS, ids=[log[0] for log in RAW_LOGS])
    def test_a_shuffled_rerun_compares_conversation_by_conversation(self, name, format, task_of, tmp_path):
        lines = log_lines(name)
        baseline = importers.import_records("\n".join(lines).encode(), format)
        shuffled = lines[::-1]
        unchanged = compare_runs([baseline], [importers.import_records("\n".join(shuffled).encode(), format)])
        assert unchanged["paired"] == len(conversations(baseline)) and unchanged["baseline_only"] == 0
        assert not [f for c in unchanged["conversations"] for f in c["findings"]]

        # The candidate asks about another city in the first call of one task; its conversation alone changes.
        changed = []
        for line in shuffled:
            document = json.loads(line)
            calls = [b for b in document["response"].get("content") or document["response"].get("choices")[0]
                     ["message"].get("tool_calls") or [] if b.get("type") in ("tool_use", "function")]
            if calls and "Porto" in line:
                if "input" in calls[0]:
                    calls[0]["input"]["city"] = "Braga"
                else:
                    calls[0]["function"]["arguments"] = json.dumps({"city": "Braga"})
            changed.append(json.dumps(document, ensure_ascii=False))
        report = compare_runs([baseline], [importers.import_records("\n".join(changed).encode(), format)])
        porto = next(trace_id for trace_id, t in conversations(baseline).items()
                     if any("Porto" in json.dumps(r["payload"]) for r in t))
        assert report["paired"] == unchanged["paired"]
        assert {c["key"] for c in report["conversations"] if c["findings"]} == {porto}


EXPORTED_SPAN = ('{"resourceSpans":[{"scopeSpans":[{"spans":[{"traceId":"abcdef12345678901234567890123456",'
                 '"spanId":"1122334455667788","startTimeUnixNano":"1000","endTimeUnixNano":"2000","attributes":['
                 '{"key":"gen_ai.operation.name","value":{"stringValue":"chat"}},%s]}]}]}]}')


@pytest.mark.parametrize("indent", [None, 2], ids=["one-line", "indented"])
@pytest.mark.parametrize("inputs", [f[0] for f in FIXTURES], ids=[f[0][0].split(".")[0] for f in FIXTURES])
def test_each_input_as_one_json_array_imports_as_its_lines_do(inputs, indent):
    paths = [os.path.join(DATA, name) for name in inputs]
    arrays = []
    for path in paths:
        with open(path, encoding="utf-8") as f:
            arrays.append(json.dumps([json.loads(line) for line in f if line.strip()], indent=indent).encode())
    as_arrays, summary = importers.import_agentlog(arrays)
    as_lines, line_summary = importers.import_agentlog(paths)
    assert summary["records"] > 0
    assert (as_arrays, summary) == (as_lines, line_summary)


@pytest.mark.parametrize("elements, expected", [
    # The second element (on line 4) has a bad span id; the error names its line.
    ([EXPORTED_SPAN % '{"key":"gen_ai.request.model","value":{"stringValue":"m-1"}}', '{"resourceSpans":[{"scopeSpans":'
      '[{"spans":[{"traceId":"abcdef12345678901234567890123456","spanId":"xyz"}]}]}]}'],
     "<input 1>:4: field `spanId`: expected 16 hexadecimal digits, found \"xyz\""),
    (['{"resourceSpans": []}', '{"resourceSpans": [], "x": @}'], "<input 1>:4: invalid JSON: expected value at line 4 column 28"),
])
def test_an_otlp_array_names_the_line_of_its_bad_element(elements, expected):
    data = ("[\n" + ",\n\n".join(elements) + "\n]").encode()
    with pytest.raises(ValueError) as error:
        importers.import_agentlog(data, "otlp")
    assert expected in str(error.value)


@pytest.mark.parametrize("attribute, model", [
    ('{"key":"gen_ai.request.model","value":{"stringValue":"m-1"}}', "m-1"),
    ('{"key":"gen_ai.request.model","value":{"stringValue":"m-\\u00e9"}}', "m-\u00e9"),
    ('{"key":"gen_ai.request.model","value":{"stringValue":"m-1","intValue":"5"}}', "m-1"),
    ('{"key":"gen_ai.request.model","value":{"stringValue":"m-1"},"note":[1,{"a":2}]}', "m-1"),
    ('{"key":"gen_ai.request.mode\\u006c","value":{"stringValue":"m-1"}}', "m-1"),
    ('{"key":"x","value":{"stringValue":"m-1"},"key":"gen_ai.request.model"}', "m-1"),
    ('{"key":"gen_ai.request.model","value":{"stringValue":"m-1"},"value":{"intValue":"2"}}', "2"),
    ('{"key":"gen_ai.request.model","value":{"intValue":"-7"}}', "-7"),
    ('{"key":"gen_ai.request.model","value":{"intValue":"7","stringValue":"m-1"}}', "7"),
])
def test_attributes_as_exporters_write_them_read_as_any_other_layout(attribute, model):
    """The compact layout of exporters is read as the same attributes spaced out, duplicate members included."""
    compact = (EXPORTED_SPAN % attribute).encode()
    spaced = compact.replace(b'":', b'": ').replace(b',"', b', "')
    output, _ = importers.import_agentlog(compact, "otlp")
    assert importers.import_agentlog(spaced, "otlp")[0] == output
    response = [json.loads(line) for line in output.splitlines()][-1]
    assert response["payload"]["model"] == model


@pytest.mark.parametrize("attribute, expected", [
    ('{"key":"gen_ai.request.model","value":{"stringValue":"m\\x"}}', "attribute `gen_ai.request.model`: invalid JSON"),
    ('{"key":"gen_ai.request.model","value":{"stringValue":"m","intValue":[}}', "attribute `gen_ai.request.model`: invalid JSON"),
    ('{"key":"gen_ai.request.model","value":{"stringValue":"m"},"key":5}', "field `key`: expected a string, found integer `5`"),
    ('{"key":"gen_ai.request.model","value":{"intValue":"1x"}}',
     "attribute `gen_ai.request.model`: field `intValue`: expected an integer or a decimal string"),
    ('{"key":"gen_ai.request.model","value":{"intValue":"99999999999999999999"}}', "attribute `gen_ai.request.model`: field `intValue`"),
])
def test_attribute_errors_are_the_same_in_any_layout(attribute, expected):
    compact = (EXPORTED_SPAN % attribute).encode()
    spaced = compact.replace(b'":', b'": ').replace(b',"', b', "')
    messages = []
    for data in (compact, spaced):
        with pytest.raises(ValueError) as error:
            importers.import_agentlog(data, "otlp")
        messages.append(str(error.value).split(" at column")[0])
    assert messages[0] == messages[1] and expected in messages[0]


def test_older_and_vendor_otlp_forms():
    """Forms the bundled library versions no longer write: Traceloop's indexed attributes, message events named
    by an `event.name` attribute, span events, and base64 ids from the protobuf JSON mapping."""
    def attributes(**values):
        return [{"key": k.replace("_", "."), "value": v} for k, v in values.items()]
    trace_id, span_id = "q83vEjRWeJASNFZ4kBI0Vg==", "ESIzRFVmd4g="  # base64 of the hex ids below
    chat = {"traceId": trace_id, "spanId": span_id, "name": "openai.chat", "startTimeUnixNano": "1000000000",
            "endTimeUnixNano": 1250000000,
            "attributes": [{"key": "llm.request.type", "value": {"stringValue": "chat"}},
                           {"key": "gen_ai.prompt.0.role", "value": {"stringValue": "user"}},
                           {"key": "gen_ai.prompt.0.content", "value": {"stringValue": "Hi"}},
                           {"key": "gen_ai.completion.0.role", "value": {"stringValue": "assistant"}},
                           {"key": "gen_ai.completion.0.finish_reason", "value": {"stringValue": "tool_calls"}},
                           {"key": "gen_ai.completion.0.tool_calls.0.id", "value": {"stringValue": "c1"}},
                           {"key": "gen_ai.completion.0.tool_calls.0.name", "value": {"stringValue": "lookup"}},
                           {"key": "gen_ai.completion.0.tool_calls.0.arguments", "value": {"stringValue": '{"q": 1}'}},
                           {"key": "gen_ai.usage.prompt_tokens", "value": {"intValue": "12"}},
                           {"key": "gen_ai.usage.completion_tokens", "value": {"intValue": 3}},
                           {"key": "gen_ai.request.model", "value": {"stringValue": "m-1"}}]}
    second = {"traceId": trace_id, "spanId": "ESIzRFVmd4k=", "name": "chat", "startTimeUnixNano": "2000000000",
              "endTimeUnixNano": "2500000000",
              "attributes": [{"key": "gen_ai.operation.name", "value": {"stringValue": "chat"}}],
              "events": [{"name": "gen_ai.choice", "timeUnixNano": "2400000000",
                          "attributes": [{"key": "index", "value": {"intValue": "0"}},
                                         {"key": "finish_reason", "value": {"stringValue": "stop"}},
                                         {"key": "message", "value": {"kvlistValue": {"values": [
                                             {"key": "content", "value": {"stringValue": "Done"}}]}}}]}]}
    tool_event = {"traceId": "abcdef12345678901234567890123456", "spanId": "1122334455667789",
                  "timeUnixNano": "2100000000",
                  "attributes": [{"key": "event.name", "value": {"stringValue": "gen_ai.tool.message"}}],
                  "body": {"kvlistValue": {"values": [{"key": "content", "value": {"stringValue": "found"}},
                                                      {"key": "id", "value": {"stringValue": "c1"}}]}}}
    traces = json.dumps({"resourceSpans": [{"scopeSpans": [{"spans": [second, chat]}]}]})
    logs = json.dumps({"resourceLogs": [{"scopeLogs": [{"logRecords": [tool_event]}]}]})
    records = importers.from_otlp(traces.encode(), logs.encode())
    assert {r["meta"]["trace_id"] for r in records} == {"abcdef12345678901234567890123456"}
    kinds = [(r["kind"], r["payload"]) for r in records[1:]]
    assert [k for k, _ in kinds] == ["chat_request", "chat_response", "tool_call", "tool_result", "chat_request",
                                     "chat_response"]
    assert kinds[0][1]["messages"] == [{"role": "user", "content": "Hi"}]
    assert kinds[1][1]["content"] == [{"type": "tool_use", "id": "c1", "name": "lookup", "input": {"q": 1}}]
    assert kinds[1][1]["usage"] == {"input_tokens": 12, "output_tokens": 3} and kinds[1][1]["latency_ms"] == 250.0
    assert kinds[3][1]["content"] == "found"
    assert kinds[5][1]["content"] == [{"type": "text", "text": "Done"}] and kinds[5][1]["stop_reason"] == "end_turn"


def test_a_chat_span_without_a_model_takes_the_model_of_its_agent_span():
    def span(trace, span_id, start, end, **attributes):
        return {"traceId": trace * 32, "spanId": span_id, "startTimeUnixNano": str(start), "endTimeUnixNano": str(end),
                "attributes": [{"key": k, "value": {"stringValue": v}} for k, v in attributes.items()]}
    chat = {"gen_ai.operation.name": "chat"}
    agent = {"gen_ai.operation.name": "invoke_agent"}
    spans = [span("a", "1111111111111111", 0, 100, **agent, **{"gen_ai.request.model": "outer"}),
             span("a", "2222222222222222", 10, 90, **agent, **{"gen_ai.request.model": "inner"}),
             span("a", "3333333333333333", 20, 30, **chat),  # inside both: the innermost agent's model
             span("a", "4444444444444444", 95, 99, **chat),  # inside the outer one only
             span("a", "5555555555555555", 40, 50, **chat, **{"gen_ai.request.model": "own"}),
             span("b", "6666666666666666", 20, 30, **chat)]  # no agent span in its trace
    data, summary = importers.import_agentlog(
        json.dumps({"resourceSpans": [{"scopeSpans": [{"spans": spans}]}]}).encode(), "otlp")
    models = [r["payload"].get("model") for r in _core.parse_agentlog(data) if r["kind"] == "chat_response"]
    assert models == ["inner", "own", "outer", None] and summary["responses_without_model"] == 1


def test_skipped_span_kinds_keep_their_whole_names():
    def span(span_id, operation):
        return {"traceId": "abcdef12345678901234567890123456", "spanId": span_id, "name": "x",
                "attributes": [{"key": "gen_ai.operation.name", "value": {"stringValue": operation}}]}
    spans = [span("1122334455667788", "tool\u0000a"), span("1122334455667789", "tool\u0000b")]
    _, summary = importers.import_agentlog(json.dumps({"resourceSpans": [{"scopeSpans": [{"spans": spans}]}]}).encode(),
                                           "otlp")
    assert summary["skipped"] == {"tool\x00a": 1, "tool\x00b": 1}


BAD_INPUTS = [
    # (format, input bytes, text the one-line error must hold)
    (None, b'{"a": 1}\n', "<input 1>:1: unknown format"),
    (None, b"", "<input 1>: empty input"),
    ("tau-bench", b'[{"task_id": 1, "traj": []},\n {"task_id": 2}]', "<input 1>:2: field `traj`: expected an array"),
    ("tau-bench", b'[{"task_id": 1, "traj": [{"role": 5}]}]', "<input 1>:1: field `role`: expected a string, found integer `5`"),
    ("tau-bench", b'[{"task_id": 1, "traj": []},', "<input 1>:1: invalid JSON: EOF"),
    ("openai", b'{"request": {"messages": []}, "response": {"choices": []}}\n', "<input 1>:1: field `choices`: expected at least one choice"),
    ("openai", b'\n\n{"request": {}, "response": {}', "<input 1>:3: invalid JSON: EOF while parsing an object at column"),
    # A document of one line names the column only; one of several lines names both.
    ("otlp", b'{"resourceSpans": [], "x": @}', "<input 1>:1: invalid JSON: expected value at column 28"),
    ("tau-bench", b'[{"task_id": 1, "traj": []},\n\n  @]', "invalid JSON: expected value at line 3 column 3"),
    ("openai", b'{"request": {"messages": [{"role": "user", "content": 1}]}, "response": {"choices": [{}]}}',
     "field `content`: expected a string or an array of parts, found integer `1`"),
    ("openai", b'{"request": {"messages": []}, "response": {"choices": [{"message": {"tool_calls": [{"function": {}}]}}]}}',
     "field `name`: expected a string, found nothing"),
    ("openai", b'{"request": {"messages": []}, "response": {"choices": [{"message": {}}], "usage": {"prompt_tokens": "9"}}}',
     "field `prompt_tokens`: expected a number"),
    ("anthropic", b'{"request": {"messages": [{"role": "user"}]}, "response": {"content": []}}',
     "field `content`: expected a string or an array of blocks"),
    ("anthropic", b'{"request": {"messages": []}, "response": {"type": "message"}}', "field `content`: expected an array"),
    ("openai", b'{"request": {}, "response": {"choices": []}}\n\xff\n', "<input 1>:1: field `messages`"),
    ("openai", b'\xff\n', "<input 1>:1: not valid UTF-8"),
    ("otlp", b'{"resourceSpans": [{"scopeSpans": [{"spans": [{"traceId": "xyz", "spanId": "1122334455667788"}]}]}]}',
     "<input 1>:1: span 1122334455667788: field `traceId`: expected 32 hexadecimal digits, found \"xyz\""),
    ("otlp", b'{"resourceSpans": [{"scopeSpans": [{"spans": [{"spanId": 5}]}]}]}',
     "field `spanId`: expected a string, found integer `5`"),
    ("otlp", b'{"resourceSpans": [{"scopeSpans": [{"spans": [{"traceId": "abcdef12345678901234567890123456", '
             b'"spanId": "1122334455667788", "attributes": [{"key": "gen_ai.operation.name", "value": {"stringValue": '
             b'"chat"}}, {"key": "gen_ai.input.messages", "value": {"stringValue": "[{"}}]}]}]}]}',
     "span 1122334455667788: attribute `gen_ai.input.messages`: expected JSON text, EOF while parsing"),
    ("otlp", b'{"resourceSpans": [{"scopeSpans": [{"spans": [{"traceId": "abcdef12345678901234567890123456", '
             b'"spanId": "1122334455667788", "attributes": [{"key": "n", "value": {"intValue": "1x"}}]}]}]}]}',
     "attribute `n`: field `intValue`: expected an integer or a decimal string"),
    ("otlp", b'{"resourceSpans": [{"scopeSpans": [{"spans": [{"traceId": "abcdef12345678901234567890123456", '
             b'"spanId": "1122334455667788", "startTimeUnixNano": -5}]}]}]}',
     "field `startTimeUnixNano`: expected nanoseconds since the epoch"),
    ("otlp", b'{"resourceMetrics": []}', "expected an OTLP JSON line with `resourceSpans` or `resourceLogs`"),
    ("otlp", b'{"resourceSpans": [{"scopeSpans": [{"spans": [{"traceId": "abcdef12345678901234567890123456", '
             b'"spanId": "1122334455667788", "attributes": [{"key": "gen_ai.operation.name", "value": {"stringValue": '
             b'"chat"}}, {"key": "' + b'llm.input_messages.' + b'0.' * 200000 + b'x", "value": {"intValue": "1"}}, '
             b'{"key": "gen_ai.usage.input_tokens", "value": {"stringValue": "many"}}]}]}]}]}',
     "span 1122334455667788: field `gen_ai.usage.input_tokens`: expected a number"),
    ("otlp", b'{"resourceSpans": [{"scopeSpans": [{"spans": [{"traceId": "abcdef12345678901234567890123456", '
             b'"spanId": "1122334455667788", "attributes": [{"key": "k", "value": ' + b'{"arrayValue": {"values": [' * 200
             + b']}}' * 200 + b'}]}]}]}]}', "recursion limit exceeded"),
    ("otlp", b'{"resourceSpans": [{"scopeSpans": [{"spans": [{"traceId": "abcdef12345678901234567890123456", '
             b'"spanId": "1122334455667788", "attributes": [{"key": "a\\nb\\u0007", "value": {"str\\ngValue": "x"}}]}]}]}]}',
     "attribute `a\\nb\\x07`: field `str\\ngValue`: expected an AnyValue member"),
]


@pytest.mark.parametrize("format", importers.FORMATS)
@pytest.mark.parametrize("data", [b"", b"\n\n"])
def test_input_without_documents_imports_nothing(format, data):
    output, summary = importers.import_agentlog([data, data], format)
    assert output == b"" and summary["records"] == 0 and summary["formats"] == [format, format]


@pytest.mark.parametrize("format, data, expected", BAD_INPUTS)
def test_bad_input_is_one_clear_line(format, data, expected):
    with pytest.raises(ValueError) as error:
        importers.import_agentlog(data, format)
    message = str(error.value)
    assert expected in message and "\n" not in message


class TestCommand:
    def test_imported_runs_diff(self, tmp_path):
        baseline, candidate = tmp_path / "a.agentlog", tmp_path / "b.agentlog"
        assert velkin("import", os.path.join(DATA, "openai-v2-span-only.traces.jsonl"), "-o", baseline).returncode == 0
        result = velkin("import", os.path.join(DATA, "openai-v2-no-content.traces.jsonl"), "-o", candidate)
        assert b"3 responses carry no message texts" in result.stderr
        assert velkin("validate", candidate).returncode == 0
        diff = velkin("diff", baseline, candidate, "--seed", "1", "--json")
        assert json.loads(diff.stdout)["pair_count"] == 3

    def test_detects_and_imports(self, tmp_path):
        out = tmp_path / "tau.agentlog"
        result = velkin("import", TAU_BENCH, "-o", out)
        assert result.returncode == 0, result.stderr
        assert f"{TAU_BENCH}: detected tau-bench" in result.stderr.decode()
        assert velkin("validate", out).stdout == f"ok: {len(importers.import_records(TAU_BENCH))} records\n".encode()

    def test_reads_stdin(self, tmp_path):
        out = tmp_path / "stdin.agentlog"
        with open(TAU_BENCH, "rb") as f:
            result = velkin("import", "-", "-o", out, "--from", "tau-bench", stdin=f.read())
        assert result.returncode == 0, result.stderr
        assert out.read_bytes() == importers.import_agentlog(TAU_BENCH)[0]

    @pytest.mark.parametrize("args, stdin, message", [
        (["missing.json"], None, "cannot read missing.json: no such file"),
        # Of no format the detection knows: read as the one named.
        (["-", "--from", "openai"], b'{"a": 1}\n', "<stdin>:1: field `request`: expected an object, found nothing"),
    ])
    def test_bad_input_writes_nothing(self, tmp_path, args, stdin, message):
        out = tmp_path / "out.agentlog"
        result = velkin("import", *args, "-o", out, stdin=stdin)
        assert result.returncode == 2
        stderr = result.stderr.decode()
        assert message in stderr and stderr.count("\n") == 1
        assert list(tmp_path.iterdir()) == []


# Arbitrary values where each format expects its own shapes: the import either fails with one line or writes
# records that parse, and does so identically twice.
json_values = st.recursive(
    st.none() | st.booleans() | st.integers(-2**63, 2**64 - 1) | st.floats(allow_nan=False, allow_infinity=False)
    | st.text(max_size=8) | st.sampled_from(["text", "tool_call", "user", "assistant", "tool", "chat", "stop"]),
    lambda inner: st.lists(inner, max_size=4) | st.dictionaries(
        st.sampled_from(["role", "content", "parts", "type", "id", "name", "arguments", "tool_calls", "function",
                         "messages", "choices", "message", "usage", "stringValue", "intValue", "arrayValue",
                         "kvlistValue", "values", "key", "value", "traceId", "spanId", "attributes", "spans",
                         "scopeSpans", "resourceSpans", "traj", "task_id", "request", "response", "output", "input"]),
        inner, max_size=5),
    max_leaves=20)
ATTRIBUTE_KEYS = st.sampled_from(["gen_ai.operation.name", "gen_ai.input.messages", "gen_ai.output.messages",
                                  "gen_ai.usage.input_tokens", "llm.input_messages.0.message.role",
                                  "llm.output_messages.0.message.tool_calls.0.tool_call.function.arguments",
                                  "gen_ai.tool.call.id", "openinference.span.kind", "gen_ai.prompt.0.content"])


def otlp_line(attributes):
    span = {"traceId": "abcdef12345678901234567890123456", "spanId": "1122334455667788",
            "startTimeUnixNano": "1", "endTimeUnixNano": "2",
            "attributes": [{"key": key, "value": value} for key, value in attributes]}
    return {"resourceSpans": [{"scopeSpans": [{"spans": [span]}]}]}


messages = st.lists(st.fixed_dictionaries(
    {"role": st.sampled_from(["user", "assistant", "tool", "system"]), "content": json_values},
    optional={"tool_calls": json_values, "tool_call_id": st.text(max_size=3), "parts": json_values}), max_size=3)
any_values = st.one_of(
    json_values.map(lambda v: {"stringValue": json.dumps(v)}),
    messages.map(lambda v: {"stringValue": json.dumps(v)}),
    st.sampled_from(["chat", "execute_tool", "LLM", "TOOL"]).map(lambda v: {"stringValue": v}),
    st.integers(-5, 2**63).map(lambda v: {"intValue": str(v)}),
    json_values.map(lambda v: {"arrayValue": {"values": [{"stringValue": json.dumps(v)}]}}),
    json_values)
documents = st.one_of(
    st.tuples(st.just("otlp"), st.lists(st.tuples(ATTRIBUTE_KEYS, any_values), max_size=6).map(otlp_line)),
    st.tuples(st.just("openai"), st.fixed_dictionaries({
        "request": st.fixed_dictionaries({"messages": messages}),
        "response": st.fixed_dictionaries({"choices": st.lists(st.fixed_dictionaries(
            {"message": st.fixed_dictionaries({"role": st.just("assistant")},
                                              optional={"content": json_values, "tool_calls": json_values})},
            optional={"finish_reason": json_values}), min_size=1, max_size=2)}, optional={"usage": json_values})})),
    st.tuples(st.just("anthropic"), st.fixed_dictionaries({
        "request": st.fixed_dictionaries({"messages": messages}, optional={"system": json_values}),
        "response": st.fixed_dictionaries({"content": st.lists(json_values, max_size=3)},
                                          optional={"stop_reason": json_values, "usage": json_values})})),
    st.tuples(st.just("tau-bench"), st.lists(st.fixed_dictionaries({"task_id": json_values, "traj": messages}),
                                             max_size=2)),
)


@given(documents)
def test_arbitrary_documents_import_or_fail_cleanly(document):
    format, value = document
    data = json.dumps(value).encode()
    try:
        output, _ = importers.import_agentlog(data, format)
    except ValueError as error:
        assert "\n" not in str(error) and str(error).startswith("<input 1>")
        return
    check_links(_core.parse_agentlog(output))
    assert importers.import_agentlog(data, format)[0] == output


# Structured AnyValues (arrayValue, kvlistValue) as exporters and hand-written files lay them out: members in any
# order, members beside the one that counts, null for an absent value, escaped member names, and a repeated member,
# which counts with its last value (as for any JSON object the importer reads).
def any_value_text(value, draw):
    if isinstance(value, dict):
        entries = []
        for key, item in value.items():
            members = [f'"key":{json.dumps(key)}', f'"value":{any_value_text(item, draw)}']
            if draw(st.booleans()):
                members.reverse()
            if draw(st.booleans()):
                members.insert(draw(st.integers(0, 2)), '"note":[1,{"key":"x"}]')
            entries.append("{" + ",".join(members) + "}")
        return '{"kvlistValue":{' + values_text(entries, draw) + "}}"
    if isinstance(value, list):
        return '{"arrayValue":{' + values_text([any_value_text(item, draw) for item in value], draw) + "}}"
    if value is None:
        return "{}"
    member = {str: "stringValue", bool: "boolValue", int: "intValue", float: "doubleValue"}[type(value)]
    text = json.dumps(str(value) if member == "intValue" else value)
    if draw(st.booleans()):
        # Read with its last value, at the first one's place.
        return '{"%s":%s,"other":1,"%s":%s}' % (member, json.dumps("replaced") if member != "boolValue" else "null",
                                               member, text)
    return '{"%s":%s}' % (member, text)


def values_text(entries, draw):
    name = draw(st.sampled_from(['"values"', '"\\u0076alues"']))
    text = f'{name}:[{",".join(entries)}]'
    if draw(st.booleans()):
        text = f'"values":{draw(st.sampled_from(["null", "5", "[{}]", "{}"]))},' + text
    return text


plain_texts = st.text(st.characters(blacklist_categories=["Cs"]), max_size=6)
message_values = st.lists(st.fixed_dictionaries({
    "role": st.sampled_from(["user", "assistant", "system"]),
    "parts": st.lists(st.fixed_dictionaries({"type": st.just("text"), "content": plain_texts},
                                            optional={"note": st.none() | st.booleans() | st.integers(-9, 9)}),
                      min_size=1, max_size=3)}), min_size=1, max_size=3)


@given(message_values, st.data())
def test_structured_attributes_read_as_their_json_text(messages, data):
    structured = any_value_text(messages, data.draw)
    as_text = json.dumps({"stringValue": json.dumps(messages)})
    span = EXPORTED_SPAN % '{"key":"gen_ai.request.model","value":{"stringValue":"m-1"}},{"key":"gen_ai.input.messages","value":%s}'
    assert importers.import_agentlog((span % structured).encode(), "otlp") == \
        importers.import_agentlog((span % as_text).encode(), "otlp")


# A structured value means what its JSON objects mean: a repeated member counts with its last value at its
# first place, and what an earlier one would be refused for does not count. Log bodies read the same way.
@pytest.mark.parametrize("value, expected", [
    ('{"arrayValue":{"values":[{"boolValue":5,"boolValue":true}]}}', [True]),
    ('{"arrayValue":{"values":[{"stringValue":"a"}],"note":1,"values":[{"intValue":"7"},{"doubleValue":"NaN"}]}}',
     [7, None]),
    ('{"kvlistValue":{"values":[{"key":5,"value":{"stringValue":"x"},"key":"k"},'
     '{"key":"j","value":{"colour":1},"value":null}]}}', {"k": "x", "j": None}),
    ('{"kvlistValue":{"values":[{"key":"a","value":{"intValue":"1"}},{"key":"b","value":{}},'
     '{"key":"a","value":{"intValue":"-2"}}]}}', {"a": -2, "b": None}),
])
def test_structured_values_mean_what_their_json_objects_mean(value, expected):
    span = EXPORTED_SPAN.replace('"chat"', '"execute_tool"') % (
        '{"key":"gen_ai.tool.call.arguments","value":%s}' % value)
    records = _core.parse_agentlog(importers.import_agentlog(span.encode(), "otlp")[0])
    assert [r["payload"]["input"] for r in records if r["kind"] == "tool_call"] == [expected]


@pytest.mark.parametrize("value, expected", [
    ('{"arrayValue":{"values":[{"boolValue":5}]}}', "field `boolValue`: expected a boolean, found integer `5`"),
    # The whole value is JSON before any member is judged.
    ('{"arrayValue":{"values":[{"boolValue":5},@]}}', "invalid JSON: expected value at column"),
    ('{"kvlistValue":{"values":[{"value":{"stringValue":"x"}}]}}', "field `key`: expected a string, found nothing"),
    ('{"kvlistValue":{"values":[5]}}', "field `kvlistValue`: expected key/value objects, found integer `5`"),
    ('{"arrayValue":{"values":{}}}', "field `values`: expected an array, found map"),
    ('{"arrayValue":{"values":[{"colour":1}]}}', "field `colour`: expected an AnyValue member"),
])
def test_structured_attribute_errors(value, expected):
    span = EXPORTED_SPAN % ('{"key":"gen_ai.input.messages","value":%s}' % value)
    with pytest.raises(ValueError) as error:
        importers.import_agentlog(span.encode(), "otlp")
    assert f"attribute `gen_ai.input.messages`: {expected}" in str(error.value)
