"""What every report shows, read once from a diff report or a run comparison.

The terminal, HTML, Markdown and JUnit renderers all take a `Report`; they
never read the report dicts themselves, so both commands look the same in
every format.
"""
from __future__ import annotations

import json
from dataclasses import dataclass, field
from functools import cached_property
from typing import Callable, Mapping, Optional, Sequence

from velkin import _native
from velkin.reports.gate import CHANGED, IMPROVED, MIXED, NO_CHANGE, REGRESSED, diff_verdict, gate_fails
from velkin.traces import responses


@dataclass(frozen=True)
class AxisInfo:
    label: str
    unit: str  # "rate" values are fractions shown as percentages
    higher_is_better: Optional[bool]  # None: neither direction is a regression by itself


AXIS_INFO = {
    "semantic": AxisInfo("semantic similarity", "similarity", True),
    "trajectory": AxisInfo("tool-call trajectory", "distance", False),
    "safety": AxisInfo("refusal rate", "rate", False),
    "verbosity": AxisInfo("output length", "tokens", None),
    "latency": AxisInfo("latency", "ms", False),
    "cost": AxisInfo("cost per response", "USD", False),
    "reasoning": AxisInfo("reasoning depth", "tokens", None),
    "judge": AxisInfo("judge score", "score", True),
    "conformance": AxisInfo("format conformance", "rate", True),
}
UNKNOWN_AXIS = AxisInfo("", "", None)

# Longest texts a report quotes: a tool argument or a response can be a whole document, and a
# report that copies them in full can grow past what a browser or a CI server opens.
LONGEST_EXPLANATION = 1_000
LONGEST_VALUE = 500
LONGEST_TURN_TEXT = 4_000



def shorten(text: str, limit: int) -> str:
    if len(text) <= limit:
        return text
    return f"{text[:limit]}\u2026 ({len(text) - limit:,} more characters)"


# Marks of an axis: how its change reads for the candidate.
WORSE, BETTER, SAME, UNCLEAR, MORE, LESS, NO_DATA = "worse", "better", "same", "unclear", "more", "less", "no data"
NOT_SIGNIFICANT = "within noise"  # a tested change that is not significant
DESCRIPTIVE = "uncalibrated"  # no reference to test against: a fact, never graded
NOT_PRICED = "not priced"

ALARMING = {"severe", "error"}


def p_text(p: Optional[float], error: Optional[float] = None) -> str:
    """A p value with its Monte-Carlo standard error where it is estimated: "0.031 \u00b1 0.004"."""
    if p is None:
        return "n/a"
    return f"{p:.3g}" + (f" \u00b1 {error:.1g}" if error else "")


def fmt_number(x: Optional[float], unit: str, signed: bool = False) -> str:
    """A value in its axis's unit: "880 ms", "41 tokens", "$0.0105", "33.3%" (deltas of rates in points)."""
    if x is None:
        return "n/a"
    sign = "+" if signed else ""
    if unit == "rate":
        return f"{x * 100:{sign}.1f} pp" if signed else f"{x * 100:.1f}%"
    if unit == "USD":
        text = f"{abs(x):.2g}" if 0 < abs(x) < 0.001 else f"{abs(x):.4f}"
        prefix = ("-" if x < 0 else "+" if signed else "")
        return f"{prefix}${text}"
    if unit in ("ms", "tokens"):
        digits = 0 if abs(x) >= 100 or float(x).is_integer() else 1
        return f"{x:{sign},.{digits}f} {unit}"
    return f"{x:{sign}.3f}"


