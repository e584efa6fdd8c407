"""The `velkin` command line: one run as a user would run it per behaviour, the cases in-process."""
import json
import os
import signal
import subprocess
import sys
from pathlib import Path

import pytest

from velkin import _core, cli, importers
from velkin.compare import compare_runs
from velkin.defaults import DEFAULT_SEED

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BASELINE, CANDIDATE, PRICING = (os.path.join(ROOT, "examples", name)
                                for name in ("baseline.agentlog", "candidate.agentlog", "pricing.json"))
AXES = ["semantic", "trajectory", "safety", "verbosity", "latency", "cost", "reasoning", "judge", "conformance"]


def velkin(*args, module="velkin.cli"):
    return subprocess.run([sys.executable, "-m", module, *map(str, args)], capture_output=True, text=True,
                          encoding="utf-8", cwd=ROOT, timeout=120)


@pytest.fixture
def run(capsys):
    """cli.main in this process: (exit code, stdout, stderr)."""
    def main(*args):
        pipe_handler = signal.getsignal(signal.SIGPIPE)
        try:
            code = cli.main(list(map(str, args)))
        except SystemExit as error:
            code = error.code
        finally:
            signal.signal(signal.SIGPIPE, pipe_handler)
        return (code, *capsys.readouterr())
    return main


def example_inputs():
    with open(PRICING) as f:
        pricing = {model: tuple(p) if isinstance(p, list) else p for model, p in json.load(f).items()}
    baseline, candidate = (_core.parse_agentlog(Path(path).read_bytes()) for path in (BASELINE, CANDIDATE))
    return baseline, candidate, pricing


def example_report():
    return _core.compute_diff_report(*example_inputs(), 7)


def trace(path, payload):
    """A trace of one chat_response record."""
    path.write_bytes(_core.write_agentlog([{"version": "0.1", "id": "r", "kind": "chat_response", "ts": "t",
                                            "payload": payload}]))
    return path


def response(text, stop_reason="end_turn", tools=()):
    content = [{"type": "text", "text": text}] + [{"type": "tool_use", "name": n, "input": {}} for n in tools]
    return {"content": content, "stop_reason": stop_reason, "model": "m",
            "usage": {"input_tokens": 100, "output_tokens": 20}}


def assert_clean_failure(result, *fragments):
    code, out, err = (result.returncode, result.stdout, result.stderr) if hasattr(result, "stderr") else result
    assert (code, out) == (2, ""), result
    assert "Traceback" not in err and all(fragment in err for fragment in fragments), err


def test_diff_json_is_the_report_dict_beside_seed_and_version():
    result = velkin("diff", BASELINE, CANDIDATE, "--pricing", PRICING, "--seed", 7, "--json")
    expected = example_report()
    document = json.loads(result.stdout)
    assert document == {"version": _core.__version__, "seed": 7, **expected}
    assert list(document) == ["version", "seed", *expected]
    # Non-ASCII is printed as itself, with two-space indentation: what the standard library writes.
    assert "\\u" not in result.stdout and '\n  "rows": [' in result.stdout
    assert result.stdout == json.dumps(document, indent=2, ensure_ascii=False) + "\n"
    assert any(r["severity"] == "error" for r in expected["recommendations"]) and result.returncode == 1


WITHOUT_MODEL = ("import sys\n"
                 "class NoModel:\n"
                 "    def find_spec(self, name, path=None, target=None):\n"
                 "        if name == 'velkin.reports.model': raise ImportError(name)\n"
                 "sys.meta_path.insert(0, NoModel())\n"
                 "from velkin.__main__ import main\n"
                 "main()\n")


@pytest.mark.parametrize("args", [
    ["diff", BASELINE, CANDIDATE, "--json"],
    ["diff", BASELINE, CANDIDATE, "--pricing", PRICING, "--json"],
    ["compare", "--baseline", BASELINE, "--candidate", CANDIDATE, "--pricing", PRICING, "--json"],
])
def test_json_alone_never_loads_the_report_model(args):
    """The report model is for the formats that show it: `--json`, its warnings and its gate do without."""
    without = subprocess.run([sys.executable, "-c", WITHOUT_MODEL, *args], capture_output=True, text=True,
                             encoding="utf-8", cwd=ROOT, timeout=120)
    usual = velkin(*args)
    assert (without.returncode, without.stdout, without.stderr) == (usual.returncode, usual.stdout, usual.stderr)
    assert json.loads(without.stdout)["version"] == _core.__version__


