"""velkin's public Python API: import traces, diff two traces, compare runs, render a report.

    import velkin
    report = velkin.compare_runs(["main-1.agentlog", "main-2.agentlog"], ["pr.agentlog"], key="task_id")
    print(velkin.render(report, "markdown"))
    assert report["verdict"] != "regressed"

The dicts these functions return are typed below; a type checker reads them, and at run time
they are plain dicts.
"""
from __future__ import annotations

import os
from typing import TYPE_CHECKING, Any, Callable, Literal, Mapping, Optional, Sequence, TypedDict, Union, cast

from velkin import _core, _native, compare, importers
from velkin.defaults import DEFAULT_SEED
from velkin.reports import gate, html, junit, markdown, model, terminal

Verdict = Literal["regressed", "improved", "mixed", "changed", "no significant change"]
Direction = Literal["worse", "better", "neutral"]
Format = Literal["text", "html", "markdown", "junit"]
ImportFormat = Literal["otlp", "openai", "anthropic", "tau-bench"]
if TYPE_CHECKING:  # the core's own types live in its stub
    from velkin._core import DiffReportDict, PricingEntry, RecordDict

PathArg = Union[str, "os.PathLike[str]"]
Source = Union[PathArg, bytes]
Run = Union[PathArg, list[Any]]
"""An .agentlog file, a directory of them, or a list of record dicts."""
Runs = Union[Run, Sequence[Run]]
Pricing = Mapping[str, "PricingEntry"]


class TestDict(TypedDict):
    calibrated: bool
    p_value: Optional[float]
    p_adjusted: Optional[float]
    p_mc_error: Optional[float]
    significant: bool
    direction: Optional[Direction]


class ComparedAxisDict(TypedDict):
    axis: str
    label: str
    n: int
    baseline_median: Optional[float]
    candidate_median: Optional[float]
    delta: Optional[float]
    ci95_low: Optional[float]
    ci95_high: Optional[float]
    severity: Literal["none", "minor", "moderate", "severe"]
    flags: list[str]
    calibrated: bool
    p_value: Optional[float]
    p_adjusted: Optional[float]
    p_mc_error: Optional[float]
    significant: bool
    direction: Optional[Direction]
    descriptive: bool
    priced: bool  # the cost axis only: False when no matched pair has both sides priced


class SubjectDict(TypedDict):
    name: str
    conversations: int


class SignatureDict(TestDict):
    kind: str
    conversations: int
    candidate_rate: Optional[float]
    baseline_rate: Optional[float]
    subjects: list[SubjectDict]
    descriptive: bool


class OutcomeDict(TestDict):
    member: str
    n: int
    baseline_mean: Optional[float]
    candidate_mean: Optional[float]
    delta: Optional[float]
    ci95_low: Optional[float]
    ci95_high: Optional[float]
    lost: list[str]


class FindingDict(TypedDict):
    kind: str
    severity: Literal["error", "warning", "info"]
    explanation: str
    baseline_turn: Optional[int]
    candidate_turn: Optional[int]
    candidate_run: int
    subject: str
    direction: Direction


class ConversationDict(TypedDict):
    key: str
    status: Literal["paired", "baseline_only", "candidate_only"]
    baseline_ids: list[str]
    candidate_ids: list[str]
    baseline_runs: list[int]
    candidate_runs: list[int]
    baseline_outcomes: list[Optional[float]]
    candidate_outcomes: list[Optional[float]]
    regressed: bool
    improved: bool
    findings: list[FindingDict]


class ModelCountDict(TypedDict):
    model: str
    responses: int


class ModelsDict(TypedDict):
    baseline: list[ModelCountDict]
    candidate: list[ModelCountDict]
    switched: bool


class UnpricedDict(TypedDict):
    model: str
    baseline: int
    candidate: int


class PricingDict(TypedDict):
    table: bool
    unpriced: list[UnpricedDict]


class KeyDict(TypedDict):
    source: str
    member: Optional[str]


class AdviceDict(TypedDict):
    severity: Literal["error", "warning", "info"]
    message: str


class ComparisonDict(TypedDict):
    """What `compare_runs` returns (and `velkin compare --json` prints)."""
    version: str
    verdict: Verdict
    calibrated: bool
    calibration: Literal["relabelling", "sign-flip"]
    relabellings: int
    exact: bool
    descriptive: list[str]
    calibrate_with_more_runs: str
    seed: int
    baseline_runs: int
    candidate_runs: int
    key: KeyDict
    paired: int
    baseline_only: int
    candidate_only: int
    correction: str
    models: ModelsDict
    pricing: PricingDict
    axes: list[ComparedAxisDict]
    signatures: list[SignatureDict]
    outcome: Optional[OutcomeDict]
    conversations: list[ConversationDict]
    recommendations: list[AdviceDict]


class ImportSummaryDict(TypedDict):
    formats: list[str]
    conversations: int
    records: int
    skipped: dict[str, int]
    responses_without_content: int
    responses_without_model: int
    warnings: list[str]
    warning_count: int