@dataclass
class Axis:
    name: str
    baseline: Optional[float]
    candidate: Optional[float]
    delta: Optional[float]
    low: Optional[float]
    high: Optional[float]
    severity: str
    n: int
    flags: list = field(default_factory=list)
    calibrated: Optional[bool] = None
    p_value: Optional[float] = None
    p_mc_error: Optional[float] = None
    # The run comparison tests both ways and says which way a significant change goes
    # ("worse", "better", "neutral"; None when not significant); a diff grades by severity.
    tested: bool = False
    direction: Optional[str] = None
    descriptive: bool = False
    priced: bool = True

    @property
    def info(self) -> AxisInfo:
        return AXIS_INFO.get(self.name, UNKNOWN_AXIS)

    @property
    def unit(self) -> str:
        return self.info.unit

    @property
    def mark(self) -> str:
        if not self.priced:
            return NOT_PRICED
        if self.n == 0 or self.delta is None:
            return NO_DATA
        if self.descriptive:
            return DESCRIPTIVE
        if self.tested:
            if self.direction is None:
                return SAME if self.delta == 0 else NOT_SIGNIFICANT
            if self.direction == "neutral":
                return MORE if self.delta > 0 else LESS
            return WORSE if self.direction == "worse" else BETTER
        if self.severity == "none" or self.delta == 0:
            return SAME
        if self.low is not None and self.high is not None and self.low < 0 < self.high and \
                self.severity not in ALARMING:
            return UNCLEAR
        better = self.info.higher_is_better
        if better is None:
            return MORE if self.delta > 0 else LESS
        return BETTER if (self.delta > 0) == better else WORSE

    @property
    def failing(self) -> bool:
        return self.mark == WORSE and self.severity in ALARMING

    @property
    def graded(self) -> bool:
        return self.priced and not self.descriptive

    def fmt(self, x, signed=False) -> str:
        return fmt_number(x, self.unit, signed)

    def interval(self) -> str:
        return f"[{self.fmt(self.low, True)}, {self.fmt(self.high, True)}]"

    def notes(self) -> list:
        """What qualifies the numbers: calibration, the test's adjusted p."""
        notes = [flag.replace("_", " ") for flag in self.flags]
        if self.descriptive:
            notes.append("descriptive, uncalibrated: never a failure")
        elif self.calibrated is False:
            notes.append("uncalibrated")
        if self.p_value is not None:
            notes.append(f"adjusted p {p_text(self.p_value, self.p_mc_error)}" if self.tested
                         else f"p {p_text(self.p_value)}")
        return notes


@dataclass
class ArgumentChange:
    tool: str
    argument: Optional[str]
    baseline: Optional[str]  # compact JSON; None when missing
    candidate: Optional[str]

    def __str__(self) -> str:
        where = f"{self.tool}({self.argument})" if self.argument is not None else self.tool
        old, new = (shorten(v, LONGEST_VALUE) if v is not None else "<missing>"
                    for v in (self.baseline, self.candidate))
        return f"{where}: {old} \u2192 {new}"


@dataclass
class Finding:
    """One place where the candidate departs from the baseline."""
    severity: str  # error | warning | info
    kind: str
    explanation: str
    baseline_turn: Optional[int]
    candidate_turn: Optional[int]
    axis: str = ""
    confidence: Optional[float] = None
    tools_added: list = field(default_factory=list)
    tools_removed: list = field(default_factory=list)
    arguments: list = field(default_factory=list)  # ArgumentChange
    stop_reason: Optional[tuple] = None
    model: Optional[tuple] = None
    conversation: str = ""  # the run comparison's conversation key
    subject: str = ""  # what changed: a tool, "tool(argument)", "A \u2192 B"
    direction: str = ""  # worse | better | neutral, where the run comparison says

    @property
    def where(self) -> str:
        return turns_label(self.baseline_turn, self.candidate_turn)


def turns_label(baseline_turn, candidate_turn) -> str:
    """Both sides named: "baseline #6 / candidate #5"."""
    parts = []
    if baseline_turn is not None:
        parts.append(f"baseline #{baseline_turn}")
    if candidate_turn is not None:
        parts.append(f"candidate #{candidate_turn}")
    return " / ".join(parts) or "whole run"


@dataclass
class Turn:
    """What a reader needs of one response: its text, tool calls, stop reason and model."""
    index: int
    text: str
    tool_calls: list  # (name, input as parsed JSON)
    stop_reason: str
    model: str