def test_default_seed_is_fixed_and_printed(run):
    code, out, _ = run("diff", BASELINE, CANDIDATE, "--pricing", PRICING, "--json")
    assert json.loads(out) == {"version": _core.__version__, "seed": DEFAULT_SEED,
                               **_core.compute_diff_report(*example_inputs(), DEFAULT_SEED)}
    text = run("diff", BASELINE, CANDIDATE, "--pricing", PRICING)[1]
    assert f"seed {DEFAULT_SEED}" in text and text == run("diff", BASELINE, CANDIDATE, "--pricing", PRICING)[1]


def test_identical_traces_with_the_largest_seed_exit_zero():
    result = velkin("diff", BASELINE, BASELINE, "--seed", 2**64 - 1)
    assert result.returncode == 0, result.stderr
    assert result.stdout.startswith("\u2713 NO SIGNIFICANT CHANGE") and "none: the candidate follows" in result.stdout
    assert "the same records" in result.stderr


@pytest.mark.parametrize("baseline, candidate, codes", [
    # A changed stop reason is a decision drift: a warning, so only --fail-on warning closes the gate.
    (response("Done."), response("Done.", "max_tokens"), {"error": 0, "warning": 1, "never": 0}),
    # A duplicated tool call is structural: an error.
    (response("Looking.", "tool_use", ["search"]), response("Looking.", "tool_use", ["search", "search"]),
     {"error": 1, "warning": 1, "never": 0}),
])
def test_gate_follows_fail_on(tmp_path, run, baseline, candidate, codes):
    baseline, candidate = trace(tmp_path / "b.agentlog", baseline), trace(tmp_path / "c.agentlog", candidate)
    assert json.loads(run("diff", baseline, candidate, "--json")[1])["recommendations"]
    assert run("diff", baseline, candidate)[0] == codes["error"]
    for fail_on, code in codes.items():
        for output in ([], ["--json"], ["--format", "markdown"]):
            assert run("diff", baseline, candidate, "--fail-on", fail_on, *output)[0] == code, (fail_on, output)


@pytest.mark.parametrize("empty_side", ["baseline", "candidate"])
def test_a_side_without_responses_is_bad_input(tmp_path, empty_side):
    full = trace(tmp_path / "full.agentlog", response("Hello."))
    empty = tmp_path / "empty.agentlog"
    empty.write_bytes(_core.write_agentlog([{"version": "0.1", "id": "m", "kind": "metadata", "ts": "t",
                                             "payload": {}}]))
    args = (empty, full) if empty_side == "baseline" else (full, empty)
    result = velkin("diff", *args)
    assert_clean_failure(result, str(empty), "no chat_response")
    assert len(result.stderr.splitlines()) == 1


def test_price_table_warnings(tmp_path, run):
    baseline = tmp_path / "b.agentlog"
    records = [{"version": "0.1", "id": f"r{i}", "kind": "chat_response", "ts": "t",
                "payload": {**response("Hi."), "model": model}}
               for i, model in enumerate(["known-2025-01-01", "ghost", "ghost", "phantom"])]
    baseline.write_bytes(_core.write_agentlog(records))
    pricing = tmp_path / "p.json"
    pricing.write_text('{"known": [1e-6, -2e-6]}')
    code, _, err = run("diff", baseline, baseline, "--pricing", pricing)
    assert code == 0
    assert "'known' has a negative price" in err and "same records" in err
    assert "'ghost' is not in the price table; its 2 responses" in err
    assert "'phantom' is not in the price table; its 1 response " in err and "known-2025" not in err
    assert "no --pricing" in run("diff", baseline, baseline)[2]


