"""The values a reader of a report sees: signs, units, order, positions and caps, pinned.

Expected texts are worked out from the inputs (or are the README's documented output), never
copied from a run of the renderers."""
import copy
import json
import os
import re
import subprocess
import sys
import xml.etree.ElementTree as ET
from pathlib import Path

import pytest
from test_compare import synthetic_suite
from test_reports import BASELINE, CANDIDATE, PRICING, example_records, junit_cases, velkin

from velkin import _core, _native
from velkin.compare import compare_runs, load_run
from velkin.reports import junit, markdown, model

HOST_COMMENT_LIMIT = 65_000  # below the 65,536 characters hosts accept in a comment


# ---- signs and units ---------------------------------------------------------------------

@pytest.mark.parametrize("value, unit, signed, text", [
    (-0.0039, "USD", True, "-$0.0039"),
    (-0.0039, "USD", False, "-$0.0039"),
    (0.001, "USD", True, "+$0.0010"),
    (0.0107, "USD", False, "$0.0107"),
    (-0.00012, "USD", True, "-$0.00012"),
    (0.00012, "USD", True, "+$0.00012"),
    (0.0, "USD", True, "+$0.0000"),
    (-0.443, "", True, "-0.443"),
    (0.5, "", True, "+0.500"),
    (0.557, "similarity", False, "0.557"),
    (-0.667, "rate", True, "-66.7 pp"),
    (0.333, "rate", False, "33.3%"),
    (-20.0, "ms", True, "-20 ms"),
    (540.0, "ms", True, "+540 ms"),
    (-3.0, "tokens", True, "-3 tokens"),
    (12.25, "tokens", True, "+12.2 tokens"),
    (-1234.0, "ms", True, "-1,234 ms"),
    (None, "ms", True, "n/a"),
])
def test_numbers_keep_their_sign_and_unit(value, unit, signed, text):
    assert model.fmt_number(value, unit, signed) == text


def test_the_readme_example_reads_as_documented():
    """The README shows these lines of `velkin diff ... --seed 7`; a lost sign or unit changes them."""
    out = velkin("diff", BASELINE, CANDIDATE, "--pricing", PRICING, "--seed", "7", env={"COLUMNS": "80"}).stdout
    readme = (Path(BASELINE).parent.parent / "README.md").read_text(encoding="utf-8")
    documented = readme[readme.index("Axes  (candidate"):readme.index("What changed  (9 divergences)")]
    shown = out[out.index("Axes  (candidate"):out.index("What changed  (9 divergences)")]
    assert shown == documented
    for line in ("  cost           $0.0107    $0.0106  -$0.00012  = same     none",
                 "    95% [-$0.0039, +$0.0010] · ci crosses zero", "    95% [-0.925, -0.041]",
                 "    95% [-100.0 pp, -33.3 pp] · n 6", "    95% [-20 ms, +540 ms] · ci crosses zero"):
        assert line in shown.splitlines(), line


# ---- order -------------------------------------------------------------------------------

# The example's structural divergences by confidence: two whole turns (1.0 each, in path order),
# the tool-set change (0.44), the dropped booking (0.22), the duplicated lookup (0.20) and the
# added currency call (0.09); its decision drifts are warnings and rank below every error.
TOP_FIVE = ["baseline #3 / candidate #3", "baseline #6 / candidate #5", "baseline #7 / candidate #7",
            "baseline #6 / candidate #6", "baseline #1 / candidate #1"]


def test_findings_rank_by_severity_then_confidence_in_every_format(tmp_path):
    baseline, candidate = example_records()
    divergences = [s["divergence"] for s in _native.alignment(baseline, candidate) if s["divergence"]]
    ranked = sorted(divergences, key=lambda d: (d["kind"] != "structural_drift", -d["confidence"]))
    where = [model.turns_label(d["baseline_turn"], d["candidate_turn"]) for d in ranked]
    assert where[:5] == TOP_FIVE

    out = velkin("diff", BASELINE, CANDIDATE, "--pricing", PRICING, env={"COLUMNS": "200"}).stdout
    shown = re.findall(r"^  (?:ERROR|WARNING) +(baseline #\d+ / candidate #\d+)", out, re.M)
    assert shown == TOP_FIVE

    md = velkin("diff", BASELINE, CANDIDATE, "--pricing", PRICING, "--format", "markdown").stdout
    # A zero-width space keeps "#3" from linking to issue 3 on GitHub.
    assert re.findall(r"^- \*\*\w+\*\* at (baseline #&#8203;\d+ / candidate #&#8203;\d+)", md, re.M) == \
        [w.replace("#", "#&#8203;") for w in where]

    page = tmp_path / "r.html"
    velkin("diff", BASELINE, CANDIDATE, "--pricing", PRICING, "--html", page)
    top = page.read_text(encoding="utf-8").split('<ol class="top">')[1].split("</ol>")[0]
    assert re.findall(r'<a href="#[^"]+">(baseline #\d+ / candidate #\d+)</a>', top) == TOP_FIVE