@dataclass
class AlignedRow:
    step: str  # match | insert | delete
    baseline: Optional[Turn]
    candidate: Optional[Turn]
    finding: Optional[Finding]


@dataclass
class Recommendation:
    severity: str
    message: str
    detail: str = ""
    where: str = ""
    axis: str = ""


@dataclass
class DrillRow:
    where: str
    score: Optional[float]
    dominant: str
    changes: list  # (axis name, formatted delta)


@dataclass
class Conversation:
    """A conversation of a run comparison. A suite holds thousands, of which a report shows the findings
    and turns of a few: both are built from the comparison's dicts when first read."""
    key: str
    status: str
    regressed: bool
    baseline_ids: list
    candidate_ids: list
    found: list  # the comparison's finding dicts
    rows_of: Optional[Callable] = None  # gives the AlignedRows, when the records are at hand
    improved: bool = False
    source: dict = field(default_factory=dict)  # the comparison's conversation dict, which rows_of reads

    @property
    def state(self) -> str:
        return "regressed" if self.regressed else "improved" if self.improved else self.status.replace("_", " ")

    @cached_property
    def findings(self) -> list:
        findings = [finding_of_dict(f) for f in self.found]
        for f in findings:
            f.conversation = self.key
        return findings

    @property
    def errors(self) -> int:
        return sum(1 for f in self.found if f.get("severity", "info") == "error")

    @cached_property
    def rows(self) -> list:
        return self.rows_of(self.source) if self.rows_of else []


@dataclass
class Models:
    """The models that answered on each side, most responses first ("" for none named)."""
    baseline: list  # (model, responses)
    candidate: list
    switched: bool

    def line(self) -> str:
        """ "model switched: a (250 responses) \u2192 b (250 responses)", or the unchanged models."""
        def side(models):
            return ", ".join(f"{name or '(no model)'} ({count} response{'s' if count != 1 else ''})"
                             for name, count in models) or "(no responses)"
        if self.switched:
            return f"model switched: {side(self.baseline)} \u2192 {side(self.candidate)}"
        return f"model unchanged: baseline {side(self.baseline)}; candidate {side(self.candidate)}"


@dataclass
class Side:
    label: str  # baseline | candidate
    path: str
    trace_id: str
    responses: Optional[int]


