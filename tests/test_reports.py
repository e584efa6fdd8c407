"""Reports as users see them: the terminal text, Markdown and JUnit of `velkin diff`, and the same
renderers fed a run comparison."""
import os
import pty
import re
import subprocess
import sys
import textwrap
import unicodedata
from pathlib import Path

import pytest
import xmlschema
from hypothesis import given
from hypothesis import strategies as st
from test_compare import trials  # noqa: F401  (a fixture: the four tau-bench trials as runs)

from velkin import _core, _native
from velkin.compare import compare_runs
from velkin.reports import html, junit, markdown, model, terminal

ROOT = Path(__file__).resolve().parent.parent
BASELINE, CANDIDATE, PRICING = (str(ROOT / "examples" / name)
                                for name in ("baseline.agentlog", "candidate.agentlog", "pricing.json"))
JUNIT_SCHEMA = xmlschema.XMLSchema(str(ROOT / "tests" / "data" / "junit" / "junit.xsd"))
ANSI = re.compile(r"\x1b\[[0-9;]*m")
MARKDOWN_LIMIT = 65_000


def velkin(*args, env=None, **kwargs):
    return subprocess.run([sys.executable, "-m", "velkin", *map(str, args)], capture_output=True, text=True,
                          encoding="utf-8", cwd=ROOT, timeout=300, env={**os.environ, **(env or {})}, **kwargs)


def columns(line: str) -> int:
    """Display columns of a line: East Asian wide characters take two, combining marks none."""
    return sum(2 if unicodedata.east_asian_width(ch) in "WF" else 0 if unicodedata.combining(ch) else 1
               for ch in ANSI.sub("", line))


def flat(text: str) -> str:
    return " ".join(text.split())


def example_records():
    return [_core.parse_agentlog(Path(path).read_bytes()) for path in (BASELINE, CANDIDATE)]


def example_divergences():
    return [s["divergence"] for s in _native.alignment(*example_records()) if s["divergence"]]


# ---- the full alignment from the native side ---------------------------------------

def test_alignment_covers_every_turn_and_holds_the_reports_divergences():
    baseline, candidate = example_records()
    steps = _native.alignment(baseline, candidate)
    counts = [sum(r["kind"] == "chat_response" for r in side) for side in (baseline, candidate)]
    assert [s["baseline_turn"] for s in steps if s["baseline_turn"] is not None] == list(range(counts[0]))
    assert [s["candidate_turn"] for s in steps if s["candidate_turn"] is not None] == list(range(counts[1]))
    divergences = [s["divergence"] for s in steps if s["divergence"]]
    # Dropped and inserted turns always diverge; matched ones above the threshold the walk uses.
    assert all(s["divergence"] for s in steps if s["step"] != "match")
    assert all((s["divergence"] is not None) == (s["cost"] > 0.12) for s in steps if s["step"] == "match")
    report = _core.compute_diff_report(baseline, candidate, None, 0)
    assert divergences[0] == report["first_divergence"]
    assert all(d in divergences for d in report["divergences"]) and len(divergences) > len(report["divergences"])
    cabin = next(s for s in steps if s["arguments"])
    assert cabin["arguments"] == [{"tool": "search_flights", "argument": "cabin", "baseline": '"economy"',
                                   "candidate": '"business"'}]
    assert _native.alignment(baseline, baseline) == [dict(s, cost=0.0, divergence=None, model=None) for s in
                                                     _native.alignment(baseline, baseline)]
    assert _native.alignment([], candidate) == []


@pytest.mark.parametrize("args, error", [
    (([{"kind": "chat_response"}], []), ValueError),
    (("not a list", []), TypeError),
    (([],), TypeError),
])
def test_alignment_rejects_bad_arguments(args, error):
    with pytest.raises(error):
        _native.alignment(*args)


# ---- terminal ----------------------------------------------------------------------

