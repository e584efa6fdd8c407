"""The run comparison's report in every format: the five verdicts and the gate, the model switch,
descriptive statistics, p values with their Monte-Carlo error, and an unpriced cost axis.

Each report starts as a real `compare_runs` result whose members the test then sets, so the
renderers read the shape the comparison returns and the values the test chose."""
import copy
import re
import xml.etree.ElementTree as ET

import pytest
from test_compare import synthetic_suite
from test_reports import junit_cases

from velkin.compare import compare_runs
from velkin.reports import gate, html, junit, markdown, model, terminal

SWITCH = "model switched: gpt-4o-2024-08-06 (250 responses) \u2192 gpt-4o-mini-2024-07-18 (250 responses)"


@pytest.fixture(scope="module")
def real():
    baseline, candidate = synthetic_suite(6, change=True)
    return compare_runs(baseline, candidate, seed=3)


def set_members(result: dict, verdict: str) -> dict:
    """`result` with the members of a comparison whose verdict is `verdict`: conversations 0 and 1
    regress where the verdict has a regression, conversations 2 and 3 improve where it has an improvement."""
    result = copy.deepcopy(result)
    regress = verdict in ("regressed", "mixed")
    improve = verdict in ("improved", "mixed")
    result.update(verdict=verdict, calibrated=True, calibration="relabelling", relabellings=1000, exact=False,
                  descriptive=[], calibrate_with_more_runs="",
                  models={"baseline": [{"model": "gpt-4o-2024-08-06", "responses": 250}],
                          "candidate": [{"model": "gpt-4o-mini-2024-07-18", "responses": 250}], "switched": True},
                  pricing={"table": True, "unpriced": []})
    for axis in result["axes"]:
        axis.update(p_mc_error=None, direction=None, descriptive=False, significant=False, severity="none")
        if axis["axis"] == "cost":
            axis["priced"] = True
    for signature in result["signatures"]:
        signature.update(p_mc_error=None, direction=None, descriptive=False, significant=False)
    result["outcome"] = None
    for i, c in enumerate(result["conversations"]):
        c["regressed"] = regress and i < 2
        c["improved"] = improve and i in (2, 3)
        direction = "worse" if c["regressed"] else "better" if c["improved"] else "neutral"
        c["findings"] = [{"kind": "tool_dropped" if direction == "worse" else "tool_added", "subject": "lookup",
                          "direction": direction, "severity": "error" if direction == "worse" else "info",
                          "explanation": f"{direction} finding of conversation {i}", "baseline_turn": 0,
                          "candidate_turn": 0, "candidate_run": 0}]
    severity = {"regressed": "error", "mixed": "error"}.get(verdict, "info")
    result["recommendations"] = [{"severity": severity, "message": f"advice for a {verdict} comparison"}]
    return result


def view(result: dict) -> model.Report:
    return model.from_compare(result, paths=("runs/main", "runs/pr"))


def flat(text: str) -> str:
    return " ".join(text.split())


VERDICTS = [
    # verdict, terminal headline, Markdown heading, HTML heading and class, gate at error / warning
    ("regressed", "\u2717 REGRESSED  the candidate is worse than the baseline (2 of 6 conversations regressed)",
     "\u274c **Regressed**", "\u2717 Regressed", "regressed", True, True),
    ("improved", "\u25b2 IMPROVED  the candidate is better than the baseline (2 of 6 conversations improved); "
     "nothing regressed", "\U0001f7e2 **Improved**", "\u25b2 Improved", "improved", False, False),
    ("mixed", "\u00b1 MIXED  significant changes both ways (2 of 6 conversations regressed; 2 of 6 conversations "
     "improved)",
     "\u26a0\ufe0f **Mixed**", "\u00b1 Mixed", "mixed", True, True),
    ("changed", "\u2260 CHANGED  the candidate behaves differently, but neither better nor worse",
     "\U0001f504 **Changed**", "\u2260 Changed", "changed", False, False),
    ("no significant change", "\u2713 NO SIGNIFICANT CHANGE  nothing changed beyond the noise",
     "\u2705 **No significant change**", "\u2713 No significant change", "ok", False, False),
]