class DiffDict(TypedDict):
    """What `diff` returns: the two traces' report, its verdict, and what `render` needs."""
    verdict: Literal["regressed", "no significant change"]
    report: "DiffReportDict"
    seed: int
    version: str
    paths: tuple[str, str]  # the traces' files, or "records"
    baseline: list["RecordDict"]
    candidate: list["RecordDict"]
    alignment: list[dict[str, Any]]


def price_table(pricing: Optional[Pricing]) -> Optional[dict[str, "PricingEntry"]]:
    """The table as the core takes it: an [input, output] list, as a JSON file gives it, becomes a pair."""
    if pricing is None:
        return None
    return {model: (prices[0], prices[1]) if isinstance(prices, list) and len(prices) == 2 else prices
            for model, prices in pricing.items()}


def compare_runs(baseline: Runs, candidate: Runs, *, key: Optional[str] = None, outcome: Optional[str] = None,
                 pricing: Optional[Pricing] = None, seed: int = DEFAULT_SEED,
                 threads: Optional[int] = None, key_pattern: Optional[str] = None) -> ComparisonDict:
    """Compare candidate runs of an eval suite against baseline runs, conversation by conversation.

    Each side is one run or a list of runs; a run is an .agentlog file, a directory of them or a
    list of record dicts. `key` names the metadata member that pairs conversations (`key_pattern`, a
    regular expression, the part of it that pairs: its first group, else the match), `outcome` a
    numeric member to compare; `pricing` maps a model to its prices per token (as `--pricing` reads
    them). Raises ValueError when the runs cannot be read or nothing pairs.
    """
    run_comparison = cast(Callable[..., ComparisonDict], compare.compare_runs)
    return run_comparison(baseline, candidate, key=key, outcome=outcome,
                          pricing=price_table(pricing), seed=seed, threads=threads, key_pattern=key_pattern)


def import_traces(paths: Union[Source, Sequence[Source]],
                  format: Optional[ImportFormat] = None) -> list["RecordDict"]:
    """Records of traces other tools wrote: OTLP JSON, OpenAI or Anthropic API logs, tau-bench results.

    `format` is that of every input, or None to detect each. Raises ValueError on bad input.
    """
    records: list["RecordDict"] = importers.import_records(paths, format)
    return records


def import_summary(paths: Union[Source, Sequence[Source]],
                   format: Optional[ImportFormat] = None) -> tuple[bytes, ImportSummaryDict]:
    """The imported traces as .agentlog bytes, with what the import mapped and skipped."""
    data, summary = importers.import_agentlog(paths, format)
    return data, cast(ImportSummaryDict, summary)


def from_otlp(traces: Source, logs: Optional[Source] = None) -> list["RecordDict"]:
    """Records of an OTLP JSON traces export, joined with its logs export when given."""
    return import_traces([traces] if logs is None else [traces, logs], "otlp")


def from_openai(log: Source) -> list["RecordDict"]:
    """Records of a JSON Lines log of OpenAI API calls."""
    return import_traces(log, "openai")


def from_anthropic(log: Source) -> list["RecordDict"]:
    """Records of a JSON Lines log of Anthropic API calls."""
    return import_traces(log, "anthropic")


def from_tau_bench(results: Source) -> list["RecordDict"]:
    """Records of a tau-bench results file."""
    return import_traces(results, "tau-bench")


def diff(baseline: Run, candidate: Run, *, pricing: Optional[Pricing] = None,
         seed: int = DEFAULT_SEED) -> DiffDict:
    """Compare two traces (.agentlog files or record lists) on the nine axes and turn by turn."""
    load = cast(Callable[[Run], list["RecordDict"]], compare.load_run)
    sides = (load(baseline), load(candidate))
    report = _core.compute_diff_report(sides[0], sides[1], price_table(pricing), seed)
    regressed = any(r["severity"] == "error" for r in report["recommendations"])
    return {"verdict": "regressed" if regressed else "no significant change", "report": report, "seed": seed,
            "version": _core.__version__, "paths": (label_of(baseline), label_of(candidate)),
            "baseline": sides[0], "candidate": sides[1],
            "alignment": [dict(step) for step in _native.alignment(sides[0], sides[1])]}


def label_of(run: Run) -> str:
    return os.fspath(run) if isinstance(run, (str, os.PathLike)) else "records"


def view(report: Union[ComparisonDict, DiffDict]) -> model.Report:
    if "alignment" in report:
        traces = cast(DiffDict, report)
        return model.from_diff(dict(traces["report"]), traces["alignment"], traces["baseline"], traces["candidate"],
                               paths=traces["paths"], seed=traces["seed"], version=traces["version"])
    return model.from_compare(dict(report), paths=("baseline", "candidate"),
                              warnings=gate.pricing_warnings(dict(report)))


def render(report: Union[ComparisonDict, DiffDict], format: Format = "text", *, width: int = 80) -> str:
    """The report of `compare_runs` or `diff` as terminal text (`width` columns), a self-contained
    HTML page, Markdown for a pull-request comment, or JUnit XML."""
    shown = view(report)
    if format == "text":
        return terminal.render(shown, width=width)
    if format == "html":
        return html.render(shown)
    if format == "markdown":
        return markdown.render(shown)
    if format == "junit":
        return junit.render(shown)
    raise ValueError(f"unknown report format {format!r}: expected text, html, markdown or junit")