@pytest.mark.parametrize("width", [None, 40, 57, 132])
@pytest.mark.parametrize("options", [[], ["--all", "--show-turns"]])
def test_terminal_lines_fit_the_width_without_colour_in_a_pipe(width, options):
    env = {"COLUMNS": str(width)} if width else {}
    result = velkin("diff", BASELINE, CANDIDATE, "--pricing", PRICING, *options,
                    env={**env, "NO_COLOR": ""} if width else {"COLUMNS": ""})
    lines = result.stdout.splitlines()
    assert result.returncode == 1 and lines[0].startswith("\u2717 REGRESSED")
    assert max(map(columns, lines)) <= (width or 80)
    assert "\x1b[" not in result.stdout


def on_a_terminal(*args, env=None):
    """Output of velkin run with a pseudo-terminal as its standard output."""
    leader, follower = pty.openpty()
    process = subprocess.Popen([sys.executable, "-m", "velkin", *map(str, args)], stdout=follower,
                               stderr=subprocess.DEVNULL, cwd=ROOT, env={**os.environ, "COLUMNS": "100", **(env or {})})
    os.close(follower)
    chunks = []
    while True:
        try:
            chunk = os.read(leader, 65536)
        except OSError:  # the follower side closed
            break
        if not chunk:
            break
        chunks.append(chunk)
    process.wait(timeout=120)
    os.close(leader)
    return b"".join(chunks).decode("utf-8")


@pytest.mark.parametrize("options, env, coloured", [
    ([], {"NO_COLOR": ""}, True),
    ([], {"NO_COLOR": "1"}, False),
    (["--color", "never"], {"NO_COLOR": ""}, False),
    (["--color", "always"], {"NO_COLOR": "1"}, True),
])
def test_colour_on_a_terminal_only_as_asked(options, env, coloured):
    out = on_a_terminal("diff", BASELINE, CANDIDATE, "--pricing", PRICING, *options, env=env)
    assert ("\x1b[" in out) == coloured
    assert max(map(columns, out.splitlines())) <= 100


def test_piped_colour_always_is_honoured():
    assert "\x1b[" in velkin("diff", BASELINE, CANDIDATE, "--color", "always").stdout


# Texts of ASCII, tabs, newlines, colour codes, wide characters and combining marks.
REPORT_TEXT = st.lists(st.sampled_from(["word", "a", " ", "  ", "\t", "\n", "-", "\x1b[31m", "\x1b[0m", "\x07",
                                        "\u4e2d", "e\u0301", "\u00e9", "x" * 30]), max_size=30).map("".join)


@given(REPORT_TEXT)
def test_display_width_counts_columns_as_a_terminal_draws_them(text):
    assert terminal.display_width(text) == columns(text)


@given(st.lists(st.sampled_from(["word", "a", " ", "  ", "\t", "\n", "-", "x" * 30, "\u00e9"]), max_size=30)
       .map("".join), st.integers(40, 100), st.sampled_from(["", "  ", "  ERROR    "]))
def test_wrapped_lines_are_the_words_textwrap_fills_to_the_width(text, width, indent):
    # Characters of one column each: every line is what textwrap makes of its paragraph.
    expected = []
    for paragraph in terminal.visible(text).split("\n"):
        first = indent if not expected else "    "
        expected += textwrap.wrap(paragraph, width, initial_indent=first, subsequent_indent="    ",
                                  break_long_words=True, break_on_hyphens=False) or [first]
    assert terminal.Canvas(width, False).wrap(text, indent=indent, subsequent="    ") == expected