@pytest.mark.parametrize("content, advice", [
    (b"\xef\xbb\xbf" + Path(BASELINE).read_bytes(), "the file starts with a UTF-8 byte order mark (BOM); save it as UTF-8 without a BOM"),
    (b'[{"task_id": 0, "traj": [{"role": "user", "content": "hi"}]}]',
     "the file is one JSON array, not one record per line: if it holds agent runs of another format, convert them "
     "with `velkin import`"),
    (b'{"messages": [{"role": "user", "content": "hi"}]}\n',
     "the file looks like a chat log (OpenAI messages), not an .agentlog trace; convert it with `velkin import`"),
])
def test_parse_failure_gets_advice_in_place_of_the_schema_hint(tmp_path, run, content, advice):
    path = tmp_path / "in.agentlog"
    path.write_bytes(content.replace(b'"traj"', b'"trajectory"'))  # of no format the importers know
    with pytest.raises(ValueError) as parse_error:
        _core.parse_agentlog(path.read_bytes())
    problem = str(parse_error.value).split("\n")[0]
    for result in (run("validate", path), run("diff", path, BASELINE)):
        assert_clean_failure(result, f"velkin: error: {path}: {problem} ({advice})")
        assert len(result[2].splitlines()) == 1 and "SPEC" not in result[2]


WRITE_COMMANDS = [["--help"], ["--version"], ["import", "--help"], ["diff", BASELINE, CANDIDATE, "--pricing", PRICING], ["diff", BASELINE, CANDIDATE, "--pricing", PRICING, "--json"], ["validate", BASELINE],
                  ["id", PRICING], ["compare", "--baseline", BASELINE, "--candidate", CANDIDATE, "--pricing", PRICING, "--json"]]


@pytest.mark.parametrize("args", WRITE_COMMANDS)
@pytest.mark.parametrize("stdout", ["full", "closed"])
def test_output_that_cannot_be_written_is_one_line_and_exit_2(args, stdout):
    if stdout == "full" and not os.path.exists("/dev/full"):
        pytest.skip("no /dev/full on this system")
    with open("/dev/full", "w") if stdout == "full" else open(os.devnull) as sink:
        result = subprocess.run([sys.executable, "-m", "velkin", *map(str, args)], cwd=ROOT, timeout=120,
                                stdout=sink if stdout == "full" else None, stderr=subprocess.PIPE, text=True,
                                pass_fds=(), preexec_fn=None if stdout == "full" else (lambda: os.close(1)))
    assert result.returncode == 2, result.stderr
    assert len(result.stderr.splitlines()) == 1 and result.stderr.startswith("velkin: error: cannot write")


NAMED = "caf\u00e9-\U0001f600 \u2014"  # Latin-1, beyond the BMP, and a dash Latin-1 lacks


def named_trace(path, text):
    """A request and its response, in a trace whose id is NAMED."""
    meta = {"trace_id": NAMED}
    path.write_bytes(_core.write_agentlog([
        {"version": "0.1", "id": "q", "kind": "chat_request", "ts": "t", "meta": meta,
         "payload": {"messages": [{"role": "user", "content": "Where?"}], "model": "m"}},
        {"version": "0.1", "id": "r", "kind": "chat_response", "ts": "t", "parent": "q", "meta": meta,
         "payload": response(text)}]))
    return path


# What each encoding writes of NAMED in a JSON string: the characters it lacks as JSON escapes.
NAMED_IN = {
    "ascii": "caf\\u00e9-\\ud83d\\ude00 \\u2014",
    "latin-1": "caf\u00e9-\\ud83d\\ude00 \\u2014",
    "cp1252": "caf\u00e9-\\ud83d\\ude00 \u2014",
    "utf-8": NAMED,
}


@pytest.mark.parametrize("encoding", NAMED_IN)
@pytest.mark.parametrize("command", ["diff", "compare"])
def test_json_reads_back_as_the_same_document_on_an_output_of_any_encoding(tmp_path, command, encoding):
    baseline, candidate = named_trace(tmp_path / "b.agentlog", "Here."), named_trace(tmp_path / "c.agentlog", "No.")
    args = [baseline, candidate] if command == "diff" else ["--baseline", baseline, "--candidate", candidate]
    printed = {}
    for stdout_encoding in ("utf-8", encoding):
        result = subprocess.run([sys.executable, "-m", "velkin", command, *map(str, args), "--json", "--fail-on",
                                 "never"], cwd=ROOT, capture_output=True, timeout=120,
                                env={**os.environ, "PYTHONIOENCODING": stdout_encoding})
        assert result.returncode == 0, result.stderr
        printed[stdout_encoding] = result.stdout.decode(stdout_encoding)
    document = json.loads(printed["utf-8"])
    assert json.loads(printed[encoding]) == document
    shown = document["baseline_trace_id"] if command == "diff" else document["conversations"][0]["key"]
    assert shown == NAMED and f'"{NAMED_IN[encoding]}"' in printed[encoding]


