"""No trace can drive the reader's terminal or a pull-request comment: every format shows a hostile
value as inert, visible text, names are shortened with the whole value reachable, and the HTML and
JUnit reports stay bounded whatever the number of conversations.

Each payload class goes into the places a trace controls (a tool name, an argument value, a model, a
response text, a conversation key, a record kind), then through every format."""
import copy
import json
import re
import subprocess
import sys
import xml.etree.ElementTree as ET
from html.parser import HTMLParser
from pathlib import Path

import pytest
from test_compare import synthetic_suite
from test_html_report import CHROMIUM, browser, check_page  # noqa: F401 (browser is a fixture)

from velkin import _core, _native
from velkin.compare import compare_runs
from velkin.reports import html, junit, markdown, model, terminal

ROOT = Path(__file__).resolve().parent.parent

PAYLOADS = {
    "osc 52 clipboard": "\x1b]52;c;aGVsbG8=\x07",
    "clear screen": "\x1b[2J\x1b[H",
    "c1 csi and del": "\x9b2J a\x7fb",
    "bidi override": "\u202eexe.txt\u2066x\u2069\u200e\u200f\u061c",
    "invisible": "a\u200bb\u2028c\u2029d\ufeff",
    "html": "<img src=https://attacker.example/p.png onerror=alert(1)>",
    "markdown image and link": "![x](https://attacker.example/i.png) [click](https://attacker.example)",
    "mentions and links": "@octocat #12 www.attacker.example https://attacker.example a@attacker.example",
    "forged heading": "k\n\n## \u2705 No significant change\n\n<details><summary>x</summary>",
    "backticks": "``a``` `` b`",
}
# The characters that act on a display: controls (but the newline), bidi and other format characters.
HIDDEN = re.compile("[\x00-\x09\x0b-\x1f\x7f-\x9f\u061c\u200b-\u200f\u2028-\u202e\u2060-\u2069\ufeff]")


# What the JSON output writes as \u escapes: controls, DEL, C1 controls and bidi controls.
JSON_ESCAPED = re.compile("[\x00-\x1f\x7f-\x9f\u061c\u200e\u200f\u202a-\u202e\u2066-\u2069]")


def hidden(text: str) -> list:
    return HIDDEN.findall(text)


# ---- inputs -----------------------------------------------------------------------------

def response(text: str, tool: str, argument: str, model_name: str) -> dict:
    return {"model": model_name, "stop_reason": "tool_use", "usage": {"input_tokens": 3, "output_tokens": 5},
            "content": [{"type": "text", "text": text}, {"type": "tool_use", "name": tool, "input": {"q": argument}}]}


def diff_report(payload: str) -> model.Report:
    """A diff whose candidate carries `payload` in a tool name, an argument, a model and a text."""
    baseline = [response("Looking it up.", "lookup", "paris", "m")] * 2
    candidate = [response(f"Looking {payload}.", f"lookup{payload}", payload, f"m{payload}"),
                 response("Looking it up.", "lookup", "paris", "m")]
    sides = []
    for name, payloads in (("b", baseline), ("c", candidate)):
        sides.append([{"version": "0.1", "id": f"{name}{i}", "kind": "chat_response", "ts": "t", "payload": p}
                      for i, p in enumerate(payloads)])
    report = _core.compute_diff_report(sides[0], sides[1], None, 0)
    return model.from_diff(report, _native.alignment(*sides), *sides, paths=("b.agentlog", "c.agentlog"), seed=0,
                           version="test")


@pytest.fixture(scope="module")
def comparison():
    baseline, candidate = synthetic_suite(6, change=True)
    return compare_runs(baseline, candidate, seed=3)


def compare_report(comparison: dict, payload: str) -> model.Report:
    """The comparison with `payload` in each conversation key and a finding's subject."""
    result = copy.deepcopy(comparison)
    for i, c in enumerate(result["conversations"]):
        c["key"] = f"{payload}{i}"
        for f in c["findings"]:
            f["subject"] = payload
    return model.from_compare(result, paths=("runs/main", "runs/pr"))


def reports(comparison, payload):
    return [("diff", diff_report(payload)), ("compare", compare_report(comparison, payload))]


# ---- Markdown: what GitHub would make of it -----------------------------------------------