@dataclass
class Report:
    command: str  # diff | compare
    verdict: str
    calibrated: Optional[bool]
    seed: Optional[int]
    version: str
    sides: list  # Side
    axes: list  # Axis
    findings: list  # Finding, in path order (diff: every divergence of the alignment)
    recommendations: list  # Recommendation
    rows: list = field(default_factory=list)  # AlignedRow (diff)
    drill_down: list = field(default_factory=list)  # DrillRow (diff)
    conversations: list = field(default_factory=list)  # Conversation (compare), regressed first
    warnings: list = field(default_factory=list)
    pair_count: Optional[int] = None
    model_change: Optional[tuple] = None  # (baseline, candidate, matched turns) when one switch covers the run
    notes: list = field(default_factory=list)  # facts beside the verdict
    # (where, baseline model, candidate model) of matched turns that switched model and diverge in nothing else
    model_switches: list = field(default_factory=list)
    models: Optional[Models] = None  # the run comparison's models per side
    calibration: str = ""  # how the run comparison calibrated: "relabelling" or "sign-flip"
    relabellings: Optional[int] = None
    exact: bool = False
    descriptive: list = field(default_factory=list)  # statistics shown as facts only
    calibrate_with_more_runs: str = ""
    # Direction -> the statistics of a run comparison that moved significantly that way
    moved: dict = field(default_factory=dict)

    def calibration_text(self) -> str:
        """ "calibrated by sign-flip (exact)", "calibrated by relabelling (1,000 relabellings)"."""
        if self.calibration:
            drawn = "sign-flips" if self.calibration == "sign-flip" else "relabellings"
            how = "exact" if self.exact else f"{self.relabellings:,} {drawn}" if self.relabellings else ""
            return f"calibrated by {self.calibration}" + (f" ({how})" if how else "")
        if self.calibrated is None:
            return ""
        return "calibrated" if self.calibrated else "not calibrated"

    def descriptive_text(self) -> str:
        if not self.descriptive:
            return ""
        return ("descriptive only, uncalibrated and never a failure: " + ", ".join(self.descriptive) +
                (f". {self.calibrate_with_more_runs}" if self.calibrate_with_more_runs else ""))

    def regressed_summary(self) -> str:
        """How much regressed, in the report's own unit: what a run comparison found worse, else findings."""
        if self.command == "compare":
            return self.moved_summary("worse")
        count = len(self.errors)
        return f"{count} error-level finding{'s' if count != 1 else ''}"

    def moved_summary(self, direction: str) -> str:
        """ "latency worse; 3 of 25 conversations regressed": the statistics that moved significantly
        `direction` ("worse" or "better") and the conversations that did."""
        names = self.moved.get(direction, [])
        moved = [c for c in self.conversations if (c.regressed if direction == "worse" else c.improved)]
        parts = [", ".join(names) + f" {direction}"] if names else []
        if moved or not names:
            parts.append(f"{len(moved)} of {len(self.conversations)} conversations "
                         f"{'regressed' if direction == 'worse' else 'improved'}")
        return "; ".join(parts)

    def verdict_text(self) -> str:
        """What the verdict means, in the words every format uses."""
        if self.verdict == REGRESSED:
            return f"the candidate is worse than the baseline ({self.regressed_summary()})"
        if self.verdict == IMPROVED:
            return f"the candidate is better than the baseline ({self.moved_summary('better')}); nothing regressed"
        if self.verdict == MIXED:
            return f"significant changes both ways ({self.moved_summary('worse')}; {self.moved_summary('better')})"
        if self.verdict == CHANGED:
            return "the candidate behaves differently, but neither better nor worse"
        if self.verdict == NO_CHANGE:
            return "nothing changed beyond the noise" if self.command == "compare" else "no error-level finding"
        return self.verdict

    @property
    def errors(self) -> list:
        return [r for r in self.recommendations if r.severity == "error"]

    def gate_fails(self, fail_on: str) -> bool:
        severities = {r.severity for r in self.recommendations}
        severities |= {f.severity for c in self.conversations if c.regressed for f in c.findings
                       if f.direction != "better"}
        return gate_fails(self.verdict, severities, fail_on)

    def top_findings(self, limit: int) -> list:
        """By severity; then what a run comparison found worse or better, structural changes, and by
        confidence, as the report ranks them."""
        rank = {"error": 0, "warning": 1, "info": 2}
        ordered = sorted(self.findings, key=lambda f: (rank.get(f.severity, 3), f.direction not in ("worse", "better"),
                                                       f.kind != "structural_drift", -(f.confidence or 0)))
        return ordered[:limit]


# ---- diff -------------------------------------------------------------------

def compact(value) -> str:
    return json.dumps(value, ensure_ascii=False, separators=(",", ":"))


def turn_of(index: int, record: dict) -> Turn:
    payload = record.get("payload")
    payload = payload if isinstance(payload, dict) else {}
    content = payload.get("content")
    blocks = [b for b in content if isinstance(b, dict)] if isinstance(content, list) else []
    texts = [b["text"] for b in blocks if b.get("type") == "text" and isinstance(b.get("text"), str)]
    calls = [(b["name"] if isinstance(b.get("name"), str) else "_", b.get("input"))
             for b in blocks if b.get("type") == "tool_use"]
    stop, model = payload.get("stop_reason"), payload.get("model")
    return Turn(index, shorten("\n".join(texts), LONGEST_TURN_TEXT), calls, stop if isinstance(stop, str) else "",
                model if isinstance(model, str) else "")


def divergence_severity(divergence: dict) -> str:
    """Structural drift is an error, a decision drift a warning, as the recommendations grade them."""
    if divergence["kind"] == "structural_drift" or "content_filter" in divergence["explanation"]:
        return "error"
    return "warning"