@pytest.mark.parametrize("severity, direction, fails", [
    ("warning", "worse", (False, True, False)),
    ("error", "better", (False, False, False)),  # what a regressed conversation did better never fails it
    ("error", "worse", (True, True, False)),
])
def test_the_gate_reads_a_regressed_conversations_findings_alike_from_the_dict_and_the_model(
        real, severity, direction, fails):
    result = set_members(real, "changed")
    first = result["conversations"][0]
    first.update(regressed=True, findings=[{**first["findings"][0], "severity": severity, "direction": direction}])
    levels = ("error", "warning", "never")
    assert tuple(view(result).gate_fails(level) for level in levels) == fails
    assert tuple(gate.compare_gate_fails(result, level) for level in levels) == fails


@pytest.mark.parametrize("verdict, head, heading, title, css, fails, fails_on_warning", VERDICTS)
def test_each_verdict_leads_every_format_and_only_a_regression_fails_the_gate(
        real, verdict, head, heading, title, css, fails, fails_on_warning):
    result = set_members(real, verdict)
    report = view(result)
    text = terminal.render(report, width=200)
    assert text.splitlines()[0] == head
    assert markdown.render(report).startswith(f"## velkin compare: {heading}\n")
    page = html.render(report)
    assert f'<section class="verdict {css}" id="verdict">\n  <h1>{title}</h1>' in page
    assert (report.gate_fails("error"), report.gate_fails("warning"), report.gate_fails("never")) == \
        (fails, fails_on_warning, False)
    # `--json` gates on the comparison's dict, with no model built.
    assert tuple(gate.compare_gate_fails(result, level) for level in ("error", "warning", "never")) == \
        (fails, fails_on_warning, False)
    # JUnit: the model case, one per axis, one per regressed or improved conversation; only regressions fail.
    cases = junit_cases(junit.render(report))
    axes = [a["axis"] for a in real["axes"]]
    changed = [c.key for c in report.conversations if c.regressed or c.improved]
    assert [name for name, _ in cases] == ["model switched", *axes, *changed]
    assert [name for name, failed in cases if failed] == [c.key for c in report.conversations if c.regressed]
    # Conversations: regressed first, then improved, then the rest in the comparison's order.
    states = [c.state for c in report.conversations]
    assert states == sorted(states, key=lambda s: (s != "regressed", s != "improved"))
    assert states.count("regressed") == (2 if fails else 0) and states.count("improved") == 2 * (css in (
        "improved", "mixed"))


def test_a_regressed_conversation_fails_its_case_with_its_worse_findings_only(real):
    result = set_members(real, "mixed")
    first = result["conversations"][0]
    first["findings"].append({"kind": "tool_added", "subject": "search", "direction": "better", "severity": "info",
                              "explanation": "an improvement in a regressed conversation", "baseline_turn": 1,
                              "candidate_turn": 1, "candidate_run": 0})
    report = view(result)
    root = ET.fromstring(junit.render(report))
    case = next(c for c in root.iter("testcase") if c.get("name") == report.conversations[0].key)
    assert case.find("failure").text == "baseline #0 / candidate #0: worse finding of conversation 0"
    assert case.find("system-out").text == ("info at baseline #1 / candidate #1: an improvement in a regressed "
                                            "conversation")
    improved = next(c for c in root.iter("testcase") if c.get("name") == report.conversations[2].key)
    assert report.conversations[2].improved
    assert improved.find("failure") is None


# ---- the model switch --------------------------------------------------------------------

def test_a_model_switch_heads_every_format(real):
    report = view(set_members(real, "changed"))
    lines = terminal.render(report, width=200).splitlines()
    assert lines[1] == "  " + SWITCH
    md = markdown.render(report).splitlines()
    assert md[2] == f"**{SWITCH}**"
    page = html.render(report)
    assert f'<p class="models switched" id="models">{SWITCH}</p>' in page
    assert page.index(SWITCH) < page.index('id="axes"')
    root = ET.fromstring(junit.render(report))
    first = next(root.iter("testcase"))
    assert (first.get("name"), first.findtext("system-out"), first.find("failure")) == ("model switched", SWITCH,
                                                                                        None)