def outside_code(line: str) -> str:
    """The line with its code spans and backslash escapes taken out, as CommonMark reads them: a run of
    backticks opens a span that the next run of the same length closes; a run without one is text."""
    out, i = [], 0
    while i < len(line):
        if line[i] == "\\" and i + 1 < len(line) and line[i + 1] in "!\"#$%&'()*+,-./:;<=>?@[\\]^_`{|}~":
            i += 2
            continue
        if line[i] == "`":
            run = re.match("`+", line[i:]).group()
            close = re.search(f"(?<!`){run}(?!`)", line[i + len(run):])
            if close:
                i += len(run) + close.end()
                continue
            i += len(run)
            continue
        out.append(line[i])
        i += 1
    return "".join(out)


OWN_HTML = ("<details><summary>Warnings</summary>", "</details>", "<br>")


def active_markdown(md: str) -> list:
    """What in the Markdown would be live on GitHub: HTML, links, images, mentions, references, autolinks,
    and any heading but the report's own."""
    found = []
    for line in md.split("\n"):
        if line.startswith("#") and not re.match(r"(## velkin (diff|compare): |### (Top findings|Recommendations|"
                                                 r"Conversations))", line):
            found.append(("heading", line))
        text = outside_code(line).replace("&#8203;", "\u200b")  # as rendered: a zero-width space
        for own in OWN_HTML:
            text = text.replace(own, "")
        for what, pattern in (("html", r"<[A-Za-z/!?]"), ("link or image", r"\]\(|!\["),
                              ("mention or reference", r"[@#]\w"), ("autolink", r"://|www\.")):
            found += [(what, line) for _ in re.findall(pattern, text)]
    return found


# ---- what users see, per format ---------------------------------------------------------

@pytest.mark.parametrize("payload", PAYLOADS.values(), ids=PAYLOADS.keys())
def test_the_terminal_report_shows_every_payload_as_visible_escapes(comparison, payload):
    for _, report in reports(comparison, payload):
        for show_all in (False, True):
            text = terminal.render(report, width=100, show_all=show_all, show_turns=True)
            assert hidden(text) == []
    if "\x1b" in payload:
        assert "\\x1b" in terminal.render(diff_report(payload), show_all=True)


@pytest.mark.parametrize("payload", PAYLOADS.values(), ids=PAYLOADS.keys())
def test_markdown_holds_no_live_markup_or_control_from_a_trace(comparison, payload):
    for _, report in reports(comparison, payload):
        md = markdown.render(report)
        assert hidden(md) == [] and active_markdown(md) == []
        # The structure is the report's own: its headings, and a line per finding or conversation.
        assert len(re.findall(r"^## ", md, re.M)) == 1


@pytest.mark.parametrize("value, span", [
    ("plain", "` plain `"),
    ("a`b", "`` a`b ``"),
    ("``x```", "```` ``x``` ````"),
    ("`edge`", "`` `edge` ``"),
    ("", "(empty)"),
    ("line\nbreak", "` line break `"),
])
def test_a_code_span_is_fenced_by_more_backticks_than_it_holds(value, span):
    assert markdown.code(value) == span


@pytest.mark.parametrize("value, escaped", [
    ("<img src=x>", "\\<img src=x\\>"),
    ("![a](u) [t](u)", "\\!\\[a\\](u) \\[t\\](u)"),
    ("@octocat and #12", "@&#8203;octocat and #&#8203;12"),
    ("https://x.example www.x.example", "https&#8203;://x.example www&#8203;.x.example"),
    ("snake_case _emphasis_ *bold* a|b", "snake_case \\_emphasis\\_ \\*bold\\* a\\|b"),
    ("a\u202eb\x1b", "a\\\\u202eb\\\\x1b"),  # the escapes' backslashes escaped in turn
])
def test_markdown_text_escapes_what_starts_markup_and_breaks_what_github_links(value, escaped):
    assert markdown.text(value) == escaped


class Page(HTMLParser):
    def __init__(self):
        super().__init__(convert_charrefs=True)
        self.tags, self.ids, self.text = set(), [], []

    def handle_starttag(self, tag, attrs):
        self.tags.add(tag)
        self.ids += [value for name, value in attrs if name == "id"]
        self.text += [value or "" for _, value in attrs]

    def handle_data(self, data):
        self.text.append(data)


