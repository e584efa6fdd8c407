"""The `velkin` command line: one run as a user would run it per behaviour, the cases in-process."""
import json
import os
import signal
import subprocess
import sys
from pathlib import Path

import pytest

from velkin import _core, cli

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


def example_report():
    with open(PRICING) as f:
        pricing = {model: tuple(p) if isinstance(p, list) else p for model, p in json.load(f).items()}
    baseline, candidate = (_core.parse_agentlog(Path(path).read_bytes()) for path in (BASELINE, CANDIDATE))
    return _core.compute_diff_report(baseline, candidate, pricing, 7)


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


def test_diff_json_is_the_report_dict():
    result = velkin("diff", BASELINE, CANDIDATE, "--pricing", PRICING, "--seed", 7, "--json")
    expected = example_report()
    assert json.loads(result.stdout) == expected and list(json.loads(result.stdout)) == list(expected)
    # Non-ASCII is printed as itself, with two-space indentation.
    assert "\\u" not in result.stdout and '\n  "rows": [' in result.stdout
    assert any(r["severity"] == "error" for r in expected["recommendations"]) and result.returncode == 1


def test_diff_readable_report_shows_every_section():
    result = velkin("diff", BASELINE, CANDIDATE, "--pricing", PRICING, "--seed", 7)
    report, lines = example_report(), result.stdout.splitlines()
    header = next(i for i, line in enumerate(lines) if line.startswith("axis "))
    table = [(line, line.split(), row) for line, row in zip(lines[header + 1:header + 10], report["rows"])]
    assert [cells[0] for _, cells, _ in table] == AXES
    # One row per axis: severity and n, the delta unless too small for three decimals, columns lined up.
    assert all(row["severity"] in cells and str(row["n"]) in cells for _, cells, row in table)
    assert all(cells[1:5] == ["-"] * 4 if row["n"] == 0 else f"{row['delta']:+.3f}" in cells
               for _, cells, row in table if row["n"] == 0 or abs(row["delta"]) >= 0.01 or row["delta"] == 0)
    assert len({line.index(" " + row["severity"] + " ") for line, _, row in table}) == 1
    assert report["first_divergence"]["explanation"][:40] in result.stdout and "Drill-down" in result.stdout
    assert all(r["message"] in result.stdout and r["severity"].upper() in result.stdout
               for r in report["recommendations"])
    assert result.returncode == 1


def test_identical_traces_with_the_largest_seed_exit_zero():
    result = velkin("diff", BASELINE, BASELINE, "--seed", 2**64 - 1)
    assert result.returncode == 0, result.stderr
    assert "First divergence: none" in result.stdout


@pytest.mark.parametrize("baseline, candidate, code", [
    # A changed stop reason is a decision drift: a warning, and the gate stays open.
    (response("Done."), response("Done.", "max_tokens"), 0),
    # A duplicated tool call is structural: an error.
    (response("Looking.", "tool_use", ["search"]), response("Looking.", "tool_use", ["search", "search"]), 1),
])
def test_exit_code_follows_error_recommendations(tmp_path, run, baseline, candidate, code):
    baseline, candidate = trace(tmp_path / "b.agentlog", baseline), trace(tmp_path / "c.agentlog", candidate)
    exit_code, out, _ = run("diff", baseline, candidate, "--seed", 3, "--json")
    assert json.loads(out)["recommendations"] and exit_code == code
    assert run("diff", baseline, candidate, "--seed", 3)[0] == code


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