@pytest.mark.parametrize("option", ["--html", "--junit"])
def test_report_file_that_cannot_be_written_is_bad_output(tmp_path, run, option):
    target = tmp_path / "missing-dir" / "report"
    assert_clean_failure(run("diff", BASELINE, CANDIDATE, option, target), str(target))
    assert not target.parent.exists()


def test_pricing_pairs_are_input_and_output_prices(tmp_path, run):
    path = trace(tmp_path / "t.agentlog", response("Same answer."))
    (tmp_path / "p.json").write_text('{"m": [0.5, 2]}')
    code, out, _ = run("diff", path, path, "--pricing", tmp_path / "p.json", "--seed", 0, "--json")
    cost = json.loads(out)["rows"][AXES.index("cost")]
    assert (code, cost["baseline_median"], cost["candidate_median"]) == (0, 100 * 0.5 + 20 * 2.0, 100 * 0.5 + 20 * 2.0)
    assert "no_pricing" not in cost["flags"]


def test_missing_file_is_bad_input(tmp_path, run):
    missing = tmp_path / "nope.agentlog"
    assert_clean_failure(velkin("diff", missing, CANDIDATE), str(missing), "No such file")
    assert_clean_failure(run("validate", missing), str(missing))
    assert_clean_failure(run("id", missing), str(missing))


@pytest.mark.parametrize("bad_line", [
    b'{"version":"0.1","id":"x","kind":"Chat_Request","ts":"t","payload":null}', b"not json", b"\xff\xfe",
])
def test_malformed_trace_reports_the_parser_message(tmp_path, run, bad_line):
    path = trace(tmp_path / "bad.agentlog", response("fine"))
    path.write_bytes(path.read_bytes() + bad_line + b"\n")
    with pytest.raises(ValueError, match="on line 2") as parse_error:
        _core.parse_agentlog(path.read_bytes())
    problem = str(parse_error.value).split("\n")[0]  # without the parser's hint about the record schema
    assert_clean_failure(run("validate", path), f"{path}: {problem}\n")
    assert_clean_failure(run("diff", BASELINE, path), f"{path}: {problem}\n")


@pytest.mark.parametrize("pricing, fragment", [
    ("{not json", "invalid JSON"),
    ("[1, 2]", "pricing must be a JSON object mapping model names to prices"),
    ('{"m": {"input": 1.0}}', "model 'm': a price object needs 'output' (dollars per token)"),
    ('{"m": [1, 2, 3]}', "model 'm': a price must be [input, output] in dollars per token, or an object of prices "
                         "per token (input, output, cached_input, cached_write_5m, cached_write_1h, reasoning, "
                         "batch_discount); found a list of 3"),
    ('{"m": 3}', "model 'm': a price must be [input, output] in dollars per token"),
    ('{"m": [1, "2"]}', 'model \'m\': a price must be [input, output] in dollars per token, or an object of prices '
                        'per token (input, output, cached_input, cached_write_5m, cached_write_1h, reasoning, '
                        'batch_discount); found [1, "2"]'),
    ('{"m": {"input": 1, "output": 2, "cache": 3}}', "model 'm': unknown price 'cache': a price object holds input, "
                                                     "output, cached_input"),
    ('{"m": {"input": 1, "output": true}}', "model 'm': price 'output' must be a number (dollars per token); "
                                            "found true"),
    ('{"m": [1, 1e999]}', "found [1, Infinity]"),
    ('{"m": [1, NaN]}', "NaN"),
])
@pytest.mark.parametrize("command", ["diff", "compare"])
def test_bad_pricing_is_said_in_the_users_words(tmp_path, pricing, fragment, command):
    path = tmp_path / "pricing.json"
    path.write_text(pricing)
    args = [BASELINE, CANDIDATE] if command == "diff" else ["--baseline", BASELINE, "--candidate", CANDIDATE]
    result = velkin(command, *args, "--pricing", path)
    assert_clean_failure(result, fragment, str(path))
    assert len(result.stderr.splitlines()) == 1 and "struct" not in result.stderr