@pytest.mark.parametrize("width", [40, 80])
@pytest.mark.parametrize("axis, unit, mark", [
    ("semantic", "", "worse"), ("trajectory", "", "worse"), ("conformance", "%", "worse"),
    ("latency", " ms", ""), ("verbosity", " tokens", ""), ("cost", "$", ""), ("judge", "", "no data"),
])
def test_axes_carry_units_marks_and_severity_at_any_width(width, axis, unit, mark):
    out = velkin("diff", BASELINE, CANDIDATE, "--pricing", PRICING, env={"COLUMNS": str(width)}).stdout
    lines = out.splitlines()
    start = next(i for i, line in enumerate(lines) if line.split()[:1] == [axis])
    block = " ".join(lines[start:start + 3])  # a table row, or a narrow terminal's block of lines
    assert unit in block and mark in block
    assert any(word in block for word in ("worse", "better", "same", "unclear", "more", "less", "no data"))
    assert any(f" {severity}" in block for severity in ("none", "minor", "moderate", "severe"))


def test_all_lists_every_divergence_with_its_changes():
    divergences = example_divergences()
    out = velkin("diff", BASELINE, CANDIDATE, "--pricing", PRICING, "--all").stdout
    section = out[out.index("Every divergence"):out.index("Recommendations")]
    assert all(flat(d["explanation"]) in flat(section) for d in divergences)
    tags = [line for line in section.splitlines() if re.match(r"  (ERROR|WARNING)\b", line)]
    assert len(tags) == len(divergences) and len(divergences) > 5
    for change in ['search_flights(cabin): "economy" \u2192 "business"', "stop reason: end_turn \u2192 max_tokens",
                   "convert_currency(amount,source,target): added",
                   "nimbus-pro-2025-04-10 \u2192 nimbus-pro-2025-06-01"]:
        assert change in flat(section), change
    short = velkin("diff", BASELINE, CANDIDATE, "--pricing", PRICING).stdout
    assert f"{len(divergences) - 5} more: run with --all" in flat(short)


def test_all_names_a_model_switch_that_changed_nothing_else(tmp_path):
    paths = []
    for side, models in (("b", ["m", "m", "m"]), ("c", ["m", "m-next", "m"])):
        records = [{"version": "0.1", "id": f"{side}{i}", "kind": "chat_response", "ts": "t",
                    "payload": {"model": model, "stop_reason": "end_turn",
                                "content": [{"type": "text", "text": f"Answer number {i}, the same on both sides."}]}}
                   for i, model in enumerate(models)]
        paths.append(tmp_path / f"{side}.agentlog")
        paths[-1].write_bytes(_core.write_agentlog(records))
    result = velkin("diff", *paths, "--all")
    assert result.returncode == 0 and "(0 divergences)" in result.stdout
    assert "model switched at baseline #1 / candidate #1 (no other change): m \u2192 m-next" in flat(result.stdout)


def test_show_turns_puts_both_texts_side_by_side():
    out = velkin("diff", BASELINE, CANDIDATE, "--show-turns", "--all", "--pricing", PRICING).stdout
    section = out[out.index("Turns side by side"):]
    pairs = [line.split(" \u2502 ") for line in section.splitlines() if " \u2502 " in line]
    left, right = (flat(" ".join(p[i] for p in pairs)) for i in (0, 1))
    assert "lookup_policy" in left and "(no turn)" in right  # the dropped turn
    assert "find_restaurants" in right and "(no turn)" in left  # the inserted turn
    assert '"cabin":"economy"' in left.replace(" ", "") and '"cabin":"business"' in right.replace(" ", "")