@pytest.mark.parametrize("baseline, candidate, switched, line", [
    ([("m", 1)], [("m", 2)], False, "model unchanged: baseline m (1 response); candidate m (2 responses)"),
    ([("a", 200), ("", 3)], [("b", 203)], True,
     "model switched: a (200 responses), (no model) (3 responses) \u2192 b (203 responses)"),
])
def test_models_are_named_with_their_response_counts_in_the_comparisons_order(real, baseline, candidate, switched,
                                                                             line):
    result = set_members(real, "no significant change")
    result["models"] = {"baseline": [{"model": m, "responses": n} for m, n in baseline],
                        "candidate": [{"model": m, "responses": n} for m, n in candidate], "switched": switched}
    report = view(result)
    assert terminal.render(report, width=200).splitlines()[1] == "  " + line
    assert (f"**{line}**" if switched else line) in markdown.render(report).splitlines()


# ---- calibration, p values and descriptive statistics --------------------------------------

@pytest.mark.parametrize("calibration, relabellings, exact, text", [
    ("relabelling", 1000, False, "calibrated by relabelling (1,000 relabellings)"),
    ("relabelling", 2600, False, "calibrated by relabelling (2,600 relabellings)"),
    ("sign-flip", 4096, True, "calibrated by sign-flip (exact)"),
    ("sign-flip", 1500, False, "calibrated by sign-flip (1,500 sign-flips)"),
])
def test_the_header_names_the_calibration(real, calibration, relabellings, exact, text):
    result = set_members(real, "no significant change")
    result.update(calibration=calibration, relabellings=relabellings, exact=exact)
    report = view(result)
    header = terminal.render(report, width=200).split("\n\n")[0]
    assert f" \u00b7 {text}" in header and header.count("calibrated") == 1
    assert f", {text}." in markdown.render(report)
    assert f"<span>{text}</span>" in html.render(report)


def latency_tested(result: dict, **members) -> dict:
    latency = next(a for a in result["axes"] if a["axis"] == "latency")
    latency.update({"baseline_median": 700.0, "candidate_median": 820.0, "delta": 120.0, "ci95_low": 80.0,
                    "ci95_high": 160.0, "n": 6, "calibrated": True, "p_adjusted": 0.031, "p_mc_error": 0.0043,
                    "significant": True, "direction": "worse", "severity": "severe", **members})
    return result


def test_p_values_carry_their_monte_carlo_error_in_every_format(real):
    result = latency_tested(set_members(real, "regressed"))
    result["outcome"] = {"member": "reward", "n": 6, "baseline_mean": 0.5, "candidate_mean": 0.75, "delta": 0.25,
                         "ci95_low": 0.1, "ci95_high": 0.4, "p_value": 0.002, "p_adjusted": 0.004,
                         "p_mc_error": 0.0016, "significant": True, "direction": "better", "lost": []}
    report = view(result)
    text = flat(terminal.render(report, width=200))
    assert re.search(r"latency +700 ms +820 ms +\+120 ms +\u25bc worse +severe +95% \[\+80 ms, \+160 ms\] \u00b7 "
                     r"n 6, adjusted p 0\.031 \u00b1 0\.004", text)
    assert ("outcome `reward` over 6 conversations: 0.500 \u2192 0.750 (+0.250, 95% [+0.100, +0.400], "
            "adjusted p 0.004 \u00b1 0.002, better)") in text
    assert "| latency | 700 ms | 820 ms | +120 ms | [+80 ms, +160 ms]<br>adjusted p 0.031 \u00b1 0.004 | " \
           "\U0001f534 worse | severe |" in markdown.render(report)
    assert "adjusted p 0.031 \u00b1 0.004" in html.render(report)
    root = ET.fromstring(junit.render(report))
    latency = next(c for c in root.iter("testcase") if c.get("name") == "latency")
    assert latency.findtext("system-out").endswith("severity severe, n 6, adjusted p 0.031 \u00b1 0.004")
    assert latency.find("failure").get("message") == "latency got worse: +120 ms [+80 ms, +160 ms], severity severe"


