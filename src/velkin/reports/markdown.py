"""The report as Markdown for a pull-request comment or a CI job summary.

Hosts cap a comment at 65,536 characters; the text stays below `LIMIT` whatever
the size of the runs, cutting the list of findings first.
"""
from __future__ import annotations

from velkin.reports.model import BETTER, NO_CHANGE, REGRESSED, WORSE, Report

LIMIT = 60_000
SHOWN_FINDINGS = 20
LONGEST_TEXT = 300  # characters of one explanation or value; tool arguments can be whole documents
MARKS = {WORSE: "\U0001f534 worse", BETTER: "\U0001f7e2 better"}
VERDICTS = {REGRESSED: "\u274c **Regressed**", NO_CHANGE: "\u2705 **No significant change**"}


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
    verdict = VERDICTS.get(report.verdict, "\u26a0\ufe0f **Uncalibrated**")
    lines = [f"## velkin {report.command}: {verdict}", ""]
    if report.verdict == REGRESSED:
        lines.append(report.regressed_summary() + ".")
    sides = ", ".join(f"{s.label} {code(s.trace_id or s.path)}" + (f" ({s.responses} responses)"
                      if s.responses is not None else "") for s in report.sides)
    lines.append(f"{sides}; seed {report.seed}, velkin {report.version}.")
    lines += [""] + [f"- {cell(note)}" for note in report.notes] if report.notes else []
    return lines


def axes(report: Report) -> list:
    lines = ["", "| axis | baseline | candidate | change | 95% interval | | severity |", "|---|--:|--:|--:|---|---|---|"]
    for a in report.axes:
        if a.n == 0:
            lines.append(f"| {a.name} | - | - | - | no samples | | {a.severity} |")
            continue
        mark = MARKS.get(a.mark, a.mark)
        lines.append(f"| {a.name} | {cell(a.fmt(a.baseline))} | {cell(a.fmt(a.candidate))} | "
                     f"{cell(a.fmt(a.delta, True))} | {cell(a.interval())} | {mark} | {a.severity} |")
    return lines


def findings(report: Report, limit: int) -> list:
    shown = report.top_findings(limit)
    if not shown:
        return ["", "No divergence: the candidate follows the baseline turn by turn."]
    lines = ["", f"### Top findings ({len(shown)} of {len(report.findings)})", ""]
    for f in shown:
        where = f"{f.conversation}: {f.where}" if f.conversation else f.where
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
    regressed = [c for c in report.conversations if c.regressed]
    if not report.conversations:
        return []
    lines = ["", f"### Conversations: {len(regressed)} regressed of {len(report.conversations)}", ""]
    lines += [f"- {code(c.key)}: {sum(1 for f in c.findings if f.severity == 'error')} error(s)"
              for c in regressed[:limit]]
    if len(regressed) > limit:
        lines.append(f"- \u2026 and {len(regressed) - limit} more")
    return lines


def render(report: Report) -> str:
    limit = SHOWN_FINDINGS
    while True:
        parts = header(report) + axes(report) + findings(report, limit) + conversations(report, limit) + \
                recommendations(report)
        if report.warnings:
            parts += ["", "<details><summary>Warnings</summary>", ""] + [f"- {cell(w)}" for w in report.warnings] + \
                     ["", "</details>"]
        text = "\n".join(parts)
        if len(text) < LIMIT or limit == 0:
            return text if len(text) < LIMIT else text[:LIMIT - 40] + "\n\n\u2026 (cut to fit a comment)"
        limit //= 2