def test_trace_text_cannot_drive_the_terminal_or_the_markup(tmp_path):
    hostile = "\x1b[2J\x1b]0;owned\x07 \u202eevil <details><img src=x> | cell"
    records = []
    for side, value in (("b", "economy"), ("c", hostile)):
        turns = [[{"type": "text", "text": f"Booking {value}."},  # an argument value changes
                  {"type": "tool_use", "name": "book", "input": {"cabin": value}}],
                 [{"type": "tool_use", "name": f"{side}\x01\x1b[31m", "input": {}}]]  # so does a tool's name
        payloads = [{"model": "m", "stop_reason": "tool_use", "usage": {"input_tokens": 1, "output_tokens": 1},
                     "content": content} for content in turns]
        path = tmp_path / f"{side}.agentlog"
        path.write_bytes(_core.write_agentlog([{"version": "0.1", "id": f"{side}{i}", "kind": "chat_response",
                                                "ts": "t", "payload": p} for i, p in enumerate(payloads)]))
        records.append(path)
    text = velkin("diff", *records, "--all", "--show-turns").stdout
    assert "\x1b" not in text and "\x07" not in text and "\u202e" not in text and "\\x1b[2J" in text
    xml = tmp_path / "r.xml"
    md = velkin("diff", *records, "--format", "markdown", "--junit", xml).stdout
    assert junit_cases(xml.read_text(encoding="utf-8"))  # control characters would make the XML unreadable
    outside_code = re.sub(r"``.*?``|`[^`]*`", "", md)
    for markup in ("<details>", "<summary>", "</summary>", "</details>"):  # the summary's own
        outside_code = outside_code.replace(markup, "")
    assert "<" not in outside_code and "\\u202eevil <details><img src=x> | cell\" `)" in md  # in a code span


# ---- Markdown and JUnit --------------------------------------------------------------

def junit_cases(xml: str):
    JUNIT_SCHEMA.validate(xml)
    import xml.etree.ElementTree as ET
    root = ET.fromstring(xml)
    return [(case.get("name"), case.find("failure") is not None) for case in root.iter("testcase")]


def test_markdown_and_junit_of_the_example(tmp_path):
    report = tmp_path / "report.xml"
    result = velkin("diff", BASELINE, CANDIDATE, "--pricing", PRICING, "--format", "markdown", "--junit", report)
    assert result.returncode == 1 and len(result.stdout) < MARKDOWN_LIMIT
    assert result.stdout.startswith("## velkin diff: \u274c **Regressed**")
    assert all(f"| {axis} |" in result.stdout for axis in model.AXIS_INFO)
    cases = junit_cases(report.read_text())
    assert [name for name, _ in cases[:9]] == list(model.AXIS_INFO) and len(cases) == 10
    failed = {name for name, failure in cases if failure}
    assert {"semantic", "trajectory", "conformance"} <= failed and "latency" not in failed
    assert cases[9] == ("travel-assistant-v1 vs travel-assistant-v2", True)


def test_unchanged_run_gives_passing_junit(tmp_path):
    report = tmp_path / "report.xml"
    assert velkin("diff", BASELINE, BASELINE, "--junit", report).returncode == 0
    cases = junit_cases(report.read_text())
    assert len(cases) == 9 and not any(failure for _, failure in cases)


def big_trace(n: int, changed: bool) -> list:
    """n responses; the candidate changes arguments, tools, stop reasons and texts in many turns."""
    records = []
    for i in range(n):
        tools = [{"type": "tool_use", "name": f"tool_{i % 7}", "input": {"q": f"query {i}", "page": i % 3}}]
        text = f"Step {i}: looking up item {i} in the catalogue for the customer."
        stop = "tool_use"
        if changed and i % 3 == 0:  # now and then a whole document as the new value
            tools[0]["input"]["q"] = f"other query {i} " + "\u00e9\u6771 | `x` " * (i % 5) * (1 + 2000 * (i % 4 == 0))
        if changed and i % 11 == 0:
            tools.append({"type": "tool_use", "name": "extra_lookup", "input": {"id": i}})
        if changed and i % 13 == 0:
            stop, text = "max_tokens", f"Completely different wording number {i} | with `pipes` and <tags>"
        payload = {"model": "m", "content": [{"type": "text", "text": text}, *tools], "stop_reason": stop,
                   "usage": {"input_tokens": 100 + i % 50, "output_tokens": 20 + i % 9}, "latency_ms": 500 + i % 97}
        records.append({"version": "0.1", "id": f"r{i}", "kind": "chat_response", "ts": "t", "payload": payload})
    if changed:
        del records[5000:5003]
    return records