TEMPLATE_TAGS = {"html", "head", "meta", "title", "style", "body", "main", "section", "h1", "h2", "p", "div", "span",
                 "b", "code", "a", "ol", "li", "ul", "figure", "svg", "line", "br", "i", "mark", "details", "summary",
                 "table", "thead", "tbody", "tr", "th", "td"}


@pytest.mark.parametrize("payload", PAYLOADS.values(), ids=PAYLOADS.keys())
def test_html_marks_bidi_and_controls_visibly_and_holds_only_its_own_tags(comparison, payload):
    for _, report in reports(comparison, payload):
        page = Page()
        page.feed(html.render(report))
        assert page.tags <= TEMPLATE_TAGS
        assert hidden("".join(page.text).replace("\t", "")) == []
        assert len(page.ids) == len(set(page.ids))


@pytest.mark.parametrize("payload", PAYLOADS.values(), ids=PAYLOADS.keys())
def test_junit_reads_back_and_holds_no_raw_control(comparison, payload):
    for _, report in reports(comparison, payload):
        root = ET.fromstring(junit.render(report))
        texts = [v for e in root.iter() for v in [*(e.attrib.values()), e.text or ""]]
        assert hidden("".join(texts)) == []
    if "\u202e" in payload:
        assert "\\u202e" in junit.render(diff_report(payload))


@pytest.mark.parametrize("payload", PAYLOADS.values(), ids=PAYLOADS.keys())
def test_json_escapes_controls_and_reads_back_the_same(comparison, payload):
    document = {"key": payload, payload: [payload], "report": compare_report(comparison, payload).conversations[0].key}
    text = _native.json_text(document)
    assert not JSON_ESCAPED.search(text.replace("\n", "")) and json.loads(text) == document


# ---- the command line -----------------------------------------------------------------------

def velkin(*args, **kwargs):
    return subprocess.run([sys.executable, "-m", "velkin", *map(str, args)], capture_output=True, text=True,
                          encoding="utf-8", errors="surrogateescape", cwd=ROOT, timeout=120, **kwargs)


@pytest.mark.parametrize("payload", PAYLOADS.values(), ids=PAYLOADS.keys())
@pytest.mark.parametrize("command", ["validate", "diff", "compare"])
def test_a_parse_error_quoting_a_hostile_kind_is_one_visible_line(tmp_path, payload, command):
    bad = tmp_path / "bad.agentlog"
    bad.write_text(json.dumps({"version": "0.1", "id": "r", "kind": payload, "ts": "t", "payload": {}}) + "\n",
                   encoding="utf-8")
    good = ROOT / "examples" / "baseline.agentlog"
    args = {"validate": [bad], "diff": [good, bad], "compare": ["--baseline", good, "--candidate", bad]}[command]
    result = velkin(command, *args)
    assert result.returncode == 2 and result.stdout == ""
    assert result.stderr.count("\n") == 1 and result.stderr.startswith("velkin: error: ")
    assert hidden(result.stderr.rstrip("\n")) == [] and "unknown variant" in result.stderr


def test_the_import_summary_shows_span_names_as_escapes(tmp_path):
    fixture = ROOT / "tests" / "data" / "import" / "openai-v2-span-only.traces.jsonl"
    document = json.loads(fixture.read_text(encoding="utf-8").splitlines()[0])
    spans = document["resourceSpans"][0]["scopeSpans"][0]["spans"]
    hostile = dict(spans[0], spanId="f" * 16, attributes=[
        {"key": "gen_ai.operation.name", "value": {"stringValue": "\x1b]52;c;aGk=\x07\u202eop"}}])
    spans.append(hostile)
    source = tmp_path / "t.traces.jsonl"
    source.write_text(json.dumps(document), encoding="utf-8")
    result = velkin("import", source, "-o", tmp_path / "o.agentlog")
    assert result.returncode == 0 and hidden(result.stderr) == [], result.stderr
    assert "skipped 1 spans the importer does not map: 1 \\x1b]52;c;aGk=\\x07\\u202eop\n" in result.stderr


def test_markdown_on_a_terminal_passes_no_control(tmp_path):
    records = []
    for side, payload in (("b", "plain"), ("c", PAYLOADS["osc 52 clipboard"] + PAYLOADS["bidi override"])):
        path = tmp_path / f"{side}.agentlog"
        path.write_bytes(_core.write_agentlog([
            {"version": "0.1", "id": f"{side}{i}", "kind": "chat_response", "ts": "t",
             "payload": response(f"text {payload}", f"tool{payload}", payload, f"m{payload}")} for i in range(2)]))
        records.append(path)
    for output in (["--format", "markdown"], ["--json"], []):
        result = velkin("diff", *records, *output)
        assert result.returncode in (0, 1) and hidden(result.stdout.replace("\n", "")) == [], output