def finding_of_step(step: dict) -> Finding:
    d = step["divergence"]
    stop, model = step["stop_reason"], step["model"]
    return Finding(
        severity=divergence_severity(d), kind=d["kind"], explanation=shorten(d["explanation"], LONGEST_EXPLANATION),
        baseline_turn=d["baseline_turn"], candidate_turn=d["candidate_turn"], axis=d["primary_axis"],
        confidence=d["confidence"], tools_added=step["tools_added"], tools_removed=step["tools_removed"],
        arguments=[ArgumentChange(**a) for a in step["arguments"]],
        stop_reason=(stop["baseline"], stop["candidate"]) if stop else None,
        model=(model["baseline"], model["candidate"]) if model else None)


def common_model_change(steps: list) -> Optional[tuple]:
    """(baseline model, candidate model, turns) when every matched pair shows the same switch."""
    matched = [s for s in steps if s["step"] == "match"]
    changes: set = {(s["model"]["baseline"], s["model"]["candidate"]) if s["model"] else None for s in matched}
    if len(changes) == 1 and None not in changes:
        return (*changes.pop(), len(matched))
    return None


def axis_of_row(row: dict) -> Axis:
    return Axis(row["axis"], row["baseline_median"], row["candidate_median"], row["delta"], row["ci95_low"],
                row["ci95_high"], row["severity"], row["n"], list(row["flags"]))


def aligned_rows(steps: list, baseline: list, candidate: list) -> list:
    """Both sides' turns along the alignment `steps` of their records (velkin._native.alignment)."""
    baseline_turns = [turn_of(i, r) for i, r in enumerate(responses(baseline))]
    candidate_turns = [turn_of(i, r) for i, r in enumerate(responses(candidate))]
    rows = []
    for step in steps:
        b, c = step["baseline_turn"], step["candidate_turn"]
        rows.append(AlignedRow(step["step"], baseline_turns[b] if b is not None else None,
                               candidate_turns[c] if c is not None else None,
                               finding_of_step(step) if step["divergence"] else None))
    return rows


def from_diff(report: Mapping, steps: list, baseline: list, candidate: list, *, paths: tuple, seed,
              version: str, warnings: Sequence = ()) -> Report:
    """`steps` is the full alignment of the two record lists (velkin._native.alignment)."""
    rows = aligned_rows(steps, baseline, candidate)
    findings = [row.finding for row in rows if row.finding]
    recommendations = [
        Recommendation(r["severity"], r["message"], r["rationale"],
                       "" if r["action"] == "root_cause" else turns_label(r["baseline_turn"], r["candidate_turn"]),
                       r["axis"])
        for r in report["recommendations"]]
    drill = []
    for pair in report["drill_down"]:
        moved = sorted((s for s in pair["axis_scores"] if s["normalized_delta"]), key=lambda s: -s["normalized_delta"])
        drill.append(DrillRow(turns_label(pair["baseline_turn"], pair["candidate_turn"]), pair["regression_score"],
                              pair["dominant_axis"],
                              [(s["axis"], fmt_number(s["delta"], AXIS_INFO.get(s["axis"], UNKNOWN_AXIS).unit, True))
                               for s in moved[:3]]))
    sides = [Side("baseline", paths[0], report["baseline_trace_id"], len(responses(baseline))),
             Side("candidate", paths[1], report["candidate_trace_id"], len(responses(candidate)))]
    verdict = diff_verdict(report)
    common = common_model_change(steps)
    switches = [] if common else [(turns_label(s["baseline_turn"], s["candidate_turn"]), s["model"]["baseline"],
                                   s["model"]["candidate"]) for s in steps if s["model"] and not s["divergence"]]
    return Report("diff", verdict, None, seed, version, sides, [axis_of_row(r) for r in report["rows"]], findings,
                  recommendations, rows=rows, drill_down=drill, warnings=list(warnings),
                  pair_count=report["pair_count"], model_change=common, model_switches=switches)


