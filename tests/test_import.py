"""Importing other tools' traces: each bundled producer output imports, validates and re-imports
to the same bytes; bad input fails with one line naming the input and line, and writes nothing."""
import json
import os
import subprocess
import sys
from collections import defaultdict

import pytest

from velkin import _core, importers

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
    """Every conversation is one parent chain from its metadata record; every tool_use has its tool_call."""
    ids = {r["id"] for r in records}
    assert len(ids) == len(records)
    for trace in conversations(records).values():
        assert trace[0]["kind"] == "metadata" and trace[0]["parent"] is None
        for previous, record in zip(trace, trace[1:]):
            assert record["parent"] == previous["id"]
        used = [b["id"] for r in trace if r["kind"] == "chat_response" for b in r["payload"]["content"]
                if b.get("type") == "tool_use"]
        called = [r["payload"]["tool_use_id"] for r in trace if r["kind"] == "tool_call"]
        assert sorted(used) == sorted(called)


class TestTauBench:
    @pytest.fixture(scope="class")
    def imported(self):
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


BAD_INPUTS = [
    # (format, input bytes, text the one-line error must hold)
    (None, b'{"a": 1}\n', "<input 1>:1: unknown format"),
    (None, b"", "<input 1>: empty input"),
    ("tau-bench", b'[{"task_id": 1, "traj": []},\n {"task_id": 2}]', "<input 1>:2: field `traj`: expected an array"),
    ("tau-bench", b'[{"task_id": 1, "traj": [{"role": 5}]}]', "<input 1>:1: field `role`: expected a string, found integer `5`"),
    ("tau-bench", b'[{"task_id": 1, "traj": []},', "<input 1>:1: invalid JSON: EOF"),
    ("openai", b'{"request": {"messages": []}, "response": {"choices": []}}\n', "<input 1>:1: field `choices`: expected at least one choice"),
    ("openai", b'\n\n{"request": {}, "response": {}', "<input 1>:3: invalid JSON: EOF while parsing an object at column"),
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
]


@pytest.mark.parametrize("format, data, expected", BAD_INPUTS)
def test_bad_input_is_one_clear_line(format, data, expected):
    with pytest.raises(ValueError) as error:
        importers.import_agentlog(data, format)
    message = str(error.value)
    assert expected in message and "\n" not in message


class TestCommand:
    def test_detects_imports_and_diffs(self, tmp_path):
        out = tmp_path / "tau.agentlog"
        result = velkin("import", TAU_BENCH, "-o", out)
        assert result.returncode == 0, result.stderr
        assert f"{TAU_BENCH}: detected tau-bench" in result.stderr.decode()
        assert velkin("validate", out).returncode == 0
        diff = velkin("diff", out, out, "--seed", "1")
        assert diff.returncode == 0 and b"1381 pairs" in diff.stdout

    def test_reads_stdin(self, tmp_path):
        out = tmp_path / "stdin.agentlog"
        with open(TAU_BENCH, "rb") as f:
            result = velkin("import", "-", "-o", out, "--from", "tau-bench", stdin=f.read())
        assert result.returncode == 0, result.stderr
        assert out.read_bytes() == importers.import_agentlog(TAU_BENCH)[0]

    @pytest.mark.parametrize("args, message", [
        (["missing.json"], "cannot read missing.json: no such file"),
        ([TAU_BENCH, "--from", "openai"], "field `request`: expected an object, found nothing"),
    ])
    def test_bad_input_writes_nothing(self, tmp_path, args, message):
        out = tmp_path / "out.agentlog"
        result = velkin("import", *args, "-o", out)
        assert result.returncode == 2
        stderr = result.stderr.decode()
        assert message in stderr and stderr.count("\n") == 1
        assert list(tmp_path.iterdir()) == []