# ---- long names ------------------------------------------------------------------------------

LONG = "t" * 2_000_000


def test_a_two_megabyte_tool_name_is_shortened_with_the_whole_of_it_reachable(comparison):
    report = diff_report(LONG)
    text = terminal.render(report, width=100)
    assert len(text) < 20_000 and max(len(line) for line in text.splitlines()) <= 100
    assert LONG in "".join(line.strip() for line in terminal.render(report, width=100, show_all=True).splitlines())
    page = html.render(report)
    assert f'title="lookup{LONG}"' in page  # the whole name on hover
    shown = re.sub(r' title="[^"]*"', "", page)
    assert max(map(len, re.findall("t{100,}", shown))) <= model.LONGEST_TURN_TEXT  # the response text
    assert len(markdown.render(report)) < markdown.LIMIT
    names = [case.get("name") for case in ET.fromstring(junit.render(compare_report(comparison, LONG))).iter("testcase")]
    assert max(map(len, names)) <= junit.LONGEST_NAME + 40


# ---- bounded reports ------------------------------------------------------------------------

def regressed(comparison: dict, keys: list) -> dict:
    """The comparison with one regressed conversation per key, each with a finding of its own."""
    result = copy.deepcopy(comparison)
    template = result["conversations"][0]
    result["conversations"] = [dict(copy.deepcopy(template), key=key, regressed=True, improved=False, findings=[
        {"kind": "tool_dropped", "severity": "error", "direction": "worse", "subject": "lookup",
         "explanation": f"conversation {i} dropped lookup", "baseline_turn": 0, "candidate_turn": 0,
         "candidate_run": 0}]) for i, key in enumerate(keys)]
    result["verdict"] = "regressed"
    return result


def many_regressed(comparison: dict, count: int) -> model.Report:
    return model.from_compare(regressed(comparison, [f"task-{i}" for i in range(count)]), paths=("a", "b"))


@pytest.mark.parametrize("count, listed", [(5, 10), (10, 10), (11, 10), (250, 200)])
def test_every_report_lists_at_most_the_given_number_of_conversations_and_counts_the_rest(comparison, count,
                                                                                           listed):
    report = many_regressed(comparison, count)
    rest = max(0, count - listed)
    text = terminal.render(report, width=100, conversations_listed=listed)
    assert [line for line in text.splitlines() if line.endswith("regressed, 1 error")] == \
        [f"  task_id task-{i}: regressed, 1 error" for i in range(min(count, listed))]
    counted = f"  \u2026 and {rest} more conversation{'s' if rest != 1 else ''} ({rest} regressed, 0 improved) not listed"
    assert (counted in text) == (rest > 0)
    assert text.count("regressed, 1 error") == min(count, listed)
    assert terminal.render(report, width=100, show_all=True).count("regressed, 1 error") == count
    page = html.render(report, listed) if listed != 200 else html.render(report)
    assert page.count('<details class="conv') == min(count, listed)
    assert (f"\u2026 and {rest} more conversation" in page) == (rest > 0)
    if rest:
        assert f"({rest} regressed, 0 improved) not listed" in page
    root = ET.fromstring(junit.render(report, listed) if listed != 200 else junit.render(report))
    cases = [c for c in root.iter("testcase") if c.get("classname") == "velkin.conversations"]
    assert [c.get("name") for c in cases[:min(count, listed)]] == [f"task_id task-{i}" for i in range(min(count, listed))]
    assert len(cases) == min(count, listed) + (rest > 0)
    if rest:  # the rest fail as one case, so the gate on the JUnit file still fails
        assert cases[-1].get("name") == f"\u2026 and {rest} more conversations"
        assert cases[-1].find("failure").get("message").startswith(f"{rest} more changed conversations, {rest} regressed")