def test_run_directories_are_read_in_name_order(tmp_path):
    names = ["07", "02", "11", "01", "10", "05", "03", "09", "04", "08", "06", "00"]  # neither sorted nor reversed
    for name in names:
        record = {"version": "0.1", "id": f"r{name}", "kind": "chat_response", "ts": "t",
                  "payload": {"content": [{"type": "text", "text": name}]}}
        (tmp_path / f"{name}.agentlog").write_bytes(_core.write_agentlog([record]))
    (tmp_path / "notes.txt").write_text("not a trace")
    assert [r["id"] for r in load_run(tmp_path)] == [f"r{n}" for n in sorted(names)]


# ---- positions in the forest plot ----------------------------------------------------------

def plot_points(page: str) -> dict:
    """Axis name -> (low, point, high) x positions of its SVG, the zero line being at 50."""
    points = {}
    for name, svg in re.findall(r'<svg [^>]*aria-label="(\w+): [^"]*">(.*?)</svg>', page, re.S):
        xs = re.findall(r'<line class="tone-[\w-]+( point)?" x1="([\d.]+)" y1="(\d+)" x2="([\d.]+)"', svg)
        if xs:
            bar = next((float(a), float(b)) for point, a, y, b in xs if not point and y == "20")
            point = next(float(a) for p, a, _, _ in xs if p)
            points[name] = (bar[0], point, bar[1])
    return points


def test_the_forest_plot_puts_decreases_left_of_zero_and_increases_right(tmp_path):
    page = tmp_path / "r.html"
    velkin("diff", BASELINE, CANDIDATE, "--pricing", PRICING, "--seed", "7", "--html", page)
    points = plot_points(page.read_text(encoding="utf-8"))
    # From the README's figures: semantic -0.443 in [-0.925, -0.041], trajectory +0.5 in [0, +1],
    # conformance -66.7 pp in [-100, -33.3], latency +160 in [-20, +540].
    assert points["semantic"][1] < 50 and points["semantic"][2] < 50
    assert points["conformance"][2] < 50 and points["trajectory"][1] > 50 and points["trajectory"][0] == 50
    assert points["latency"][0] < 50 < points["latency"][1] < points["latency"][2]
    for low, point, high in points.values():
        assert 5 <= low <= point <= high <= 95
    # Each axis is scaled by its largest end: that end lies 45 units from the zero line.
    assert points["semantic"][0] == pytest.approx(5.0 + 45.0 * (1 - 1 / 1.1), abs=1e-3)
    assert points["latency"][2] == pytest.approx(50.0 + 45.0 / 1.1, abs=1e-3)


# ---- caps ----------------------------------------------------------------------------------

@pytest.fixture(scope="module")
def real():
    baseline, candidate = synthetic_suite(24, change=True)
    return compare_runs(baseline, candidate, seed=3)


def finding(i: int, severity="error") -> dict:
    return {"kind": "tool_dropped", "severity": severity, "direction": "worse", "subject": "lookup",
            "explanation": f"finding number {i}", "baseline_turn": i, "candidate_turn": i, "candidate_run": 0}


def regressed(real, conversations: int, findings: int) -> model.Report:
    result = copy.deepcopy(real)
    result["verdict"] = "regressed"
    result["recommendations"] = []
    for axis in result["axes"]:
        axis["severity"] = "none"  # only the conversations fail
    for i, c in enumerate(result["conversations"]):
        c["regressed"] = i < conversations
        c["findings"] = [finding(j) for j in range(findings)] if i < conversations else []
    return model.from_compare(result, paths=("a", "b"))