@pytest.mark.parametrize("args", [
    [], ["frobnicate"], ["diff", BASELINE], ["diff", BASELINE, CANDIDATE, "--seed", "-1"],
    ["diff", BASELINE, CANDIDATE, "--seed", str(2**64)], ["diff", BASELINE, CANDIDATE, "--seed", "seven"],
    ["validate"], ["id", "a.json", "b.json"],
])
def test_bad_usage(run, args):
    assert_clean_failure(run(*args), "usage:")


def test_validate_counts_records(tmp_path):
    data = Path(CANDIDATE).read_bytes()
    path = tmp_path / "t.agentlog"
    path.write_bytes(data.replace(b"\n", b"\r\n\n"))  # blank lines and CRLF endings are not records
    result = velkin("validate", path)
    assert (result.returncode, result.stdout) == (0, f"ok: {len(data.splitlines())} records\n")


def test_id_is_the_content_id_of_the_document(tmp_path):
    document = {"b": {"é": 2**64 - 1, "e\u0301": [-2**63, "Zürich — 東京 🚀"]}}
    (tmp_path / "doc.json").write_text(json.dumps(document, ensure_ascii=False), encoding="utf-8")
    result = velkin("id", tmp_path / "doc.json", module="velkin")
    assert (result.returncode, result.stdout) == (0, _core.content_id(document) + "\n")


@pytest.mark.parametrize("content, fragment", [
    (b"[NaN]", "NaN is not valid JSON"),
    (b'"\xff"', "not UTF-8"),
    (b"18446744073709551616", "JSON number out of range"),
    (b"[" * 100000, "invalid JSON"),
])
def test_id_bad_input(tmp_path, run, content, fragment):
    path = tmp_path / "doc.json"
    path.write_bytes(content)
    assert_clean_failure(run("id", path), fragment)


def test_examples_hold_every_kind_of_divergence():
    """Divergence by divergence: report the first one, cut both traces past it, diff again."""
    kinds = {"candidate dropped a": "dropped turn", "candidate inserted": "inserted turn",
             "duplicate tool invocation": "duplicate call", "candidate added tool": "added call",
             "candidate dropped tool": "dropped call", "tool set changed": "tool-set change",
             "tool arg value changed": "argument value", "stop_reason changed": "stop reason",
             "response text diverged": "text rewrite"}
    baseline, candidate = ([r for r in _core.parse_agentlog(Path(path).read_bytes()) if r["kind"] == "chat_response"]
                           for path in (BASELINE, CANDIDATE))
    found = set()
    while baseline:
        first = _core.compute_diff_report(baseline, candidate, None, 7)["first_divergence"]
        if first is None:
            break
        explanation = first["explanation"]
        found |= {kind for fragment, kind in kinds.items() if fragment in explanation}
        inserted, dropped = explanation.startswith("candidate inserted"), explanation.startswith("candidate dropped a")
        baseline = baseline[first["baseline_turn"] + (0 if inserted else 1):]
        candidate = candidate[first["candidate_turn"] + (0 if dropped else 1):]
    assert found == set(kinds.values())


# Saying what happened ------------------------------------------------------------------------------------------

DATA = os.path.join(ROOT, "tests", "data", "import")
TAU = os.path.join(ROOT, "tests", "data", "tau-bench", "gpt-4o-airline-tasks-0-24.json")
OTLP_TRACES = os.path.join(DATA, "openai-v2-span-only.traces.jsonl")


def imported(tmp_path, *inputs, name="run.agentlog"):
    out = tmp_path / name
    result = velkin("import", *inputs, "-o", out)
    assert result.returncode == 0, result.stderr
    return out


def test_diff_of_several_conversations_points_to_compare(tmp_path):
    run = imported(tmp_path, OTLP_TRACES)
    result = velkin("diff", run, run)
    assert result.returncode == 0, result.stderr
    assert (f"{run} holds 2 conversations: diff reads them as one trace; compare them conversation by "
            "conversation with `velkin compare") in " ".join(result.stderr.split())
    assert "conversations" not in velkin("diff", BASELINE, CANDIDATE).stderr  # one conversation a side


def run_of_one_size(path, head: str, tail: str):
    """A run of 1.5 MiB, more than one block of the same-bytes check: `head` starts it, `tail` ends it."""
    metadata = {"version": "0.1", "id": "m", "kind": "metadata", "ts": "t", "meta": {"trace_id": "t"},
                "payload": {"note": head + "x" * (3 << 19)}}
    path.write_bytes(_core.write_agentlog([metadata, {"version": "0.1", "id": "r", "kind": "chat_response", "ts": "t",
                                                      "meta": {"trace_id": "t"}, "payload": response(tail)}]))
    return path


