"""The run comparison built natively from files reads exactly as the one built from records held in
Python, and `velkin compare --json`, which writes it natively without a report model, prints what the
standard library writes of it: on every suite of the test data."""
import json
import subprocess
import sys
from pathlib import Path

import pytest
import tau_changes as tc

from velkin import _native, importers, render, write_agentlog
from velkin.command_io import read_pricing
from velkin.compare import compare_runs, compare_runs_json
from velkin.reports import gate
from velkin.traces import read_trace

ROOT = Path(__file__).resolve().parent.parent
IMPORTS = ROOT / "tests" / "data" / "import"


def imported(*names: str) -> list:
    return importers.import_records([str(IMPORTS / name) for name in names])


def tau_bench(folder: Path, change=tc.duplicate_lookup, runs_changed=1) -> tuple:
    runs = tc.trial_runs()
    candidate = [tc.changed_run(run, change)[0] if i < runs_changed else run for i, run in enumerate(runs[2:])]
    pricing = folder / "pricing.json"
    pricing.write_text(json.dumps(tc.PRICING))
    return runs[:2], candidate, pricing, "task_id"


def edit_and_fail(conv: list) -> bool:
    return tc.edit_user_id(conv) | tc.drop_outcome(conv)


# Characters the document escapes (quote, backslash, controls, DEL, C1, bidi) and some it writes as they are.
HOSTILE = " \"\\\n\x1b[31m\x7f\x85\u202e\u2066 caf\u00e9 \U0001f600"


def hostile_keys(folder: Path) -> tuple:
    baseline, candidate, pricing, member = tau_bench(folder, edit_and_fail, 2)
    for record in [r for run in baseline + candidate for r in run]:
        if isinstance(record.get("meta"), dict) and "task_id" in record["meta"]:
            record["meta"]["task_id"] = f"{record['meta']['task_id']}{HOSTILE}"
    return baseline, candidate, pricing, member


def examples(folder: Path) -> tuple:
    read = [read_trace(ROOT / "examples" / f"{side}.agentlog") for side in ("baseline", "candidate")]
    return [read[0]], [read[1]], ROOT / "examples" / "pricing.json", "agent"


def one_import(*names: str):
    # An imported run against itself: its conversations pair by trace id, and each is compared with itself.
    return lambda folder: ([imported(*names)], [imported(*names)], None, "trace_id")


# Each suite: baseline runs, candidate runs, a price table file or None, and the member its conversations pair by.
SUITES = {
    "tau-bench trials": tau_bench,
    "tau-bench edited and failed": lambda folder: tau_bench(folder, edit_and_fail, 2),
    "tau-bench hostile keys": hostile_keys,
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
REGRESSING = {"tau-bench edited and failed", "tau-bench hostile keys"}


def written(runs: list, folder: Path, side: str) -> list:
    paths = []
    for number, records in enumerate(runs):
        paths.append(folder / f"{side}-{number}.agentlog")
        paths[-1].write_bytes(write_agentlog(records))
    return paths


def velkin_compare(baseline_files, candidate_files, *options):
    command = [sys.executable, "-m", "velkin", "compare", "--baseline", *baseline_files, "--candidate",
               *candidate_files, *map(str, options)]
    return subprocess.run(command, capture_output=True, text=True, encoding="utf-8", timeout=120)


@pytest.mark.parametrize("suite", SUITES)
def test_the_document_from_files_reads_as_the_one_from_records(suite, tmp_path):
    baseline, candidate, pricing_file, _ = SUITES[suite](tmp_path)
    pricing = read_pricing(str(pricing_file)) if pricing_file else None
    baseline_files, candidate_files = written(baseline, tmp_path, "baseline"), written(candidate, tmp_path, "candidate")
    from_records = compare_runs(baseline, candidate, pricing=pricing, seed=5)
    assert compare_runs(baseline_files, candidate_files, pricing=pricing, seed=5) == from_records
    assert any(c["regressed"] for c in from_records["conversations"]) == (suite in REGRESSING)

    options = ["--seed", 5] + (["--pricing", pricing_file] if pricing_file else [])
    printed = velkin_compare(baseline_files, candidate_files, *options, "--json")
    # The gate and the warnings read the same report as the text report's.
    assert printed.returncode == (1 if gate.compare_gate_fails(from_records, "error") else 0), printed.stderr
    assert printed.stderr == velkin_compare(baseline_files, candidate_files, *options).stderr
    assert json.loads(printed.stdout) == from_records
    if suite != "tau-bench hostile keys":  # else the characters a terminal acts on are escaped, below
        assert printed.stdout == json.dumps(from_records, indent=2, ensure_ascii=False) + "\n"


# By suite member; the pattern takes a value up to its first space (a hostile key's task number).
OPTIONS = {
    "defaults": lambda member: {},
    "another seed, no prices": lambda member: {"seed": 11, "pricing": None},
    "by position": lambda member: {"key": "position"},
    "by member and pattern": lambda member: {"key": member, "key_pattern": "[^ ]+"},
}


@pytest.mark.parametrize("options", OPTIONS)
@pytest.mark.parametrize("suite", SUITES)
def test_the_native_json_text_is_the_text_of_the_dict(suite, options, tmp_path):
    baseline, candidate, pricing_file, member = SUITES[suite](tmp_path)
    chosen = {"pricing": read_pricing(str(pricing_file)) if pricing_file else None, "seed": 5,
              **OPTIONS[options](member)}
    baseline_files, candidate_files = written(baseline, tmp_path, "baseline"), written(candidate, tmp_path, "candidate")
    report = compare_runs(baseline_files, candidate_files, **chosen)
    text, regressed = compare_runs_json(baseline_files, candidate_files, **chosen)
    assert text == _native.json_utf8(report)
    if suite == "tau-bench hostile keys" and options != "by member and pattern":  # the pattern keeps the number
        shown = ' \\"\\\\\\n\\u001b[31m\\u007f\\u0085\\u202e\\u2066 caf\u00e9 \U0001f600"'
        assert shown in text.decode() and not any(c in text.decode() for c in "\x1b\x7f\x85\u202e\u2066")
    assert list(regressed) == list(report)
    assert regressed == {**report, "conversations": [c for c in report["conversations"] if c["regressed"]]}
    # What the text, Markdown and JUnit reports read: every conversation, the findings of the changed ones.
    changed = compare_runs(baseline_files, candidate_files, findings="changed", **chosen)
    assert changed == {**report, "conversations": [c if c["regressed"] or c["improved"] else {**c, "findings": []}
                                                   for c in report["conversations"]]}
    for shown in ("text", "markdown", "junit"):
        assert render(changed, shown) == render(report, shown)