@pytest.mark.parametrize("verdict, outcome, regressed, headline", [
    ("regressed", None, 0, "\u2717 REGRESSED  the candidate is worse than the baseline (latency worse)"),
    ("regressed", "worse", 1, "\u2717 REGRESSED  the candidate is worse than the baseline (latency, outcome `reward` "
     "worse; 1 of 6 conversations regressed)"),
    ("mixed", "better", 1, "\u00b1 MIXED  significant changes both ways (latency worse; 1 of 6 conversations "
     "regressed; outcome `reward` better)"),
])
def test_the_headline_names_what_moved_significantly(real, verdict, outcome, regressed, headline):
    result = latency_tested(set_members(real, verdict))
    for i, c in enumerate(result["conversations"]):
        c.update(regressed=i < regressed, improved=False)
    if outcome:
        result["outcome"] = {"member": "reward", "n": 6, "baseline_mean": 0.5, "candidate_mean": 0.5, "delta": 0.0,
                             "ci95_low": 0.0, "ci95_high": 0.0, "p_value": 0.01, "p_adjusted": 0.02,
                             "p_mc_error": None, "significant": True, "direction": outcome, "lost": []}
    # A significant signature that moved neither way names nothing.
    result["signatures"][0].update(significant=True, direction="neutral")
    assert terminal.render(view(result), width=300).splitlines()[0] == headline


def test_an_exact_p_value_has_no_error_and_a_change_within_the_noise_is_not_graded(real):
    result = latency_tested(set_members(real, "no significant change"), p_adjusted=0.4, p_mc_error=None,
                            significant=False, direction=None, severity="minor")
    report = view(result)
    row = next(line for line in terminal.render(report, width=200).splitlines() if line.startswith("  latency"))
    assert "~ within noise" in row and row.endswith("adjusted p 0.4") and "\u00b1" not in row
    assert not report.gate_fails("error") and not any(failed for _, failed in junit_cases(junit.render(report)))


DESCRIPTIVE = ["semantic", "trajectory", "conformance", "argument_changed", "calls_reordered"]
MORE_RUNS = "A second baseline run would calibrate semantic, trajectory, conformance and argument changes."


def descriptive_result(real) -> dict:
    result = set_members(real, "no significant change")
    result.update(calibration="sign-flip", exact=True, relabellings=64, descriptive=DESCRIPTIVE,
                  calibrate_with_more_runs=MORE_RUNS)
    semantic = next(a for a in result["axes"] if a["axis"] == "semantic")
    semantic.update(baseline_median=1.0, candidate_median=0.62, delta=-0.38, ci95_low=-0.5, ci95_high=-0.2,
                    severity="minor", descriptive=True, calibrated=False, p_value=None, p_adjusted=None)
    result["signatures"].append({"kind": "argument_changed", "conversations": 4, "candidate_rate": 4 / 6,
                                 "baseline_rate": None, "calibrated": False, "p_value": None, "p_adjusted": None,
                                 "p_mc_error": None, "significant": False, "direction": None, "descriptive": True,
                                 "subjects": [{"name": f"tool_{i}(q)", "conversations": 4 - i} for i in range(5)]})
    return result