@pytest.mark.parametrize("candidate_head, candidate_tail, identical", [
    ("a", "b", True), ("c", "b", False), ("a", "c", False)])
def test_compare_tells_byte_identical_runs_from_runs_of_one_size(tmp_path, candidate_head, candidate_tail, identical):
    baseline = run_of_one_size(tmp_path / "baseline.agentlog", "a", "b")
    candidate = run_of_one_size(tmp_path / "candidate.agentlog", candidate_head, candidate_tail)
    (tmp_path / "link.agentlog").symlink_to(baseline)
    assert baseline.stat().st_size == candidate.stat().st_size > 1 << 20
    result = velkin("compare", "--baseline", baseline, tmp_path / "link.agentlog", "--candidate", candidate)
    assert result.returncode == 0, result.stderr
    # The link names the baseline run itself: a replicate read twice, not a second run with its bytes.
    warned = [line for line in result.stderr.splitlines() if "byte-identical" in line]
    assert warned == [f"velkin: warning: baseline run {baseline} and candidate run {candidate} are byte-identical: "
                      "replicates of one run say nothing about run-to-run noise"] * identical


def test_compare_warns_of_runs_that_cannot_differ_and_of_prices(tmp_path):
    run = imported(tmp_path, os.path.join(DATA, "openai-chat-log.jsonl"))
    copy = tmp_path / "copy.agentlog"
    copy.write_bytes(run.read_bytes())
    same = velkin("compare", "--baseline", run, "--candidate", run)
    assert same.returncode == 0, same.stderr
    assert f"{run} is given as both a baseline and a candidate run" in same.stderr
    assert "velkin: warning: cost is not compared: pass --pricing FILE.json" in same.stderr
    pricing = tmp_path / "pricing.json"
    pricing.write_text('{"gpt-4o-mini": [1e-07, 4e-07], "other": [-1e-06, 1e-06]}')
    identical = velkin("compare", "--baseline", run, "--candidate", copy, "--pricing", pricing)
    assert identical.returncode == 0, identical.stderr
    assert f"baseline run {run} and candidate run {copy} are byte-identical" in identical.stderr
    assert "cost is not compared" not in identical.stderr and "given as both" not in identical.stderr
    # The log's five responses run on a snapshot the table does not price, on each side.
    for side in ("baseline", "candidate"):
        assert (f"{side}: model 'gpt-4o-2024-08-06' is not in the price table; its 5 responses are left out of the "
                "cost axis") in identical.stderr
    assert f"{pricing}: model 'other' has a negative price" in identical.stderr


def test_import_says_where_the_texts_are_and_what_names_no_model(tmp_path):
    event_only = velkin("import", os.path.join(DATA, "openai-v2-event-only.traces.jsonl"), "-o", tmp_path / "a.agentlog")
    assert event_only.returncode == 0, event_only.stderr
    assert ("3 responses carry no message texts (their texts are in the logs export "
            f"{os.path.join(DATA, 'openai-v2-event-only.logs.jsonl')}: import it beside") in event_only.stderr
    no_content = velkin("import", os.path.join(DATA, "openai-v2-no-content.traces.jsonl"), "-o", tmp_path / "b.agentlog")
    assert ("3 responses carry no message texts (the instrumentation captured none, or wrote them as log events: "
            "import its OTLP logs export beside") in no_content.stderr
    both = velkin("import", os.path.join(DATA, "openai-v2-event-only.traces.jsonl"),
                  os.path.join(DATA, "openai-v2-event-only.logs.jsonl"), "-o", tmp_path / "c.agentlog")
    assert "no message texts" not in both.stderr and "name no model" not in both.stderr
    with open(TAU) as f:
        answers = sum(m["role"] == "assistant" for entry in json.load(f) for m in entry["traj"])
    tau = velkin("import", TAU, "-o", tmp_path / "tau.agentlog")
    assert f"velkin: {answers} responses name no model: the cost axis cannot price them" in tau.stderr


