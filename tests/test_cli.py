"""The `velkin` command line, run as a user would run it."""
import json
import os
import subprocess
import sys

import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

from velkin import _core, cli

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
EXAMPLES = os.path.join(ROOT, "examples")
BASELINE = os.path.join(EXAMPLES, "baseline.agentlog")
CANDIDATE = os.path.join(EXAMPLES, "candidate.agentlog")
PRICING = os.path.join(EXAMPLES, "pricing.json")
AXES = ["semantic", "trajectory", "safety", "verbosity", "latency", "cost", "reasoning", "judge", "conformance"]

sys.path.insert(0, os.path.join(ROOT, "bench"))
import gen_trace  # noqa: E402


def velkin(*args, module="velkin.cli"):
    return subprocess.run([sys.executable, "-m", module, *map(str, args)], capture_output=True, text=True,
                          encoding="utf-8", cwd=ROOT, timeout=120)


def load(path):
    with open(path, "rb") as f:
        return _core.parse_agentlog(f.read())


def example_pricing():
    with open(PRICING) as f:
        return {model: tuple(p) if isinstance(p, list) else p for model, p in json.load(f).items()}


def write_trace(path, records):
    path.write_bytes(_core.write_agentlog(records))
    return str(path)


def response(text, stop_reason="end_turn", tools=()):
    content = [{"type": "text", "text": text}]
    content += [{"type": "tool_use", "name": name, "input": args} for name, args in tools]
    return {"content": content, "stop_reason": stop_reason,
            "usage": {"input_tokens": 100, "output_tokens": 20}, "latency_ms": 500, "model": "m"}


def trace(payloads):
    records, parent = [], None
    for i, payload in enumerate(payloads):
        record_id = f"sha256:{i:064x}"
        records.append({"version": "0.1", "id": record_id, "kind": "chat_response",
                        "ts": f"2025-01-01T00:00:{i:02d}Z", "parent": parent, "payload": payload})
        parent = record_id
    return records


def assert_clean_failure(result, *fragments):
    assert result.returncode == 2, result
    assert "Traceback" not in result.stderr
    for fragment in fragments:
        assert fragment in result.stderr
    assert result.stdout == ""


# diff -----------------------------------------------------------------------

def test_diff_json_is_the_report_dict():
    result = velkin("diff", BASELINE, CANDIDATE, "--pricing", PRICING, "--seed", 7, "--json")
    expected = _core.compute_diff_report(load(BASELINE), load(CANDIDATE), example_pricing(), 7)
    printed = json.loads(result.stdout)
    assert printed == expected
    assert list(printed) == list(expected)
    assert [row["axis"] for row in printed["rows"]] == AXES
    # Non-ASCII is printed as itself, two-space indentation.
    assert "\\u" not in result.stdout and "\n  \"rows\": [" in result.stdout
    assert result.returncode == (1 if any(r["severity"] == "error" for r in expected["recommendations"]) else 0)


def test_diff_readable_report_shows_every_section():
    result = velkin("diff", BASELINE, CANDIDATE, "--pricing", PRICING, "--seed", 7)
    report = _core.compute_diff_report(load(BASELINE), load(CANDIDATE), example_pricing(), 7)
    lines = result.stdout.splitlines()
    header = next(i for i, line in enumerate(lines) if line.startswith("axis "))
    table_rows = lines[header + 1:header + 10]
    assert [line.split()[0] for line in table_rows] == AXES
    for line, row in zip(table_rows, report["rows"]):
        cells = line.split()
        assert row["severity"] in cells and str(row["n"]) in cells
        assert all(flag in line for flag in row["flags"])
        if row["n"] == 0:
            assert cells[1:5] == ["-"] * 4
        elif abs(row["delta"]) >= 0.01 or row["delta"] == 0:
            assert f"{row['delta']:+.3f}" in cells
    # Columns line up: every severity starts at the same offset.
    assert len({line.index(" " + row["severity"] + " ") for line, row in zip(table_rows, report["rows"])}) == 1
    assert report["first_divergence"]["explanation"][:40] in result.stdout
    for rec in report["recommendations"]:
        assert rec["message"] in result.stdout
        assert rec["severity"].upper() in result.stdout
    assert "Drill-down" in result.stdout
    for pair in report["drill_down"]:
        assert any(line.split()[:1] == [str(pair["pair_index"])] and pair["dominant_axis"] in line
                   for line in lines)
    assert result.returncode == 1


def test_identical_traces_exit_zero():
    result = velkin("diff", BASELINE, BASELINE, "--seed", 1)
    assert result.returncode == 0, result.stderr
    assert "First divergence: none" in result.stdout


