"""The public API as a user calls it: `velkin.compare_runs`, `import_traces`, `diff` and `render`,
the typed example script, and the README's pytest example."""
import json
import os
import re
import shutil
import subprocess
import sys
import xml.etree.ElementTree as ET
from pathlib import Path

import pytest
from test_compare import TAU, trials  # noqa: F401  (a fixture: the four tau-bench trials as runs)
from test_reports import BASELINE, CANDIDATE, PRICING, junit_cases

import velkin

ROOT = Path(__file__).resolve().parent.parent
EXAMPLE = ROOT / "examples" / "api_example.py"


def test_diff_and_render_in_every_format():
    pricing = json.loads(Path(PRICING).read_text())
    traces = velkin.diff(BASELINE, CANDIDATE, pricing=pricing, seed=7)
    assert traces["verdict"] == "regressed" and traces["paths"] == (BASELINE, CANDIDATE)
    assert traces["report"]["pair_count"] == 9 and len(traces["alignment"]) == 10
    # The same report as `velkin diff` prints, from the same inputs.
    shown = subprocess.run([sys.executable, "-m", "velkin", "diff", BASELINE, CANDIDATE, "--pricing", PRICING,
                            "--seed", "7"], capture_output=True, text=True, cwd=ROOT, timeout=120,
                           env={**os.environ, "COLUMNS": "100"}).stdout
    assert velkin.render(traces, "text", width=100) + "\n" == shown
    assert velkin.render(traces, "markdown").startswith("## velkin diff: \u274c **Regressed**")
    assert velkin.render(traces, "html").startswith("<!DOCTYPE html>")
    assert [name for name, _ in junit_cases(velkin.render(traces, "junit"))][-1] == \
        "travel-assistant-v1 vs travel-assistant-v2"
    with pytest.raises(ValueError, match="unknown report format 'pdf': expected text, html, markdown or junit"):
        velkin.render(traces, "pdf")


def test_compare_runs_and_render(trials):
    report = velkin.compare_runs(trials[:2], [trials[2]], key="task_id", seed=3)
    assert report["verdict"] == "no significant change" and report["calibration"] == "relabelling"
    text = velkin.render(report, "text")
    assert text.startswith("\u2713 NO SIGNIFICANT CHANGE") and "calibrated by relabelling" in text
    # No price table: the warning `velkin compare` gives, in the Markdown's warnings.
    assert "- cost is not compared: pass --pricing FILE.json" in velkin.render(report, "markdown")
    root = ET.fromstring(velkin.render(report, "junit"))
    assert root.get("failures") == "0" and next(root.iter("testcase")).get("name") == "model"


def test_import_traces_reads_every_format_or_names_the_one_given():
    records = velkin.import_traces(TAU, format="tau-bench")
    assert records == velkin.from_tau_bench(TAU) == velkin.import_traces([TAU])
    assert sum(r["kind"] == "metadata" for r in records) == 100  # 25 tasks, four trials
    data, summary = velkin.import_summary(TAU)
    assert velkin.parse_agentlog(data) == records and summary["formats"] == ["tau-bench"]


def test_the_example_script_runs(tmp_path):
    done = subprocess.run([sys.executable, EXAMPLE, tmp_path], capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stderr
    assert done.stdout.splitlines()[0] == "regressed 9 pairs"
    assert re.match(r"no significant change 0 regressed (True|False)$", done.stdout.splitlines()[-1])
    assert sorted(p.name for p in tmp_path.iterdir()) == ["compare.html", "compare.junit", "compare.markdown",
                                                           "compare.text", "diff.html"]


def test_the_example_script_type_checks_strictly(tmp_path):
    api = pytest.importorskip("mypy.api")
    # The package's sources and stubs, copied out of site-packages, where mypy would take every installed
    # module for one of the user's own. It reports the script's errors and the public module's, not the internals'.
    package = shutil.copytree(Path(velkin.__file__).parent, tmp_path / "velkin",
                              ignore=shutil.ignore_patterns("*.so", "__pycache__"))
    out, err, status = api.run(["--strict", "--follow-imports=silent", "--no-incremental", "--cache-dir=/dev/null",
                                str(EXAMPLE), str(package / "api.py"), str(package / "__init__.py")])
    assert status == 0, out + err


def test_the_readme_pytest_example_gates_on_a_comparison(trials, tmp_path):
    readme = (ROOT / "README.md").read_text(encoding="utf-8")
    example = re.search(r"```python\n(import velkin\n\ndef test_[^`]+)```", readme).group(1)
    (tmp_path / "runs").mkdir()
    for name, run in (("main-1", trials[0]), ("main-2", trials[1]), ("pr", trials[2])):
        (tmp_path / "runs" / f"{name}.agentlog").write_bytes(velkin.write_agentlog(run))
    (tmp_path / "test_gate.py").write_text(example)
    run = [sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider", "test_gate.py"]
    assert subprocess.run(run, cwd=tmp_path, capture_output=True, timeout=300).returncode == 0
    # A candidate that drops a reservation lookup in every conversation that has one fails the gate.
    from test_compare import by_conversation, drop_reservation_lookups
    candidate = by_conversation(trials[2])
    for conversation in candidate:
        drop_reservation_lookups(conversation)
    (tmp_path / "runs" / "pr.agentlog").write_bytes(velkin.write_agentlog([r for c in candidate for r in c]))
    failed = subprocess.run(run, cwd=tmp_path, capture_output=True, text=True, timeout=300)
    assert failed.returncode == 1 and "\u2717 REGRESSED" in failed.stdout