def test_descriptive_statistics_are_facts_never_failures(real):
    report = view(descriptive_result(real))
    text = terminal.render(report, width=200)
    row = next(line for line in text.splitlines() if line.startswith("  semantic"))
    assert re.match(r"  semantic +1\.000 +0\.620 +-0\.380 +\? uncalibrated +minor +95% \[-0\.500, -0\.200\] \u00b7 "
                    r"n 6, descriptive, uncalibrated: never a failure$", row)
    line = ("descriptive only, uncalibrated and never a failure: semantic, trajectory, conformance, "
            f"argument_changed, calls_reordered. {MORE_RUNS}")
    signature = ("signature argument_changed [tool_0(q) (4), tool_1(q) (3), tool_2(q) (2) and 2 more]: "
                 "4 conversation(s), candidate rate 66.7% "
                 "(descriptive, uncalibrated: never a failure)")
    for rendered in (flat(text), html.render(report)):
        assert line in rendered and signature in rendered
    # Markdown escapes the brackets, which would start a link.
    assert line in markdown.render(report) and signature.replace("[", "\\[").replace("]", "\\]") in markdown.render(report)
    assert "| semantic | 1.000 | 0.620 | -0.380 | [-0.500, -0.200]<br>descriptive, uncalibrated: never a failure | " \
           "\u2754 uncalibrated | minor |" in markdown.render(report)
    assert not report.gate_fails("error") and not report.gate_fails("warning")
    assert not any(failed for _, failed in junit_cases(junit.render(report)))


# ---- cost without prices -------------------------------------------------------------------

def test_an_unpriced_cost_row_shows_no_numbers_and_is_never_graded(real):
    result = set_members(real, "no significant change")
    cost = next(a for a in result["axes"] if a["axis"] == "cost")
    # Whatever numbers come with it, an unpriced row shows none of them.
    cost.update(priced=False, baseline_median=0.01, candidate_median=0.02, delta=0.01, ci95_low=0.005,
                ci95_high=0.015, severity="severe", direction="worse", n=6)
    report = view(result)
    row = next(line for line in terminal.render(report, width=200).splitlines() if line.startswith("  cost"))
    assert re.match(r"  cost +not priced +not priced +- +- not priced +- +no price for both sides of a "
                    r"pair: cost is not compared$", row)
    narrow = terminal.render(report, width=40)
    block = narrow[narrow.index("\n  cost"):].splitlines()[1:3]
    assert "$" not in " ".join(block) and "not priced" in block[0]
    assert "| cost | not priced | not priced | - | cost is not compared | | not graded |" in markdown.render(report)
    page = html.render(report)
    cost_row = page[page.index('aria-label="cost:'):]
    cost_row = cost_row[:cost_row.index('<div class="row">') if '<div class="row">' in cost_row else None]
    assert "<b class=\"none\">not priced</b>" in cost_row and "tone-" not in cost_row.split("</svg>")[0]
    root = ET.fromstring(junit.render(report))
    case = next(c for c in root.iter("testcase") if c.get("name") == "cost")
    assert case.find("failure") is None and case.findtext("system-out") == "not priced: cost is not compared"
    assert not report.gate_fails("error")


def test_price_warnings_of_a_comparison_say_what_the_cost_axis_leaves_out():
    unpriced = [{"model": "gpt-x", "baseline": 2, "candidate": 1}, {"model": "a-model", "baseline": 1, "candidate": 0}]
    models = {"baseline": [{"model": "known", "responses": 4}, {"model": "", "responses": 1}],
              "candidate": [{"model": "", "responses": 2}, {"model": "known", "responses": 1}]}
    assert gate.pricing_warnings({"pricing": {"table": True, "unpriced": unpriced}, "models": models}) == [
        "baseline: model 'a-model' is not in the price table; its 1 response is left out of the cost axis",
        "baseline: model 'gpt-x' is not in the price table; its 2 responses are left out of the cost axis",
        "baseline: 1 response name no model; it is left out of the cost axis",
        "candidate: model 'gpt-x' is not in the price table; its 1 response is left out of the cost axis",
        "candidate: 2 responses name no model; they are left out of the cost axis"]
    assert gate.pricing_warnings({"pricing": {"table": True, "unpriced": []}, "models": {}}) == []
    assert gate.pricing_warnings({"pricing": {"table": False, "unpriced": []}}) == [
        "cost is not compared: pass --pricing FILE.json"]


@pytest.mark.parametrize("price, warned", [(-1e-9, True), (0, False), (0.0, False), (1e-9, False)])
def test_only_a_negative_price_is_warned_of(price, warned):
    from velkin import report_command
    warnings = report_command.price_warnings("p.json", {"m": [price, 1e-6]}, {})
    assert warnings == (["p.json: model 'm' has a negative price"] if warned else [])