SEARCH = [("search", {"q": "lisbon"})]


@pytest.mark.parametrize("baseline_payload, candidate_payload, severities", [
    # A changed stop reason is a decision drift: a warning, the gate stays open.
    (response("Done."), response("Done.", "max_tokens"), {"warning"}),
    # ... unless the candidate was content-filtered.
    (response("Done."), response("Done.", "content_filter"), {"error"}),
    # A dropped tool call and a duplicated one are structural: errors.
    (response("Looking.", "tool_use", SEARCH), response("Looking."), {"error"}),
    (response("Looking.", "tool_use", SEARCH), response("Looking.", "tool_use", SEARCH * 2), {"error"}),
])
def test_exit_code_follows_error_recommendations(tmp_path, baseline_payload, candidate_payload, severities):
    baseline = write_trace(tmp_path / "b.agentlog", trace([baseline_payload]))
    candidate = write_trace(tmp_path / "c.agentlog", trace([candidate_payload]))
    result = velkin("diff", baseline, candidate, "--seed", 3, "--json")
    report = json.loads(result.stdout)
    assert severities <= {r["severity"] for r in report["recommendations"]}
    assert result.returncode == (1 if "error" in severities else 0)
    assert velkin("diff", baseline, candidate, "--seed", 3).returncode == result.returncode


def test_pricing_pairs_are_taken_as_input_output_prices(tmp_path):
    records = trace([response("Same answer.")])
    path = write_trace(tmp_path / "t.agentlog", records)
    pricing = tmp_path / "p.json"
    pricing.write_text('{"m": [0.5, 2]}')
    report = json.loads(velkin("diff", path, path, "--pricing", pricing, "--seed", 0, "--json").stdout)
    cost = report["rows"][AXES.index("cost")]
    # 100 input tokens at 0.5 plus 20 output tokens at 2.
    assert cost["baseline_median"] == cost["candidate_median"] == 100 * 0.5 + 20 * 2.0
    assert "no_pricing" not in cost["flags"]


def test_examples_exercise_every_divergence_kind():
    """Walks the examples divergence by divergence: the report names only the first
    one along the alignment, so each step restarts after the last one found."""
    baseline = [r for r in load(BASELINE) if r["kind"] == "chat_response"]
    candidate = [r for r in load(CANDIDATE) if r["kind"] == "chat_response"]
    found, b, c = [], 0, 0
    while True:
        first = _core.compute_diff_report(baseline[b:], candidate[c:], None, 0)["first_divergence"]
        if first is None:
            break
        text = first["explanation"]
        found.append(text)
        if text.startswith("candidate dropped a"):
            b, c = b + first["baseline_turn"] + 1, c + first["candidate_turn"]
        elif text.startswith("candidate inserted"):
            b, c = b + first["baseline_turn"], c + first["candidate_turn"] + 1
        else:
            b, c = b + first["baseline_turn"] + 1, c + first["candidate_turn"] + 1
    kinds = ["response text diverged", "duplicate tool invocation", "stop_reason changed", "candidate dropped a turn",
             "tool arg value changed", "candidate added tool call(s)", "candidate inserted an extra turn",
             "candidate dropped tool call(s)", "tool set changed"]
    assert [next(k for k in kinds if k in text) for text in found] == kinds


# bad input and usage ----------------------------------------------------------

def test_missing_file(tmp_path):
    missing = tmp_path / "nope.agentlog"
    assert_clean_failure(velkin("diff", missing, CANDIDATE), str(missing), "No such file")
    assert_clean_failure(velkin("validate", missing), str(missing))
    assert_clean_failure(velkin("id", missing), str(missing))


@pytest.mark.parametrize("bad_line", [
    b'{"version":"0.1","id":"x","kind":"chat_response","ts":"t","parent":null}',
    b'{"version":"0.1","id":"x","kind":"Chat_Request","ts":"t","payload":null}',
    b"not json",
    b'{"version":1}',
    b"\xff\xfe",
])
def test_malformed_trace_line_reports_the_parser_message(tmp_path, bad_line):
    good = _core.write_agentlog(trace([response("fine")]))
    path = tmp_path / "bad.agentlog"
    path.write_bytes(good + bad_line + b"\n")
    with pytest.raises(ValueError) as parse_error:
        _core.parse_agentlog(path.read_bytes())
    message = str(parse_error.value)
    assert "on line 2" in message
    assert_clean_failure(velkin("validate", path), message)
    assert_clean_failure(velkin("diff", BASELINE, path), message, str(path))