@pytest.mark.parametrize("count, listed, more", [(199, 199, None), (200, 200, None), (201, 200, 1), (350, 200, 150)])
def test_junit_lists_at_most_200_findings_per_case(real, count, listed, more):
    root = ET.fromstring(junit.render(regressed(real, 1, count)))
    failure = next(c for c in root.iter("testcase") if c.find("failure") is not None).find("failure")
    lines = failure.text.split("\n")
    assert lines[:listed] == [f"baseline #{j} / candidate #{j}: finding number {j}" for j in range(listed)]
    assert lines[listed:] == ([f"\u2026 and {more} more"] if more else [])
    assert failure.get("message") == "baseline #0 / candidate #0: finding number 0"


@pytest.mark.parametrize("conversations", [1, 23, 24])
def test_junit_has_one_case_per_axis_and_per_regressed_conversation(real, conversations):
    xml = junit.render(regressed(real, conversations, 1))
    cases = junit_cases(xml)
    assert len(cases) == 1 + len(real["axes"]) + conversations  # the models, the axes, the conversations
    assert cases[0] == ("model", False)
    assert sum(failed for _, failed in cases) == conversations
    root = ET.fromstring(xml)
    assert root.get("tests") == str(len(cases)) and root.get("failures") == str(conversations)


@pytest.mark.parametrize("findings, shown", [(19, 19), (20, 20), (21, 20)])
def test_markdown_lists_the_top_20_findings(real, findings, shown):
    md = markdown.render(regressed(real, 1, findings))
    assert f"### Top findings ({shown} of {findings})" in md
    assert re.findall(r"^- \*\*error\*\* at ` task_id 0 `: baseline #&#8203;(\d+)", md, re.M) == \
        [str(j) for j in range(shown)]


@pytest.mark.parametrize("conversations, more", [(19, None), (20, None), (21, 1), (24, 4)])
def test_markdown_lists_20_changed_conversations_then_a_count(real, conversations, more):
    md = markdown.render(regressed(real, conversations, 1))
    section = md[md.index("### Conversations"):]
    listed = re.findall(r"^- ` task_id (\d+) `: regressed, 1 error\(s\)$", section, re.M)
    assert listed == [str(i) for i in range(min(conversations, 20))]
    assert re.findall(r"^- \u2026 and (\d+) more$", section, re.M) == ([str(more)] if more else [])


@pytest.mark.parametrize("length, kept", [(markdown.LIMIT - 2, True), (markdown.LIMIT - 1, True),
                                          (markdown.LIMIT, False), (markdown.LIMIT + 1, False)])
def test_markdown_is_cut_below_its_limit_only_when_it_must_be(length, kept):
    tried = []

    def text_of(items):
        tried.append(items)
        return "x" * length

    text = markdown.fit(text_of)
    assert text == "x" * length if kept else (len(text) == markdown.LIMIT - 1 and text.endswith(markdown.CUT))
    assert tried == ([markdown.SHOWN_FINDINGS] if kept else [20, 10, 5, 2, 1, 0])


def test_markdown_of_a_huge_comparison_fits_a_comment(real):
    result = copy.deepcopy(real)
    result["signatures"] = [{"kind": "tool_dropped", "conversations": 9, "candidate_rate": 0.5, "baseline_rate": 0.0,
                             "significant": True, "p_adjusted": 0.01, "subjects": [{"name": f"tool_{i}" * 40,
                                                                                    "conversations": 9}]}
                            for i in range(400)]
    md = markdown.render(model.from_compare(result, paths=("a", "b")))
    assert len(md) == markdown.LIMIT - 1 < HOST_COMMENT_LIMIT and md.endswith("(cut to fit a comment)")


# ---- import summary ------------------------------------------------------------------------

def test_import_counts_the_spans_it_skips(tmp_path):
    def span(i, operation):
        return {"traceId": "abcdef12345678901234567890123456", "spanId": f"{i:016x}", "name": "x",
                "attributes": [{"key": "gen_ai.operation.name", "value": {"stringValue": operation}}]}
    operations = ["invoke_agent", "embeddings", "invoke_agent", "create_agent", "invoke_agent", "embeddings"]
    source = tmp_path / "spans.json"
    source.write_text(json.dumps({"resourceSpans": [{"scopeSpans": [{"spans": [
        span(i + 1, op) for i, op in enumerate(operations)]}]}]}))
    result = subprocess.run([sys.executable, "-m", "velkin", "import", source, "-o", tmp_path / "out.agentlog"],
                            capture_output=True, text=True, timeout=120, env=os.environ)
    assert result.returncode == 0, result.stderr
    assert "velkin: skipped 6 spans the importer does not map: 1 create_agent, 2 embeddings, 3 invoke_agent\n" \
        in result.stderr