@pytest.mark.parametrize("args, message", [
    # A logs export alone has no spans for its events to join.
    (["{data}/openai-v2-event-only.logs.jsonl"],
     "{data}/openai-v2-event-only.logs.jsonl: an OTLP logs export holds the events of spans, not the spans: import it "
     "beside its traces export (velkin import TRACES.jsonl {data}/openai-v2-event-only.logs.jsonl -o OUT.agentlog)"),
    # A format named that the file is not: the format it is, and how to read it.
    (["{tau}", "--from", "otlp"], "{tau}: this is tau-bench input, not otlp: leave out --from to have it detected, "
                                  "or pass --from tau-bench"),
    (["{data}/anthropic-log.jsonl", "--from", "tau-bench"], "{data}/anthropic-log.jsonl: this is anthropic input, not "
                                                            "tau-bench"),
])
def test_import_errors_lead(tmp_path, args, message):
    result = velkin("import", *[a.format(data=DATA, tau=TAU) for a in args], "-o", tmp_path / "out.agentlog")
    assert_clean_failure(result, "velkin: error: " + message.format(data=DATA, tau=TAU))
    assert len(result.stderr.splitlines()) == 1 and list(tmp_path.iterdir()) == []


@pytest.mark.parametrize("path, format", [(OTLP_TRACES, "otlp"), (TAU, "tau-bench"),
                                          (os.path.join(DATA, "openai-chat-log.jsonl"), "openai")])
@pytest.mark.parametrize("command", ["validate", "diff", "compare"])
def test_a_file_to_import_is_named_with_the_command_that_reads_it(path, format, command):
    args = {"validate": [path], "diff": [path, BASELINE], "compare": ["--baseline", BASELINE, "--candidate", path]}
    result = velkin(command, *args[command])
    assert_clean_failure(result)
    assert result.stderr == (f"velkin: error: {path} holds {format} input, not an .agentlog trace: convert it with "
                             f"`velkin import {path} -o RUN.agentlog`\n")


@pytest.mark.parametrize("command", [[], ["diff"], ["compare"], ["import"], ["validate"], ["id"]])
def test_every_command_describes_exit_codes_in_the_same_words(command):
    result = velkin(*command, "--help")
    assert result.returncode == 0
    assert ("exit codes: 0 success, 1 the gate failed (a regression), 2 bad input, bad usage or unwritable output"
            in " ".join(result.stdout.split()))


class TestSplit:
    def test_trials_become_runs_that_compare_pairs_task_by_task(self, tmp_path):
        out = tmp_path / "trials"
        result = velkin("import", TAU, "--split", "trial", "-o", out)
        assert result.returncode == 0, result.stderr
        files = [f"trial-{n}.agentlog" for n in range(4)]
        assert sorted(os.listdir(out)) == files
        assert (f"wrote 4 runs split by `trial` to {out}: " + ", ".join(files)) in result.stderr
        whole = imported(tmp_path, TAU).read_bytes().splitlines(keepends=True)
        parts = {name: (out / name).read_bytes().splitlines(keepends=True) for name in files}
        assert sorted(line for lines in parts.values() for line in lines) == sorted(whole)
        for n, name in enumerate(files):
            metadata = [json.loads(line) for line in parts[name] if b'"kind":"metadata"' in line]
            assert [m["meta"]["trial"] for m in metadata] == [n] * 25
            assert len({m["meta"]["task_id"] for m in metadata}) == 25
        report = velkin("compare", "--baseline", out / files[0], out / files[1], "--candidate", out / files[2], "--json")
        assert report.returncode in (0, 1), report.stderr
        document = json.loads(report.stdout)
        assert (document["paired"], document["baseline_only"], document["candidate_only"]) == (25, 0, 0)
        assert all(len(c["baseline_ids"]) == 2 and len(c["candidate_ids"]) == 1 for c in document["conversations"])

    def test_by_an_identifier_conversations_lack_is_refused(self, tmp_path):
        out = tmp_path / "runs"
        result = velkin("import", TAU, "--split", "attempt", "-o", out)
        assert_clean_failure(result, "has no identifier `attempt` to split by; its identifiers: reward, task_id, "
                                     "trace_id, trial")
        assert not out.exists()


# Pairing that never guesses ------------------------------------------------------------------------------------

