"""The `velkin` command line: one run as a user would run it per behaviour, the cases in-process."""
import json
import os
import signal
import subprocess
import sys
from pathlib import Path

import pytest

from velkin import _core, cli
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
    # Non-ASCII is printed as itself, with two-space indentation.
    assert "\\u" not in result.stdout and '\n  "rows": [' in result.stdout
    assert any(r["severity"] == "error" for r in expected["recommendations"]) and result.returncode == 1


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
    (b"\xef\xbb\xbf" + Path(BASELINE).read_bytes(), "byte order mark"),
    (b'[{"task_id": 0, "traj": [{"role": "user", "content": "hi"}]}]', "velkin import"),
    (b'{"messages": [{"role": "user", "content": "hi"}]}\n', "velkin import"),
])
def test_parse_failure_gets_advice(tmp_path, run, content, advice):
    path = tmp_path / "in.agentlog"
    path.write_bytes(content)
    with pytest.raises(ValueError) as parse_error:
        _core.parse_agentlog(content)
    for result in (run("validate", path), run("diff", path, BASELINE)):
        assert_clean_failure(result, str(parse_error.value), advice)


WRITE_COMMANDS = [["--help"], ["--version"], ["import", "--help"], ["diff", BASELINE, CANDIDATE, "--pricing", PRICING], ["diff", BASELINE, CANDIDATE, "--pricing", PRICING, "--json"], ["validate", BASELINE],
                  ["id", PRICING]]


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
    assert_clean_failure(run("validate", path), str(parse_error.value))
    assert_clean_failure(run("diff", BASELINE, path), str(parse_error.value), str(path))


@pytest.mark.parametrize("pricing, fragment", [
    ("{not json", "invalid JSON"),
    ("[1, 2]", "pricing must be a JSON object"),
    ('{"m": {"input": 1.0}}', "pricing value: missing field `output`"),
    ('{"m": [1, 2, 3]}', "pricing value: invalid length 3, expected struct ModelPricing with 7 elements"),
    ('{"m": [1, NaN]}', "NaN"),
])
def test_bad_pricing(tmp_path, run, pricing, fragment):
    path = tmp_path / "pricing.json"
    path.write_text(pricing)
    assert_clean_failure(run("diff", BASELINE, CANDIDATE, "--pricing", path), fragment, str(path))


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
