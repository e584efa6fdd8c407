"""The report as one self-contained HTML page: inline CSS and SVG, no script, no network.

The numbers and positions are worked out here; the Jinja2 template only lays
them out, escaping every value.
"""
from __future__ import annotations

import functools
import re
from dataclasses import dataclass, field
from typing import Optional

import markupsafe

from velkin.defaults import LISTED_CONVERSATIONS
from velkin.reports.gate import CHANGED, IMPROVED, MIXED, NO_CHANGE, REGRESSED
from velkin.reports.model import (
    BETTER,
    DESCRIPTIVE,
    LESS,
    LONGEST_VALUE,
    MORE,
    NO_DATA,
    NOT_PRICED,
    NOT_SIGNIFICANT,
    SAME,
    UNCLEAR,
    WORSE,
    Axis,
    Finding,
    Report,
    Turn,
    compact,
    shorten,
)
from velkin.reports.visible import visible

# Each verdict's heading and the class that colours it.
VERDICTS = {REGRESSED: ("\u2717 Regressed", "regressed"), IMPROVED: ("\u25b2 Improved", "improved"),
            MIXED: ("\u00b1 Mixed", "mixed"), CHANGED: ("\u2260 Changed", "changed"),
            NO_CHANGE: ("\u2713 No significant change", "ok")}
MARKS = {WORSE: "\u25bc worse", BETTER: "\u25b2 better", SAME: "= same", UNCLEAR: "~ unclear", MORE: "\u2191 more",
         LESS: "\u2193 less", NO_DATA: "", NOT_SIGNIFICANT: "~ within noise", DESCRIPTIVE: "? uncalibrated",
         NOT_PRICED: "not priced"}

# A page with more turns than this shows the divergent ones and their neighbours only.
MAX_TURN_ROWS = 400
CONTEXT = 1  # unchanged turns kept on each side of a divergent one

LONGEST_NAME = 80  # characters of a tool name, key, model or path in the page; the title holds it all


def shown(value):
    """Every value the page prints, before Jinja2 escapes it: control, bidi and invisible characters of
    trace text shown as escapes (what the template built itself is left alone)."""
    return visible(value) if isinstance(value, str) and not isinstance(value, markupsafe.Markup) else value


def name(value, limit: int = LONGEST_NAME) -> markupsafe.Markup:
    """A name from the trace (or a line quoting names), shortened to `limit` characters with the whole
    of it in a title."""
    full = visible(str(value))
    if len(full) <= limit:
        return markupsafe.escape(full)
    return markupsafe.Markup('<span class="cut" title="{}">{}</span>').format(full, shorten(full, limit))


@functools.cache
def environment():
    """Jinja2 is loaded with the first page, not with the command line."""
    import jinja2

    loaded = jinja2.Environment(loader=jinja2.PackageLoader("velkin.reports", "templates"), autoescape=True,
                                trim_blocks=True, lstrip_blocks=True, undefined=jinja2.StrictUndefined, finalize=shown)
    loaded.filters["name"] = name
    return loaded


@dataclass
class PlotRow:
    axis: Axis
    tone: str  # css class: worse-severe, worse, better, unclear, same, none
    low: float  # percentages of the plot's width
    high: float
    point: float
    left_label: str
    right_label: str


@dataclass
class Argument:
    key: Optional[str]
    value: str
    change: str = ""  # "old" or "new" when the finding changed it


@dataclass
class Call:
    name: str
    arguments: list  # Argument
    change: str = ""  # "added" or "removed"


@dataclass
class TurnView:
    index: int
    text: str
    calls: list
    stop_reason: str
    stop_changed: bool
    model: str


@dataclass
class RowView:
    anchor: str
    step: str
    baseline: Optional[TurnView]
    candidate: Optional[TurnView]
    finding: Optional[Finding]
    skipped: int = 0  # unchanged turns folded before this row


@dataclass
class ConversationView:
    key: str
    status: str
    regressed: bool
    improved: bool
    errors: int
    findings: list
    rows: list = field(default_factory=list)


def tone(axis: Axis) -> str:
    if axis.mark == WORSE:
        return "worse-severe" if axis.severity in ("severe", "error") else "worse"
    return {BETTER: "better", UNCLEAR: "unclear", NOT_SIGNIFICANT: "unclear", SAME: "same",
            DESCRIPTIVE: "descriptive"}.get(axis.mark, "none")


def plot_row(axis: Axis) -> PlotRow:
    """Positions on a scale symmetric about zero, so the zero line is the same for every axis."""
    values = [v for v in (axis.low, axis.high, axis.delta) if v is not None]
    largest = max((abs(v) for v in values), default=0.0)
    if axis.n == 0 or largest == 0 or not axis.priced:
        return PlotRow(axis, tone(axis) if axis.n else "none", 50.0, 50.0, 50.0, "", "")
    span = largest * 1.1

    def at(v):
        return 50.0 + 45.0 * (v if v is not None else 0.0) / span

    return PlotRow(axis, tone(axis), at(axis.low), at(axis.high), at(axis.delta),
                   axis.fmt(-span / 1.1, True), axis.fmt(span / 1.1, True))


def call_shape(name: str, arguments) -> str:
    keys = sorted(arguments) if isinstance(arguments, dict) else []
    return f"{name}({','.join(keys)})"