def rerun(records, side):
    """The run as another run of the same tasks writes it: its own trace ids, its identifiers prefixed by the run."""
    out = []
    for r in json.loads(json.dumps(records)):
        r["meta"]["trace_id"] = f"{side}-{r['meta']['trace_id']}"
        if r["kind"] == "metadata":
            task = r["meta"].get("session.id") or r["meta"]["metadata.user_id"].removeprefix("eval-")
            r["meta"] = {"trace_id": r["meta"]["trace_id"], "run.task": f"{side}-{task}"}
        out.append(r)
    return out


def write_runs(tmp_path, source, format=None):
    records = importers.import_records(os.path.join(DATA, source), format)
    paths = []
    for side in ("baseline", "candidate"):
        paths.append(tmp_path / f"{side}.agentlog")
        paths[-1].write_bytes(_core.write_agentlog(rerun(records, side)))
    return paths


@pytest.mark.parametrize("source", ["openai-v2-no-content.traces.jsonl", "anthropic-log.jsonl"])
def test_runs_whose_identifier_differs_by_a_prefix_pair_by_its_pattern(tmp_path, source):
    baseline, candidate = write_runs(tmp_path, source)
    result = velkin("compare", "--baseline", baseline, "--candidate", candidate, "--key", "run.task",
                    "--key-pattern", "task-([0-9]+)", "--json")
    assert result.returncode == 0, result.stderr
    document = json.loads(result.stdout)
    assert (document["paired"], document["baseline_only"], document["candidate_only"]) == (2, 0, 0)
    assert sorted(c["key"] for c in document["conversations"]) == (["1", "2"] if "openai" in source else ["1", "3"])
    whole = velkin("compare", "--baseline", baseline, "--candidate", candidate, "--key", "run.task",
                   "--key-pattern", "task-[0-9]+", "--json")  # no group: the whole match pairs
    assert sorted(c["key"] for c in json.loads(whole.stdout)["conversations"]) == \
        sorted(f"task-{c['key']}" for c in document["conversations"])


def test_look_alike_conversations_are_not_paired_by_position_unless_asked(tmp_path):
    # Without message texts both conversations of a run start alike, and their only identifier differs by run.
    baseline, candidate = write_runs(tmp_path, "openai-v2-no-content.traces.jsonl")
    refused = velkin("compare", "--baseline", baseline, "--candidate", candidate)
    assert_clean_failure(refused, "velkin: error: pairing the conversations would guess: baseline run 1 holds "
                                  "conversations that start with the same request; identifiers the conversations "
                                  'carry: `run.task` (e.g. "baseline-task-1"): pair by one with --key NAME')
    assert len(refused.stderr.splitlines()) == 1
    asked = velkin("compare", "--baseline", baseline, "--candidate", candidate, "--key", "position", "--json")
    assert asked.returncode == 0, asked.stderr
    assert json.loads(asked.stdout)["paired"] == 2


@pytest.mark.parametrize("args, message", [
    (["--key", "run.task", "--key-pattern", "task-("], "--key-pattern `task-(` is not a regular expression"),
    (["--key", "run.task", "--key-pattern", "T[0-9]+"],
     "baseline run 1: conversation `baseline-"),
    (["--key", "run.task", "--key-pattern", "baseline|candidate"], "baseline run 1 holds two conversations whose "
                                                                  "`run.task` is `baseline`"),
    (["--key-pattern", "task-[0-9]+"], "--key-pattern needs --key NAME"),
])
def test_bad_keys_are_refused(tmp_path, args, message):
    baseline, candidate = write_runs(tmp_path, "openai-v2-no-content.traces.jsonl")
    result = velkin("compare", "--baseline", baseline, "--candidate", candidate, *args)
    assert_clean_failure(result, message)
    assert len(result.stderr.splitlines()) == 1


def test_default_key_is_a_shared_identifier_for_every_format(tmp_path):
    """Two imports of one producer's runs pair by what identifies their tasks, whatever the format."""
    for source, member in [("openai-v2-no-content.traces.jsonl", "gen_ai.conversation.id"),
                           ("traceloop-anthropic.traces.jsonl", "gen_ai.conversation.id")]:
        records = importers.import_records(os.path.join(DATA, source))
        other = json.loads(json.dumps(records))
        for r in other:  # a rerun: new trace ids, the same task identifiers
            r["meta"]["trace_id"] = r["meta"]["trace_id"][::-1]
        report = compare_runs([records], [other])
        assert report["key"] == {"source": "member", "member": member} and report["paired"] == 2