def test_markdown_stays_under_the_comment_limit_on_10000_responses(tmp_path):
    baseline, candidate = tmp_path / "b.agentlog", tmp_path / "c.agentlog"
    baseline.write_bytes(_core.write_agentlog(big_trace(10_000, False)))
    candidate.write_bytes(_core.write_agentlog(big_trace(10_000, True)))
    junit_file, html_file = tmp_path / "r.xml", tmp_path / "r.html"
    result = velkin("diff", baseline, candidate, "--format", "markdown", "--junit", junit_file, "--html", html_file)
    assert result.returncode == 1, result.stderr
    assert len(result.stdout) < MARKDOWN_LIMIT and "Top findings" in result.stdout
    junit_cases(junit_file.read_text())
    # The candidate trace is over 40 MB of long arguments; the reports quote them shortened.
    assert junit_file.stat().st_size < 1_000_000 and html_file.stat().st_size < 2_000_000
    assert "more characters)" in html_file.read_text(encoding="utf-8")


# ---- a run comparison ----------------------------------------------------------------

def comparison(verdict="regressed"):
    axis = {"axis": "latency", "delta": 120.0, "ci95_low": 80.0, "ci95_high": 160.0, "severity": "severe",
            "calibrated": True, "n": 40, "baseline_median": 700.0, "candidate_median": 820.0, "p_value": 0.001}
    calm = dict(axis, axis="semantic", delta=-0.01, ci95_low=-0.03, ci95_high=0.02, severity="none", p_value=0.6,
                baseline_median=0.91, candidate_median=0.90)
    conversations = [
        {"key": "task-3", "status": "paired", "baseline_ids": ["b3"], "candidate_ids": ["c3"], "regressed": False,
         "findings": []},
        {"key": "task-7", "status": "paired", "baseline_ids": ["b7"], "candidate_ids": ["c7"], "regressed": True,
         "findings": [{"kind": "structural_drift", "severity": "error", "baseline_turn": 2, "candidate_turn": 2,
                       "explanation": "candidate dropped tool call(s): `book_reservation(cabin)`"}]},
        {"key": "task-9", "status": "baseline_only", "baseline_ids": ["b9"], "candidate_ids": [], "regressed": False,
         "findings": []},
        {"key": "task-12", "status": "paired", "baseline_ids": ["b12"], "candidate_ids": ["c12"], "regressed": True,
         "findings": [{"kind": "decision_drift", "severity": "warning", "baseline_turn": 4, "candidate_turn": 5,
                       "explanation": "tool arg value changed: `search(cabin)`: `\"economy\"` \u2192 `\"business\"`"}]},
    ]
    outcome = {"member": "reward", "n": 3, "baseline_mean": 0.8, "candidate_mean": 0.5, "delta": -0.3,
               "ci95_low": -0.5, "ci95_high": -0.1, "p_adjusted": 0.02, "lost": ["task-7"]}
    signatures = [{"kind": "dropped_tool", "conversations": 1, "candidate_rate": 0.25, "baseline_rate": 0.0,
                   "p_adjusted": 0.04, "significant": True},
                  {"kind": "added_turn", "conversations": 0, "candidate_rate": 0.0, "baseline_rate": 0.0,
                   "p_adjusted": 1.0, "significant": False}]
    return {"verdict": verdict, "calibrated": True, "seed": 0, "version": "9.9.9", "axes": [calm, axis],
            "baseline_runs": 3, "candidate_runs": 1, "paired": 3, "baseline_only": 1, "candidate_only": 0,
            "outcome": outcome, "signatures": signatures, "conversations": conversations,
            "recommendations": [{"severity": "error", "message": "Restore book_reservation in task-7."}]}


