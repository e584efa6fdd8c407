"""The report as Markdown for a pull-request comment or a CI job summary.

Hosts cap a comment at 65,536 characters; the text stays below `LIMIT` whatever
the size of the runs, cutting the list of findings first.
"""
from __future__ import annotations

import re

from velkin.reports.gate import CHANGED, IMPROVED, MIXED, NO_CHANGE, REGRESSED
from velkin.reports.model import (
    BETTER,
    DESCRIPTIVE,
    NOT_SIGNIFICANT,
    WORSE,
    Report,
)
from velkin.reports.visible import visible

LIMIT = 60_000
SHOWN_FINDINGS = 20
CUT = "\n\n\u2026 (cut to fit a comment)"
LONGEST_TEXT = 300  # characters of one explanation or value; tool arguments can be whole documents
MARKS = {WORSE: "\U0001f534 worse", BETTER: "\U0001f7e2 better", NOT_SIGNIFICANT: "within noise",
         DESCRIPTIVE: "\u2754 uncalibrated"}
VERDICTS = {REGRESSED: "\u274c **Regressed**", IMPROVED: "\U0001f7e2 **Improved**", MIXED: "\u26a0\ufe0f **Mixed**",
            CHANGED: "\U0001f504 **Changed**", NO_CHANGE: "\u2705 **No significant change**"}


# Characters that start inline markup (emphasis, code, links and images, raw HTML, entities, tables,
# strike-through, math): a backslash before each keeps it literal. An underscore between two letters
# or digits starts nothing and is left as it is.
MARKUP = re.compile(r"[\\`*\[\]<>!|~&$]|_(?![^\W_])|(?<![^\W_])_")
# What GitHub links in rendered text, past any backslash: mentions (@user), references (#12),
# addresses (a@b.c), URLs and www. names. A zero-width space breaks each.
LINKED = re.compile(r"[@#](?=\\?\w)|:(?=//)|(?<=www)\.", re.IGNORECASE)
ZERO_WIDTH_SPACE = "&#8203;"
# What makes a line a heading, a quote, a list item or a rule when text starts the line.
BLOCK_START = re.compile(r"^(\d*)([#>+=-]|(?<=\d)[.)])")


def one_line(value) -> str:
    """Trace text on one line, its controls shown as escapes, shortened to LONGEST_TEXT characters."""
    line = " ".join(visible(str(value)).split())
    return line if len(line) <= LONGEST_TEXT else line[:LONGEST_TEXT - 1] + "\u2026"


def escape(line: str) -> str:
    escaped = BLOCK_START.sub(r"\1\\\2", MARKUP.sub(lambda m: "\\" + m.group(), line))
    return LINKED.sub(lambda m: m.group() + ZERO_WIDTH_SPACE if m.group() in "@#" else ZERO_WIDTH_SPACE + m.group(),
                      escaped)


def span(line: str) -> str:
    if not line.strip():
        return "(empty)"
    fence = "`" * (max(map(len, re.findall("`+", line)), default=0) + 1)
    return f"{fence} {line} {fence}"


def text(value) -> str:
    """Trace text as plain Markdown text, also inside a table cell: every character that could start
    markup escaped, every mention, reference or link broken."""
    return escape(one_line(value))


def code(value) -> str:
    """Trace text as a code span, where nothing is markup: fenced by a run of backticks longer than any
    inside, padded so that a backtick at either end stays inside."""
    return span(one_line(value))


def prose(value) -> str:
    """A sentence of the report that quotes trace values between backticks: the quotes as code spans,
    the rest as text."""
    line = one_line(value)
    parts = line.split("`")
    if len(parts) % 2 == 0:  # an odd number of backticks: the quotes cannot be told apart
        return escape(line)
    return "".join(span(part) if i % 2 else escape(part) for i, part in enumerate(parts))


def item(value) -> str:
    """A list item of prose; an empty one would read as a rule under the line before."""
    return f"- {prose(value) or '(empty)'}"