# ---- run comparison ----------------------------------------------------------

def conversations_of(records: list) -> dict:
    """Conversation id -> its records, grouped as the run comparison groups them."""
    return {c["id"]: [records[i] for i in c["records"]] for c in _native.conversations(records)}


def conversation_rows(baseline_runs: list, candidate_runs: list, align) -> Callable:
    """`rows_of` for `from_compare`: a regressed or improved conversation's first baseline and first
    candidate replicate along their alignment (`align` is velkin._native.alignment). A run is its records,
    or a function that reads them, called only when a conversation shown first needs that run: a suite
    with nothing regressed or improved is not read again, and one that is, mostly in its first runs."""
    groups: dict = {}

    def grouped(run) -> dict:
        if id(run) not in groups:
            groups[id(run)] = conversations_of(run() if callable(run) else run)
        return groups[id(run)]

    def first(runs: list, ids: list) -> list:
        return next((grouped(run)[i] for i in ids for run in runs if i in grouped(run)), [])

    def rows_of(conversation: dict) -> list:
        if not (conversation.get("regressed") or conversation.get("improved")):
            return []
        baseline = first(baseline_runs, conversation.get("baseline_ids", []))
        candidate = first(candidate_runs, conversation.get("candidate_ids", []))
        if not baseline or not candidate:
            return []
        return aligned_rows(align(baseline, candidate), baseline, candidate)

    return rows_of


def finding_of_dict(d: dict) -> Finding:
    return Finding(severity=d.get("severity", "info"), kind=d.get("kind", ""),
                   explanation=shorten(str(d.get("explanation", "")), LONGEST_EXPLANATION),
                   baseline_turn=d.get("baseline_turn"), candidate_turn=d.get("candidate_turn"),
                   subject=shorten(str(d.get("subject") or ""), LONGEST_VALUE), direction=d.get("direction") or "")


def test_text(result: dict) -> str:
    """ "adjusted p 0.031 \u00b1 0.004, worse" of a test's dict."""
    text = f"adjusted p {p_text(result.get('p_adjusted'), result.get('p_mc_error'))}"
    return text + (f", {result['direction']}" if result.get("direction") else "")


SHOWN_SUBJECTS = 3  # of a signature, most conversations first as the comparison lists them


def signature_note(signature: dict) -> str:
    base = signature.get("baseline_rate")
    kind = signature.get("kind")
    named = signature.get("subjects") or []
    subjects = ", ".join(f"{shorten(str(s.get('name')), LONGEST_VALUE)} ({s.get('conversations')})"
                         for s in named[:SHOWN_SUBJECTS])
    subjects += f" and {len(named) - SHOWN_SUBJECTS} more" if len(named) > SHOWN_SUBJECTS else ""
    text = (f"signature {kind}" + (f" [{subjects}]" if subjects else "") +
            f": {signature.get('conversations')} conversation(s), "
            f"candidate rate {signature.get('candidate_rate', 0):.1%}"
            + (f" vs baseline {base:.1%}" if base is not None else ""))
    if signature.get("descriptive"):
        return text + " (descriptive, uncalibrated: never a failure)"
    return text + f", {test_text(signature)}"


def comparison_notes(result: dict) -> list:
    """The run comparison's own facts: runs, pairing, outcome, significant and descriptive signatures."""
    notes = []
    if "baseline_runs" in result:
        notes.append(f"{result['baseline_runs']} baseline run(s), {result.get('candidate_runs', 0)} candidate run(s)")
    if "paired" in result:
        notes.append(f"{result['paired']} conversation(s) paired, {result.get('baseline_only', 0)} only in the "
                     f"baseline, {result.get('candidate_only', 0)} only in the candidate")
    outcome = result.get("outcome")
    if isinstance(outcome, dict):
        notes.append(f"outcome `{outcome.get('member', 'outcome')}` over {outcome.get('n', 0)} conversations: "
                     f"{fmt_number(outcome.get('baseline_mean'), '')} \u2192 "
                     f"{fmt_number(outcome.get('candidate_mean'), '')}"
                     f" ({fmt_number(outcome.get('delta'), '', True)}, "
                     f"95% [{fmt_number(outcome.get('ci95_low'), '', True)}, "
                     f"{fmt_number(outcome.get('ci95_high'), '', True)}], {test_text(outcome)})")
    for signature in result.get("signatures") or []:
        if isinstance(signature, dict) and (signature.get("significant") or
                                            (signature.get("descriptive") and signature.get("conversations"))):
            notes.append(signature_note(signature))
    return notes