def test_renderers_take_a_run_comparison():
    report = model.from_compare(comparison(), paths=("runs/main", "runs/pr"))
    text = terminal.render(report, width=60)
    lines = text.splitlines()
    assert lines[0].startswith("\u2717 REGRESSED") and max(map(columns, lines)) <= 60 and "\x1b[" not in text
    listed = [k for k in ("task-7", "task-12", "task-3", "task-9") if f"  {k}:" in text]
    assert [text.index(f"  {k}:") for k in listed] == sorted(text.index(f"  {k}:") for k in listed)
    assert len(listed) == 4 and "latency" in text and "+120 ms" in text
    assert "outcome `reward` over 3 conversations: 0.800 \u2192 0.500" in flat(text)
    assert "signature dropped_tool" in text and "added_turn" not in text

    page = html.render(report)
    details = re.findall(r'<details class="conv( regressed)?"', page)
    assert details == [" regressed", " regressed", "", ""]
    assert page.count("<details") == 4 and "book_reservation(cabin)" in page

    md = markdown.render(report)
    assert "2 regressed, 0 improved of 4" in md and "` task-7 `" in md and len(md) < MARKDOWN_LIMIT

    cases = junit_cases(junit.render(report))
    assert cases == [("semantic", False), ("latency", True), ("task-7", True), ("task-12", True)]


def test_a_regressed_conversation_opens_its_aligned_turns():
    baseline, candidate = example_records()
    # Two conversations per run: the example one (named by its trace id) and another.
    other = [{"version": "0.1", "id": "o1", "kind": "chat_response", "ts": "t", "meta": {"trace_id": "other"},
              "payload": {"content": [{"type": "text", "text": "unrelated"}]}}]
    result = comparison()
    result["conversations"][1].update(baseline_ids=["travel-assistant-v1"], candidate_ids=["travel-assistant-v2"])
    read = []

    def run(name, records):  # a run read as the command reads it: when a conversation shown needs it
        return lambda: read.append(name) or records

    rows_of = model.conversation_rows([run("baseline 1", other + baseline), run("baseline 2", other)],
                                      [run("candidate 1", candidate + other)], _native.alignment)
    report = model.from_compare(result, paths=("a", "b"), rows_of=rows_of)
    unchanged = [c for c in report.conversations if not (c.regressed or c.improved)]
    assert [c.key for c in unchanged] == ["task-3", "task-9"] and not any(c.rows for c in unchanged) and read == []
    task7 = next(c for c in report.conversations if c.key == "task-7")
    assert [r.finding.explanation for r in task7.rows if r.finding] == [d["explanation"]
                                                                        for d in example_divergences()]
    assert all(not c.rows for c in report.conversations if c.key != "task-7")  # task-12's runs are not here
    # The first runs hold task-7; the second baseline run is read only to look for task-12, which no run holds.
    assert read == ["baseline 1", "candidate 1", "baseline 2"]
    page = html.render(report)
    assert page.count('class="step') == len(task7.rows) and 'id="conversation-task-7-turns-finding-b3-c3"' in page


def test_compare_command_writes_every_report(trials, tmp_path):
    from test_compare import by_conversation, drop_reservation_lookups
    paths = [tmp_path / f"run{i}.agentlog" for i in range(3)]
    candidate = by_conversation(trials[2])
    for conversation in candidate:
        drop_reservation_lookups(conversation)
    for path, run in zip(paths, [trials[0], trials[1], [r for c in candidate for r in c]]):
        path.write_bytes(_core.write_agentlog(run))
    page, xml, pricing = tmp_path / "r.html", tmp_path / "r.xml", tmp_path / "p.json"
    pricing.write_text('{"nobody": [1e-6, -1e-5]}')
    result = velkin("compare", "--baseline", paths[0], paths[1], "--candidate", paths[2], "--key", "task_id",
                    "--format", "markdown", "--html", page, "--junit", xml, "--pricing", pricing)
    assert result.returncode == 1 and result.stdout.startswith("## velkin compare: \u274c **Regressed**")
    assert "'nobody' has a negative price" in result.stderr
    assert re.search(r"candidate: \d+ responses name no model; they are left out of the cost axis", result.stderr)
    regressed = re.search(r"Conversations: (\d+) regressed, (\d+) improved of 25", result.stdout)
    cases = junit_cases(xml.read_text())
    assert regressed and sum(name.startswith("task_id ") for name, _ in cases) == int(regressed.group(1)) + \
        int(regressed.group(2))
    assert sum(failed for name, failed in cases if name.startswith("task_id ")) == int(regressed.group(1))
    text = page.read_text()
    assert text.count('<details class="conv regressed"') == int(regressed.group(1))
    assert "get_reservation_details" in text and 'class="call removed"' in text