def test_the_command_takes_the_number_of_conversations_listed(tmp_path):
    runs = tmp_path / "runs"
    velkin("import", ROOT / "tests" / "data" / "tau-bench" / "gpt-4o-airline-tasks-0-24.json", "--split", "trial",
           "-o", runs)
    page, xml = tmp_path / "r.html", tmp_path / "r.xml"
    result = velkin("compare", "--baseline", runs / "trial-0.agentlog", runs / "trial-1.agentlog", "--candidate",
                    runs / "trial-2.agentlog", "--html", page, "--junit", xml, "--list-conversations", "3")
    assert result.returncode in (0, 1), result.stderr
    text = page.read_text(encoding="utf-8")
    assert text.count('<details class="conv') == 3 and "\u2026 and 22 more conversations" in text
    listed = [line for line in result.stdout.splitlines() if re.match(r"  task_id \d+: ", line)]
    assert len(listed) == 3 and "\u2026 and 22 more conversations" in result.stdout
    ids = re.findall(r' id="([^"]+)"', text)
    assert len(ids) == len(set(ids))
    bad = velkin("compare", "--baseline", runs / "trial-0.agentlog", "--candidate", runs / "trial-2.agentlog",
                 "--list-conversations", "-1")
    assert bad.returncode == 2 and "--list-conversations" in bad.stderr


# ---- unique ids and the headline --------------------------------------------------------------

def test_every_id_is_unique_and_each_top_finding_links_to_its_own_finding(comparison):
    keys = ["a b", "a-b", "a\u00e9b", "a\u00e8b", "verdict"]  # keys an id cannot tell apart, or a section's
    report = model.from_compare(regressed(comparison, keys), paths=("a", "b"))
    page = html.render(report)
    ids = re.findall(r' id="([^"]+)"', page)
    assert len(ids) == len(set(ids))
    targets = re.findall(r'<a href="#([^"]+)">', page)
    assert targets and all(t in ids for t in targets)
    for finding, target in zip(report.top_findings(5), targets):
        paragraph = re.search(f'<p id="{re.escape(target)}">(.*?)</p>', page, re.S).group(1)
        assert finding.explanation in paragraph


def test_a_regression_of_the_outcome_alone_is_named_in_the_headline(comparison):
    result = copy.deepcopy(comparison)
    result["verdict"] = "regressed"
    for c in result["conversations"]:
        c.update(regressed=False, improved=False)
    for test in result["axes"] + result["signatures"]:
        test.update(significant=False, direction=None)
    result["outcome"] = {"member": "reward", "n": 6, "baseline_mean": 0.75, "candidate_mean": 0.5, "delta": -0.25,
                         "ci95_low": -0.4, "ci95_high": -0.1, "p_value": 0.01, "p_adjusted": 0.02,
                         "p_mc_error": None, "significant": True, "direction": "worse", "lost": []}
    report = model.from_compare(result, paths=("a", "b"))
    line = terminal.render(report, width=200).splitlines()[0]
    assert line == "\u2717 REGRESSED  the candidate is worse than the baseline (outcome `reward` worse)"
    assert html.headline(report).startswith("The candidate is worse than the baseline (outcome `reward` worse).")


# ---- the hostile page in a browser ----------------------------------------------------------

@pytest.mark.skipif(CHROMIUM is None, reason="needs Chromium (.ci/run installs it)")
def test_a_hostile_page_stays_inert_and_within_the_screen(browser, comparison, tmp_path):
    payload = "".join(PAYLOADS.values())
    for name, report in reports(comparison, payload + LONG[:5000]):
        page = tmp_path / f"velkin-hostile-{name}.html"
        page.write_text(html.render(report), encoding="utf-8")
        check_page(browser, page)  # nothing loaded, nothing wider than the screen at desktop and phone widths
        browser.open(page.as_uri(), 1280)
        shown = browser.evaluate("document.body.innerText")
        assert "\\u202e" in shown and "\\x1b" in shown and hidden(shown.replace("\t", "")) == []
        assert browser.evaluate("document.querySelectorAll('img, script, iframe, a:not([href^=\"#\"])').length") == 0


@pytest.mark.parametrize("width", [40, 80])
def test_a_headline_wider_than_the_line_wraps_instead_of_looping(comparison, width):
    """Found by the escaping fuzz target: an indent wider than the line made the wrap loop forever."""
    report = compare_report(comparison, "k")
    report.verdict = "\u202e" + "v" * 200
    lines = terminal.render(report, width=width).splitlines()
    assert lines[0].startswith("? \\u202eVVVV") and all(terminal.display_width(line) <= width for line in lines)