def moved_of(result: dict) -> dict:
    """Direction -> names of the significant axes, outcome and signatures that moved that way."""
    outcome = result.get("outcome")
    tested = [(a.get("axis"), a) for a in result.get("axes") or []]
    tested += [(f"outcome `{outcome.get('member', 'outcome')}`", outcome)] if isinstance(outcome, dict) else []
    tested += [(s.get("kind"), s) for s in result.get("signatures") or [] if s.get("kind") != "pooled"]
    moved: dict = {}
    for name, test in tested:
        if test.get("significant") and test.get("direction") in ("worse", "better"):
            moved.setdefault(test["direction"], []).append(str(name))
    return moved


def models_of(result: dict) -> Optional[Models]:
    models = result.get("models")
    if not isinstance(models, dict):
        return None
    sides = [[(str(m.get("model", "")), int(m.get("responses", 0))) for m in models.get(side) or []]
             for side in ("baseline", "candidate")]
    return Models(sides[0], sides[1], bool(models.get("switched")))


def axis_of_comparison(a: dict) -> Axis:
    return Axis(a["axis"], a.get("baseline_median"), a.get("candidate_median"), a.get("delta"), a.get("ci95_low"),
                a.get("ci95_high"), a.get("severity", "none"), a.get("n", 0), list(a.get("flags") or []),
                a.get("calibrated"), a.get("p_adjusted", a.get("p_value")), a.get("p_mc_error"),
                tested="direction" in a, direction=a.get("direction"), descriptive=bool(a.get("descriptive")),
                priced=a.get("priced", True) is not False)


def from_compare(result: dict, *, paths: tuple, warnings: Sequence = (), rows_of=None) -> Report:
    """`rows_of(conversation dict)` may give the conversation's aligned turns."""
    key = result.get("key")
    member = key.get("member") if isinstance(key, dict) and key.get("source") == "member" else None
    conversations = []
    for c in result.get("conversations", []):
        conversations.append(Conversation(
            f"{member} {c.get('key', '')}" if member else str(c.get("key", "")), c.get("status", "paired"),
            bool(c.get("regressed")), c.get("baseline_ids", []), c.get("candidate_ids", []), c.get("findings", []),
            rows_of, improved=bool(c.get("improved")), source=c))
    conversations.sort(key=lambda c: (not c.regressed, not c.improved))  # stable: then input order
    findings = [f for c in conversations if c.regressed or c.improved for f in c.findings]
    recommendations = [Recommendation(r.get("severity", "info"), r.get("message", ""), axis=r.get("axis", ""))
                       for r in result.get("recommendations", [])]
    sides = [Side("baseline", paths[0], "", None), Side("candidate", paths[1], "", None)]
    return Report("compare", result.get("verdict", NO_CHANGE), result.get("calibrated"), result.get("seed"),
                  str(result.get("version", "")), sides, [axis_of_comparison(a) for a in result.get("axes", [])],
                  findings, recommendations, conversations=conversations, warnings=list(warnings),
                  notes=comparison_notes(result), models=models_of(result),
                  calibration=str(result.get("calibration") or ""), relabellings=result.get("relabellings"),
                  exact=bool(result.get("exact")), descriptive=list(result.get("descriptive") or []),
                  calibrate_with_more_runs=str(result.get("calibrate_with_more_runs") or ""), moved=moved_of(result))
