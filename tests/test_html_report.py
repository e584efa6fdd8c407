"""The HTML report as a reader sees it: opened in headless Chromium with the network cut off,
at a desktop and a phone width."""
import os
import re
import shutil
import subprocess
import sys
from pathlib import Path

import pytest
from devtools import Browser

from velkin.reports import html as html_report
from velkin.reports import model

ROOT = Path(__file__).resolve().parent.parent
BASELINE, CANDIDATE, PRICING = (str(ROOT / "examples" / name)
                                for name in ("baseline.agentlog", "candidate.agentlog", "pricing.json"))
CHROMIUM = shutil.which("chromium") or shutil.which("chromium-browser")
# Screenshots go here too when set, for people to look at.
SCREENSHOTS = os.environ.get("VELKIN_SCREENSHOTS")

pytestmark = pytest.mark.skipif(CHROMIUM is None, reason="needs Chromium (.ci/run installs it)")

# What a reviewer's eye needs from the laid-out page, measured in the page itself.
PROBE = """(() => {
  const width = document.documentElement.clientWidth;
  const overflowing = [...document.querySelectorAll("body *")].filter(e => {
    const r = e.getBoundingClientRect();
    return r.width > 0 && (r.right > width + 0.5 || r.left < -0.5);
  }).map(e => e.tagName + "." + e.className + " " + Math.round(e.getBoundingClientRect().right));
  return {
    width, scrollWidth: document.documentElement.scrollWidth, height: document.documentElement.scrollHeight,
    overflowing, plotLines: document.querySelectorAll("#forest-plot svg line").length,
    newValues: [...document.querySelectorAll("mark.arg-change.new")].map(e => e.textContent),
    oldValues: [...document.querySelectorAll("mark.arg-change.old")].map(e => e.textContent),
  };
})()"""


@pytest.fixture(scope="module")
def browser():
    opened = Browser(CHROMIUM)
    yield opened
    opened.close()


def check_page(browser, page: Path, widths=(1280, 390)) -> dict:
    text = page.read_text(encoding="utf-8")
    # Self-contained: no script, no external reference of any kind.
    assert "<script" not in text and not re.search(r'(?:src|href)="(?!#)', text) and "url(" not in text
    measured = {}
    for width in widths:
        browser.open(page.as_uri(), width)
        found = browser.evaluate(PROBE)
        assert browser.requests() == [page.as_uri()]  # the page itself and nothing else
        assert found["width"] == width and found["scrollWidth"] <= width, found
        assert found["overflowing"] == [], found
        shot = page.with_name(f"{page.stem}-{width}.png")
        browser.screenshot(shot, width, found["height"])
        assert shot.stat().st_size > 10_000
        if SCREENSHOTS:
            shutil.copy(shot, Path(SCREENSHOTS) / shot.name)
        measured[width] = found
    return measured


def test_diff_page_shows_plot_and_argument_change(browser, tmp_path):
    page = tmp_path / "velkin-diff.html"
    result = subprocess.run([sys.executable, "-m", "velkin", "diff", BASELINE, CANDIDATE, "--pricing", PRICING,
                             "--html", page], capture_output=True, text=True, cwd=ROOT, timeout=120)
    assert result.returncode == 1, result.stderr
    for found in check_page(browser, page).values():
        assert found["plotLines"] >= 9 * 4  # each axis: the zero line, the interval, its ends and the point
        assert found["newValues"] == ['"business"'] and found["oldValues"] == ['"economy"']


def test_comparison_page_opens_regressed_conversations_first(browser, tmp_path):
    from test_reports import comparison
    page = tmp_path / "velkin-compare.html"
    page.write_text(html_report.render(model.from_compare(comparison(), paths=("runs/main", "runs/pr"))),
                    encoding="utf-8")
    check_page(browser, page)
    text = page.read_text(encoding="utf-8")
    assert text.index("task-7") < text.index("task-12") < text.index("task-3")


# Where each axis's point sits against the zero line, as laid out, and the sign of its change.
FOREST = """[...document.querySelectorAll("#forest-plot svg")].filter(s => s.querySelector(".point")).map(s => {
  const zero = s.querySelector("line").getBoundingClientRect(), point = s.querySelector(".point").getBoundingClientRect();
  return [s.getAttribute("aria-label"), point.left + point.width / 2 - (zero.left + zero.width / 2)];
})"""


def test_forest_plot_points_lie_on_the_side_of_their_sign(browser, tmp_path):
    page = tmp_path / "velkin-forest.html"
    subprocess.run([sys.executable, "-m", "velkin", "diff", BASELINE, CANDIDATE, "--pricing", PRICING, "--seed", "7",
                    "--html", page], capture_output=True, cwd=ROOT, timeout=120)
    browser.open(page.as_uri(), 1280)
    offsets = dict(browser.evaluate(FOREST))
    signs = {label.split(":")[0]: label.split(": ")[1][0] for label in offsets}
    assert signs["semantic"] == "-" and signs["trajectory"] == "+" and signs["latency"] == "+"
    for label, offset in offsets.items():
        change = label.split(": ")[1].split(" [")[0]
        if change.lstrip("+-$").strip("0. pp%mstokens") == "":  # noqa: B005 (strips a set of characters)
            continue  # no change: on the zero line
        assert (offset < -1) if change.startswith("-") else (offset > 1), (label, offset)


@pytest.mark.parametrize("verdict", ["regressed", "improved", "mixed", "changed", "no significant change"])
def test_every_verdict_lays_out_at_desktop_and_phone_widths(browser, tmp_path, verdict):
    from test_compare import synthetic_suite
    from test_report_verdicts import descriptive_result, latency_tested, set_members

    from velkin.compare import compare_runs
    result = latency_tested(set_members(compare_runs(*synthetic_suite(6, change=True), seed=3), verdict))
    if verdict == "changed":
        result = descriptive_result(result) | {"verdict": "changed"}
        next(a for a in result["axes"] if a["axis"] == "cost")["priced"] = False
    page = tmp_path / f"velkin-{verdict.replace(' ', '-')}.html"
    page.write_text(html_report.render(model.from_compare(result, paths=("runs/main", "runs/pr"))), encoding="utf-8")
    check_page(browser, page)
    heading = browser.evaluate('document.querySelector("#verdict h1").textContent + " | " + '
                               'getComputedStyle(document.querySelector("#verdict h1")).color')
    colours = {"regressed": "rgb(179, 38, 30)", "improved": "rgb(27, 122, 58)", "mixed": "rgb(161, 92, 0)",
               "changed": "rgb(11, 87, 208)", "no significant change": "rgb(27, 122, 58)"}
    assert heading.endswith(colours[verdict]) and heading.lower().split(" | ")[0][2:] == verdict
    assert browser.evaluate('document.querySelector("#models").textContent').startswith("model switched: ")
