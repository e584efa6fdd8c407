"""The report as Markdown for a pull-request comment or a CI job summary.

Hosts cap a comment at 65,536 characters; the text stays below `LIMIT` whatever
the size of the runs, cutting the list of findings first.
"""
from __future__ import annotations

from velkin.reports.model import (BETTER, CHANGED, DESCRIPTIVE, IMPROVED, MIXED, NO_CHANGE, NOT_SIGNIFICANT,
                                  REGRESSED, WORSE, Report)

LIMIT = 60_000
SHOWN_FINDINGS = 20
CUT = "\n\n\u2026 (cut to fit a comment)"
LONGEST_TEXT = 300  # characters of one explanation or value; tool arguments can be whole documents
MARKS = {WORSE: "\U0001f534 worse", BETTER: "\U0001f7e2 better", NOT_SIGNIFICANT: "within noise",
         DESCRIPTIVE: "\u2754 uncalibrated"}
VERDICTS = {REGRESSED: "\u274c **Regressed**", IMPROVED: "\U0001f7e2 **Improved**", MIXED: "\u26a0\ufe0f **Mixed**",
            CHANGED: "\U0001f504 **Changed**", NO_CHANGE: "\u2705 **No significant change**"}


def one_line(text) -> str:
    text = " ".join(str(text).split())
    return text if len(text) <= LONGEST_TEXT else text[:LONGEST_TEXT - 1] + "\u2026"


def cell(text) -> str:
    """Table-safe text: one line, pipes escaped, no markup of the trace's own."""
    return one_line(text).replace("&", "&amp;").replace("<", "&lt;").replace(">", "&gt;").replace("|", "\\|")


def code(text) -> str:
    text = one_line(text)
    fence = "``" if "`" in text else "`"
    return f"{fence} {text} {fence}" if fence == "``" else f"`{text}`"


def header(report: Report) -> list:
    verdict = VERDICTS.get(report.verdict, f"**{cell(report.verdict)}**")
    lines = [f"## velkin {report.command}: {verdict}", ""]
    if report.models:
        lines += [f"**{cell(report.models.line())}**" if report.models.switched else cell(report.models.line()), ""]
    summary = cell(report.verdict_text())
    lines.append(summary[:1].upper() + summary[1:] + ".")
    sides = ", ".join(f"{s.label} {code(s.trace_id or s.path)}" + (f" ({s.responses} responses)"
                      if s.responses is not None else "") for s in report.sides)
    calibration = report.calibration_text() if report.calibration else ""
    lines.append(f"{sides}; seed {report.seed}, velkin {report.version}" + (f", {calibration}" if calibration else "")
                 + ".")
    notes = report.notes + [report.descriptive_text()] * bool(report.descriptive)
    lines += [""] + [f"- {cell(note)}" for note in notes] if notes else []
    return lines


def axes(report: Report) -> list:
    lines = ["", "| axis | baseline | candidate | change | 95% interval | | severity |", "|---|--:|--:|--:|---|---|---|"]
    for a in report.axes:
        if not a.priced:
            lines.append(f"| {a.name} | not priced | not priced | - | cost is not compared | | not graded |")
            continue
        if a.n == 0:
            lines.append(f"| {a.name} | - | - | - | no samples | | {a.severity} |")
            continue
        mark = MARKS.get(a.mark, a.mark)
        notes = a.notes() if a.tested or a.descriptive else []
        interval = cell(a.interval()) + "".join(f"<br>{cell(n)}" for n in notes)
        lines.append(f"| {a.name} | {cell(a.fmt(a.baseline))} | {cell(a.fmt(a.candidate))} | "
                     f"{cell(a.fmt(a.delta, True))} | {interval} | {mark} | {a.severity} |")
    return lines


def findings(report: Report, limit: int) -> list:
    shown = report.top_findings(limit)
    if not shown:
        return ["", "No divergence: the candidate follows the baseline turn by turn."]
    lines = ["", f"### Top findings ({len(shown)} of {len(report.findings)})", ""]
    for f in shown:
        where = f"{f.conversation}: {f.where}" if f.conversation else f.where
        where += f" ({cell(f.direction)})" if f.direction else ""
        details = [str(c) for c in f.arguments] + [f"{t} removed" for t in f.tools_removed] + \
                  [f"{t} added" for t in f.tools_added]
        if f.stop_reason:
            details.append(f"stop reason {f.stop_reason[0]} \u2192 {f.stop_reason[1]}")
        extra = "; ".join(code(d) for d in details[:3])
        lines.append(f"- **{f.severity}** at {where}: {cell(f.explanation)}" + (f" ({extra})" if extra else ""))
    return lines


def recommendations(report: Report) -> list:
    if not report.recommendations:
        return []
    return ["", "### Recommendations", ""] + [f"- **{r.severity}** {cell(r.message)}" + (f" ({r.where})" if r.where
                                              else "") for r in report.recommendations]


def conversations(report: Report, limit: int) -> list:
    changed = [c for c in report.conversations if c.regressed or c.improved]  # regressed first
    if not report.conversations:
        return []
    regressed = sum(1 for c in changed if c.regressed)
    lines = ["", f"### Conversations: {regressed} regressed, {len(changed) - regressed} improved of "
             f"{len(report.conversations)}", ""]
    lines += [f"- {code(c.key)}: {c.state}, {c.errors} error(s)"
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
            parts += ["", "<details><summary>Warnings</summary>", ""] + [f"- {cell(w)}" for w in report.warnings] + \
                     ["", "</details>"]
        return "\n".join(parts)

    return fit(text_of)
