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