def header(report: Report) -> list:
    verdict = VERDICTS.get(report.verdict, f"**{text(report.verdict)}**")
    lines = [f"## velkin {report.command}: {verdict}", ""]
    if report.models:
        lines += [f"**{text(report.models.line())}**" if report.models.switched else text(report.models.line()), ""]
    summary = prose(report.verdict_text())
    lines.append(summary[:1].upper() + summary[1:] + ".")
    sides = ", ".join(f"{s.label} {code(s.trace_id or s.path)}" + (f" ({s.responses} responses)"
                      if s.responses is not None else "") for s in report.sides)
    calibration = report.calibration_text() if report.calibration else ""
    lines.append(f"{sides}; seed {report.seed}, velkin {report.version}" + (f", {calibration}" if calibration else "")
                 + ".")
    notes = report.notes + [report.descriptive_text()] * bool(report.descriptive)
    lines += [""] + [item(note) for note in notes] if notes else []
    return lines


def axes(report: Report) -> list:
    lines = ["", "| axis | baseline | candidate | change | 95% interval | | severity |",
             "|---|--:|--:|--:|---|---|---|"]
    for a in report.axes:
        if not a.priced:
            lines.append(f"| {a.name} | not priced | not priced | - | cost is not compared | | not graded |")
            continue
        if a.n == 0:
            lines.append(f"| {a.name} | - | - | - | no samples | | {a.severity} |")
            continue
        mark = MARKS.get(a.mark, a.mark)
        notes = a.notes() if a.tested or a.descriptive else []
        interval = a.interval() + "".join(f"<br>{text(n)}" for n in notes)
        lines.append(f"| {a.name} | {a.fmt(a.baseline)} | {a.fmt(a.candidate)} | "
                     f"{a.fmt(a.delta, True)} | {interval} | {mark} | {a.severity} |")
    return lines


def findings(report: Report, limit: int) -> list:
    shown = report.top_findings(limit)
    if not shown:
        return ["", "No divergence: the candidate follows the baseline turn by turn."]
    lines = ["", f"### Top findings ({len(shown)} of {len(report.findings)})", ""]
    for f in shown:
        where = (f"{code(f.conversation)}: " if f.conversation else "") + text(f.where)
        where += f" ({text(f.direction)})" if f.direction else ""
        details = [str(c) for c in f.arguments] + [f"{t} removed" for t in f.tools_removed] + \
                  [f"{t} added" for t in f.tools_added]
        if f.stop_reason:
            details.append(f"stop reason {f.stop_reason[0]} \u2192 {f.stop_reason[1]}")
        extra = "; ".join(code(d) for d in details[:3])
        lines.append(f"- **{f.severity}** at {where}: {prose(f.explanation)}" + (f" ({extra})" if extra else ""))
    return lines


def recommendations(report: Report) -> list:
    if not report.recommendations:
        return []
    return ["", "### Recommendations", ""] + [
        f"- **{r.severity}** {prose(r.message)}" + (f" ({text(r.where)})" if r.where else "")
        for r in report.recommendations]


def conversations(report: Report, limit: int) -> list:
    changed = [c for c in report.conversations if c.regressed or c.improved]  # regressed first
    if not report.conversations:
        return []
    regressed = sum(1 for c in changed if c.regressed)
    lines = ["", f"### Conversations: {regressed} regressed, {len(changed) - regressed} improved of "
             f"{len(report.conversations)}", ""]
    lines += [f"- {code(c.key)}: {text(c.state)}, {c.errors} error(s)"
              for c in changed[:limit]]
    if len(changed) > limit:
        lines.append(f"- \u2026 and {len(changed) - limit} more")
    return lines


def fit(text_of) -> str:
    """`text_of(items)` with as many listed items as keep it under LIMIT characters, halving from
    SHOWN_FINDINGS; cut to LIMIT - 1 characters when even none do."""
    shown = SHOWN_FINDINGS
    text = text_of(shown)
    while len(text) >= LIMIT and shown:
        shown //= 2
        text = text_of(shown)
    return text if len(text) < LIMIT else text[:LIMIT - 1 - len(CUT)] + CUT


def render(report: Report) -> str:
    def text_of(limit: int) -> str:
        parts = header(report) + axes(report) + findings(report, limit) + conversations(report, limit) + \
                recommendations(report)
        if report.warnings:
            parts += ["", "<details><summary>Warnings</summary>", ""] + [item(w) for w in report.warnings] + \
                     ["", "</details>"]
        return "\n".join(parts)

    return fit(text_of)