@pytest.mark.parametrize("pricing, fragment", [
    ("{not json", "invalid JSON"),
    ("[1, 2]", "pricing must be a JSON object"),
    ('{"m": {"input": 1.0}}', "pricing value: missing field `output`"),
    ('{"m": [1, 2, 3]}', "pricing value: invalid length 3, expected struct ModelPricing with 7 elements"),
    ('{"m": "cheap"}', "pricing value: invalid type"),
    ('{"m": [1, NaN]}', "NaN"),
])
def test_bad_pricing(tmp_path, pricing, fragment):
    path = tmp_path / "pricing.json"
    path.write_text(pricing)
    assert_clean_failure(velkin("diff", BASELINE, CANDIDATE, "--pricing", path), fragment, str(path))


@pytest.mark.parametrize("args", [
    [],
    ["frobnicate"],
    ["diff", BASELINE],
    ["diff", BASELINE, CANDIDATE, "--seed", "-1"],
    ["diff", BASELINE, CANDIDATE, "--seed", str(2**64)],
    ["diff", BASELINE, CANDIDATE, "--seed", "seven"],
    ["validate"],
    ["id", "a.json", "b.json"],
])
def test_bad_usage(args):
    assert_clean_failure(velkin(*args), "usage:")


def test_largest_seed_is_accepted():
    result = velkin("diff", BASELINE, BASELINE, "--seed", 2**64 - 1)
    assert result.returncode == 0, result.stderr


# validate and id --------------------------------------------------------------

@pytest.mark.parametrize("data, count", [
    (b"", 0),
    (b"\n\r\n", 0),
    # Blank lines and CRLF endings are not records.
    (open(CANDIDATE, "rb").read().replace(b"\n", b"\r\n\n"), sum(1 for _ in open(CANDIDATE, "rb"))),
])
def test_validate_counts_records(tmp_path, data, count):
    path = tmp_path / "t.agentlog"
    path.write_bytes(data)
    result = velkin("validate", path)
    assert (result.returncode, result.stdout) == (0, f"ok: {count} records\n")


@pytest.mark.parametrize("document", [
    {"b": 1, "a": [True, None, 1.5]},
    [],
    "Zürich — 東京 🚀",
    {"nested": {"é": 2**64 - 1, "e\u0301": -2**63}},
])
def test_id_is_the_content_id_of_the_document(tmp_path, document):
    path = tmp_path / "doc.json"
    path.write_text(json.dumps(document, ensure_ascii=False), encoding="utf-8")
    result = velkin("id", path)
    assert (result.returncode, result.stdout) == (0, _core.content_id(document) + "\n")


def test_id_of_the_empty_object_is_its_sha256(tmp_path):
    import hashlib
    path = tmp_path / "empty.json"
    path.write_text("{}")
    assert velkin("id", path).stdout.strip() == "sha256:" + hashlib.sha256(b"{}").hexdigest()


@pytest.mark.parametrize("content, fragment", [
    (b"{", "invalid JSON"),
    (b"[NaN]", "NaN is not valid JSON"),
    (b'"\xff"', "not UTF-8"),
    (b"18446744073709551616", "JSON number out of range"),
    (b"[" * 100000, "invalid JSON"),
])
def test_id_bad_input(tmp_path, content, fragment):
    path = tmp_path / "doc.json"
    path.write_bytes(content)
    assert_clean_failure(velkin("id", path), fragment)


def test_python_dash_m_velkin(tmp_path):
    path = tmp_path / "doc.json"
    path.write_text("[1]")
    result = velkin("id", path, module="velkin")
    assert (result.returncode, result.stdout) == (0, _core.content_id([1]) + "\n")


# the gate over many generated traces -------------------------------------------

@settings(max_examples=12, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(seed=st.integers(0, 2**32), perturb=st.sampled_from([0.0, 0.2, 0.6]), n=st.integers(0, 6))
def test_generated_traces_round_trip_through_diff(tmp_path, capsys, seed, perturb, n):
    baseline, candidate = gen_trace.generate(n, seed, text_bytes=120, perturb=perturb)
    b = write_trace(tmp_path / "b.agentlog", baseline)
    c = write_trace(tmp_path / "c.agentlog", candidate)
    code = cli.main(["diff", b, c, "--seed", str(seed), "--json"])
    report = json.loads(capsys.readouterr().out)
    assert report == _core.compute_diff_report(baseline, candidate, None, seed)
    assert code == (1 if any(r["severity"] == "error" for r in report["recommendations"]) else 0)
    assert cli.main(["diff", b, c, "--seed", str(seed)]) == code
    readable = capsys.readouterr().out
    assert all(f"\n{axis} " in readable for axis in AXES)
