"""The run comparison built natively from files reads exactly as the one built from records held in
Python, and `velkin compare --json`, which writes it natively without a report model, prints what the
standard library writes of it: on every suite of the test data."""
import json
import subprocess
import sys
from pathlib import Path

import pytest
import tau_changes as tc

from velkin import importers, write_agentlog
from velkin.command_io import read_pricing
from velkin.compare import compare_runs
from velkin.traces import read_trace

ROOT = Path(__file__).resolve().parent.parent
IMPORTS = ROOT / "tests" / "data" / "import"


def imported(*names: str) -> list:
    return importers.import_records([str(IMPORTS / name) for name in names])


def tau_bench(folder: Path) -> tuple:
    runs = tc.trial_runs()
    candidate, _ = tc.changed_run(runs[2], tc.duplicate_lookup)
    pricing = folder / "pricing.json"
    pricing.write_text(json.dumps(tc.PRICING))
    return runs[:2], [candidate, runs[3]], pricing


def examples(folder: Path) -> tuple:
    read = [read_trace(ROOT / "examples" / f"{side}.agentlog") for side in ("baseline", "candidate")]
    return [read[0]], [read[1]], ROOT / "examples" / "pricing.json"


def one_import(*names: str):
    # An imported run against itself: its conversations pair by trace id, and each is compared with itself.
    return lambda folder: ([imported(*names)], [imported(*names)], None)


SUITES = {
    "tau-bench trials": tau_bench,
    "examples": examples,
    "anthropic log": one_import("anthropic-log.jsonl"),
    "openai chat log": one_import("openai-chat-log.jsonl"),
    "openai responses log": one_import("openai-responses-log.jsonl"),
    "openai v2 events": one_import("openai-v2-event-only.traces.jsonl", "openai-v2-event-only.logs.jsonl"),
    "openai v2 without content": one_import("openai-v2-no-content.traces.jsonl"),
    "openai v2 spans": one_import("openai-v2-span-only.traces.jsonl"),
    "openinference": one_import("openinference-openai.traces.jsonl"),
    "traceloop events": one_import("traceloop-anthropic-events.traces.jsonl", "traceloop-anthropic-events.logs.jsonl"),
    "traceloop spans": one_import("traceloop-anthropic.traces.jsonl"),
}


def written(runs: list, folder: Path, side: str) -> list:
    paths = []
    for number, records in enumerate(runs):
        paths.append(folder / f"{side}-{number}.agentlog")
        paths[-1].write_bytes(write_agentlog(records))
    return paths


@pytest.mark.parametrize("suite", SUITES)
def test_the_document_from_files_reads_as_the_one_from_records(suite, tmp_path):
    baseline, candidate, pricing_file = SUITES[suite](tmp_path)
    pricing = read_pricing(str(pricing_file)) if pricing_file else None
    baseline_files, candidate_files = written(baseline, tmp_path, "baseline"), written(candidate, tmp_path, "candidate")
    from_records = compare_runs(baseline, candidate, pricing=pricing, seed=5)
    assert compare_runs(baseline_files, candidate_files, pricing=pricing, seed=5) == from_records

    command = [sys.executable, "-m", "velkin", "compare", "--baseline", *baseline_files, "--candidate",
               *candidate_files, "--seed", "5", "--json", "--fail-on", "never"]
    if pricing_file:
        command += ["--pricing", pricing_file]
    printed = subprocess.run(command, capture_output=True, text=True, encoding="utf-8", timeout=120)
    assert printed.returncode == 0, printed.stderr
    assert printed.stdout == json.dumps(from_records, indent=2, ensure_ascii=False) + "\n"