def call_view(name: str, arguments, finding: Optional[Finding], side: str) -> Call:
    changed = {}
    if finding:
        changed = {c.argument: c for c in finding.arguments if c.tool == name}
    mark = "old" if side == "baseline" else "new"
    if isinstance(arguments, dict):
        args = [Argument(k, shorten(compact(v), LONGEST_VALUE), mark if k in changed else "")
                for k, v in arguments.items()]
        for key, change in changed.items():  # an argument only one side has
            if key is not None and key not in arguments and side == "baseline" and change.baseline is None:
                args.append(Argument(key, "<missing>", mark))
    else:
        args = [Argument(None, shorten(compact(arguments), LONGEST_VALUE), mark if None in changed else "")]
    state = ""
    if finding:
        shape = call_shape(name, arguments)
        if side == "candidate" and shape in finding.tools_added:
            state = "added"
        elif side == "baseline" and shape in finding.tools_removed:
            state = "removed"
    return Call(name, args, state)


def turn_view(turn: Optional[Turn], finding: Optional[Finding], side: str) -> Optional[TurnView]:
    if turn is None:
        return None
    return TurnView(turn.index, turn.text, [call_view(n, a, finding, side) for n, a in turn.tool_calls],
                    turn.stop_reason, bool(finding and finding.stop_reason), turn.model)


# The ids of the page's sections, which no anchor of a turn or a finding may take.
SECTION_IDS = ("verdict", "models", "descriptive", "findings", "axes", "forest-plot", "recommendations", "turns",
               "conversations", "unlisted", "drill-down", "warnings")


class Anchors:
    """One id per turn or finding on the page, each different from every other: a conversation key
    becomes part of an id only through the characters an id can hold, so two keys can map alike."""

    def __init__(self):
        self.taken = set(SECTION_IDS)
        self.of_item = {}

    def add(self, item, base: str) -> str:
        base = re.sub(r"[^A-Za-z0-9_-]+", "-", base).strip("-") or "x"
        anchor, n = base, 1
        while anchor in self.taken:
            n += 1
            anchor = f"{base}-{n}"
        self.taken.add(anchor)
        self.of_item[id(item)] = anchor
        return anchor

    def __call__(self, item) -> str:
        """The item's id; "" for one the page does not show."""
        return self.of_item.get(id(item), "")


def turns_base(baseline, candidate) -> str:
    return f"b{'x' if baseline is None else baseline}-c{'x' if candidate is None else candidate}"


def row_views(rows: list, anchors: Anchors, prefix: str = "") -> list:
    """Every row when few; otherwise divergent rows with their neighbours, the rest folded.

    `prefix` names the conversation of the rows on a page of several."""
    keep = set(range(len(rows)))
    if len(rows) > MAX_TURN_ROWS:
        divergent = [i for i, r in enumerate(rows) if r.finding]
        keep = {j for i in divergent for j in range(i - CONTEXT, i + CONTEXT + 1) if 0 <= j < len(rows)}
        keep = set(sorted(keep)[:MAX_TURN_ROWS])
    views, skipped = [], 0
    for i, row in enumerate(rows):
        if i not in keep:
            skipped += 1
            continue
        f = row.finding
        if f:
            turns = turns_base(f.baseline_turn, f.candidate_turn)
        else:
            turns = turns_base(row.baseline.index if row.baseline else None,
                               row.candidate.index if row.candidate else None)
        anchor = anchors.add(row.finding or row, f"{prefix}{'finding' if row.finding else 'turn'}-{turns}")
        views.append(RowView(anchor, row.step, turn_view(row.baseline, row.finding, "baseline"),
                             turn_view(row.candidate, row.finding, "candidate"), row.finding, skipped))
        skipped = 0
    if skipped and views:
        views.append(RowView("", "folded", None, None, None, skipped))
    return views


def headline(report: Report) -> str:
    summary = report.verdict_text()
    summary = summary[:1].upper() + summary[1:] + "."
    if report.verdict in (REGRESSED, MIXED):
        first = report.top_findings(1)
        errors = report.errors
        if first:
            where = f"{first[0].conversation}, {first[0].where}" if first[0].conversation else first[0].where
            lead = f"Most serious, at {where}: {first[0].explanation}"
        else:
            lead = errors[0].message if errors else ""
        return f"{summary} {lead}".strip()
    return f"{summary} The gate passes."


def conversation_views(report: Report, anchors: Anchors, listed: int) -> list:
    views = []
    for c in report.conversations[:listed]:
        prefix = f"conversation-{c.key}-"
        for f in c.findings:
            anchors.add(f, prefix + "finding-" + turns_base(f.baseline_turn, f.candidate_turn))
        views.append(ConversationView(c.key, c.state, c.regressed, c.improved, c.errors, c.findings,
                                      row_views(c.rows, anchors, prefix + "turns-")))
    return views


def render(report: Report, conversations_listed: int = LISTED_CONVERSATIONS) -> str:
    """The page; a run comparison's first `conversations_listed` conversations (regressed first) are
    shown in full."""
    anchors = Anchors()
    rows = row_views(report.rows, anchors)
    conversations = conversation_views(report, anchors, conversations_listed)
    rest = report.conversations[conversations_listed:]
    template = environment().get_template("report.html.j2")
    heading, verdict_class = VERDICTS.get(report.verdict, (report.verdict, "changed"))
    return template.render(
        report=report, headline=headline(report), plot=[plot_row(a) for a in report.axes],
        top=report.top_findings(5), rows=rows,
        conversations=conversations, finding_anchor=anchors, heading=heading, verdict_class=verdict_class,
        marks=MARKS, unlisted=len(rest), unlisted_regressed=sum(1 for c in rest if c.regressed),
        unlisted_improved=sum(1 for c in rest if c.improved), listed=conversations_listed)