def written_child_first(prefix: str, answer: str) -> list:
    """One conversation whose second response comes before the request and response it follows."""
    def record(rid, kind, parent, payload):
        return {"version": "0.1", "id": f"{prefix}{rid}", "kind": kind, "ts": "t",
                "parent": f"{prefix}{parent}" if parent else None, "payload": payload}
    return [record("r2", "chat_response", "r1", {"model": "m", "stop_reason": "end_turn",
                                                 "content": [{"type": "text", "text": answer}]}),
            record("q", "chat_request", None, {"messages": [{"role": "user", "content": "Book a flight."}]}),
            record("r1", "chat_response", "q", {"model": "m", "stop_reason": "tool_use",
                                                "content": [{"type": "tool_use", "name": "search", "input": {}}]})]


def test_reports_group_a_conversation_written_child_first_as_the_comparison_does():
    baseline, candidate = written_child_first("b-", "Booked."), written_child_first("c-", "Sorry, no flights.")
    assert model.conversations_of(baseline) == {"b-r2": baseline}
    result = compare_runs([baseline], [candidate])
    (conversation,) = result["conversations"]
    assert conversation["status"] == "paired"
    conversation["regressed"] = True
    report = model.from_compare(result, paths=("a", "b"),
                                rows_of=model.conversation_rows([baseline], [candidate], _native.alignment))
    rows = report.conversations[0].rows
    assert [(r.step, r.baseline.index, r.candidate.index) for r in rows] == [("match", 0, 0), ("match", 1, 1)]
    # Turns are numbered in the order the records were written.
    assert [(r.baseline.text, r.candidate.text) for r in rows] == [("Booked.", "Sorry, no flights."), ("", "")]
    assert [r.baseline.tool_calls for r in rows] == [[], [("search", {})]]


@pytest.mark.parametrize("records, groups", [
    ([], []),
    ([{"version": "0.1", "id": "a", "kind": "chat_response", "ts": "t", "parent": "b", "payload": {}},
      {"version": "0.1", "id": "b", "kind": "chat_response", "ts": "t", "parent": "a", "payload": {}}],
     [("a", [0, 1])]),  # a parent cycle is one conversation
    ([{"version": "0.1", "id": "x", "kind": "chat_response", "ts": "t", "meta": {"trace_id": "T"}, "payload": {}},
      {"version": "0.1", "id": "y", "kind": "chat_response", "ts": "t", "parent": "x", "payload": {}},
      {"version": "0.1", "id": "z", "kind": "chat_response", "ts": "t", "parent": "gone", "payload": {}}],
     [("T", [0, 1]), ("z", [2])]),
])
def test_native_conversations_index_the_records(records, groups):
    assert [(c["id"], c["records"]) for c in _native.conversations(records)] == groups


@pytest.mark.parametrize("records, error, message", [
    ("not a list", TypeError, "argument 'records'"),
    ([{"kind": "chat_response"}], ValueError, "record 1: "),
])
def test_native_conversations_reject_bad_records(records, error, message):
    with pytest.raises(error, match=message):
        _native.conversations(records)
