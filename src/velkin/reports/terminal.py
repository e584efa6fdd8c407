"""The report as terminal text: verdict first, then the axes, then what changed.

Every line fits `width` display columns; colour codes are added only when asked
for and never count towards the width.
"""
from __future__ import annotations

import re
import textwrap
import unicodedata
from dataclasses import dataclass
from typing import Optional

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
    Finding,
    Report,
    compact,
    shorten,
)
from velkin.reports.visible import visible

ANSI = re.compile(r"\x1b\[[0-9;]*m")
STYLES = {"red": "31", "green": "32", "yellow": "33", "dim": "2", "bold": "1", "bold red": "1;31",
          "bold green": "1;32", "bold yellow": "1;33", "cyan": "36"}
MARKS = {WORSE: ("\u25bc worse", "red"), BETTER: ("\u25b2 better", "green"), SAME: ("= same", "dim"),
         UNCLEAR: ("~ unclear", "yellow"), MORE: ("\u2191 more", ""), LESS: ("\u2193 less", ""),
         NO_DATA: ("- no data", "dim"), NOT_SIGNIFICANT: ("~ within noise", "dim"),
         DESCRIPTIVE: ("? uncalibrated", "cyan"), NOT_PRICED: ("- not priced", "dim")}
# Each verdict's headline mark and colour.
VERDICTS = {REGRESSED: ("\u2717 REGRESSED", "bold red"), IMPROVED: ("\u25b2 IMPROVED", "bold green"),
            MIXED: ("\u00b1 MIXED", "bold yellow"), CHANGED: ("\u2260 CHANGED", "bold yellow"),
            NO_CHANGE: ("\u2713 NO SIGNIFICANT CHANGE", "bold green")}
SEVERITY_STYLE = {"error": "red", "severe": "red", "warning": "yellow", "moderate": "yellow", "info": "dim",
                  "minor": "", "none": "dim"}
SHOWN_FINDINGS = 5
MIN_WIDTH = 40
LONGEST_NAME = 120  # characters of a tool name, key or model shown without --all


def char_width(ch: str) -> int:
    return 0 if unicodedata.combining(ch) else 2 if unicodedata.east_asian_width(ch) in "WF" else 1


def display_width(text: str) -> int:
    if "\x1b" in text:
        text = ANSI.sub("", text)
    # Every ASCII character takes one column: a report's lines mostly are ASCII.
    return len(text) if text.isascii() else sum(map(char_width, text))


def clip(text: str, width: int) -> str:
    """The longest prefix of plain `text` that fits `width` columns."""
    out, used = [], 0
    for ch in text:
        w = char_width(ch)
        if used + w > width:
            break
        out.append(ch)
        used += w
    return "".join(out)


def pad(text: str, width: int, right: bool = False) -> str:
    gap = " " * max(0, width - display_width(text))
    return gap + text if right else text + gap


@dataclass
class Canvas:
    width: int
    color: bool
    full: bool = False  # --all: names in full

    def name(self, text: str, limit: int = LONGEST_NAME) -> str:
        """A name from the trace (or a line of them), shortened unless the report shows everything."""
        return text if self.full else shorten(text, limit)

    def paint(self, text: str, style: str) -> str:
        if not self.color or not style or not text:
            return text
        return f"\x1b[{STYLES[style]}m{text}\x1b[0m"

    def wrap(self, text: str, indent: str = "", subsequent: Optional[str] = None) -> list:
        """Plain text wrapped to the width; a word longer than a line is cut."""
        if fits_as_is(text, self.width - len(indent)) and indent.isascii() and len(indent) <= self.width // 2:
            return [indent + text]  # what textwrap gives, without its cost: most lines of a report
        subsequent = indent if subsequent is None else subsequent
        # An indent half the line or wider would leave the text too little room, or none.
        indent, subsequent = (i if display_width(i) <= self.width // 2 else "" for i in (indent, subsequent))
        lines: list = []
        for paragraph in visible(text).split("\n"):
            first = indent if not lines else subsequent
            wrapped = textwrap.wrap(paragraph, self.width, initial_indent=first, subsequent_indent=subsequent,
                                    break_long_words=True, break_on_hyphens=False) or [first]
            for line in wrapped:
                while display_width(line) > self.width:  # wide characters take two columns
                    head = clip(line, self.width)
                    lines.append(head)
                    line = subsequent + line[len(head):]
                lines.append(line)
        return lines


def fits_as_is(text: str, room: int) -> bool:
    """Printable ASCII that ends in a word and fits the room: one line, the text itself."""
    return 0 < len(text) <= room and text.isascii() and text.isprintable() and text[-1] != " "


def plural(n: int, word: str) -> str:
    return f"{n} {word}" if n == 1 else f"{n} {word}s"


def verdict_section(report: Report, canvas: Canvas) -> list:
    errors = sum(1 for r in report.recommendations if r.severity == "error")
    warnings = sum(1 for r in report.recommendations if r.severity == "warning")
    counts = ", ".join(p for p in (errors and plural(errors, "error"), warnings and plural(warnings, "warning")) if p)
    unknown = ("? " + shorten(visible(report.verdict.upper(), False), 20), "bold yellow")
    text, style = VERDICTS.get(report.verdict, unknown)
    head = canvas.paint(text, style)
    tail = report.verdict_text()
    if report.verdict == NO_CHANGE and counts:
        tail += f" ({counts})"
    lines = canvas.wrap(f"{tail}", indent=" " * (display_width(head) + 2))
    lines[0] = head + "  " + lines[0].lstrip()
    if report.models:
        lines += [canvas.paint(x, "bold" if report.models.switched else "")
                  for x in canvas.wrap(canvas.name(report.models.line(), 4 * LONGEST_NAME), indent="  ",
                                       subsequent="    ")]
    for side in report.sides:
        parts = [canvas.name(side.trace_id)] if side.trace_id else []
        if side.responses is not None:
            parts.append(plural(side.responses, "response"))
        parts.append(side.path)
        lines += canvas.wrap(f"{side.label:<9}  " + " \u00b7 ".join(parts), indent="  ", subsequent=" " * 13)
    facts = [f"seed {report.seed}" if report.seed is not None else "", f"velkin {report.version}"]
    if report.pair_count is not None:
        facts.insert(0, plural(report.pair_count, "pair"))
    facts.append(report.calibration_text())
    lines += canvas.wrap(" \u00b7 ".join(f for f in facts if f), indent="  ")
    for note in report.notes + [report.descriptive_text()] * bool(report.descriptive):
        lines += canvas.wrap(note, indent="  ", subsequent="    ")
    return lines


def axes_section(report: Report, canvas: Canvas) -> list:
    header = ["axis", "baseline", "candidate", "change", "", "severity"]
    rows, intervals = [], []
    for axis in report.axes:
        text, style = MARKS[axis.mark]
        if not axis.priced:
            cells = [axis.name, NOT_PRICED, NOT_PRICED, "-"]
        elif axis.n == 0:
            cells = [axis.name, "-", "-", "-"]
        else:
            cells = [axis.name, axis.fmt(axis.baseline), axis.fmt(axis.candidate), axis.fmt(axis.delta, True)]
        rows.append((cells + [text, axis.severity if axis.priced else "-"], style))
        notes = axis.notes()
        if report.pair_count is None or axis.n != report.pair_count:
            notes.insert(0, f"n {axis.n}")
        if not axis.priced:
            interval = "no price for both sides of a pair: cost is not compared"
        else:
            interval = " \u00b7 ".join(p for p in ("95% " + axis.interval() if axis.n else "no samples",
                                                  ", ".join(notes)) if p)
        intervals.append(interval)
    widths = [max(display_width(r[0][i]) for r in rows + [(header, "")]) for i in range(len(header))]
    table_width = sum(widths) + 2 * len(widths)
    inline = table_width + max(display_width(i) for i in intervals) <= canvas.width
    lines = canvas.wrap("Axes  (candidate \u2212 baseline; marks say which way is worse)")
    lines[0] = lines[0].replace("Axes", canvas.paint("Axes", "bold"), 1)
    if table_width > canvas.width:  # too narrow for a table: one block per axis
        for (cells, style), interval in zip(rows, intervals):
            name, baseline, candidate, change, mark, severity = cells
            lines.append("  " + name + "  " + canvas.paint(mark, style) + "  " +
                         canvas.paint(severity, SEVERITY_STYLE.get(severity, "")))
            if baseline not in ("-", NOT_PRICED):
                lines += canvas.wrap(f"{baseline} \u2192 {candidate} ({change})", indent=" " * 4)
            lines += [canvas.paint(x, "dim") for x in canvas.wrap(interval, indent=" " * 4)]
        return lines

    def line(cells, mark_style, severity_style):
        parts = [pad(cells[0], widths[0])] + [pad(c, w, right=True) for c, w in zip(cells[1:4], widths[1:4])]
        parts.append(canvas.paint(pad(cells[4], widths[4]), mark_style))
        parts.append(canvas.paint(pad(cells[5], widths[5]), severity_style))
        return "  " + "  ".join(parts)

    lines.append(canvas.paint(line(header, "", "").rstrip(), "dim") + ("  95% interval" if inline else ""))
    for (cells, style), interval in zip(rows, intervals):
        row = line(cells, style, SEVERITY_STYLE.get(cells[5], ""))
        if inline:
            lines.append(row + "  " + canvas.paint(interval, "dim"))
        else:
            lines.append(row.rstrip())
            lines += [canvas.paint(x, "dim") for x in canvas.wrap(interval, indent=" " * 4)]
    return lines


def finding_details(finding: Finding) -> list:
    details = [f"{tool_call}: removed" for tool_call in finding.tools_removed]
    details += [f"{tool_call}: added" for tool_call in finding.tools_added]
    details += [str(change) for change in finding.arguments]
    if finding.stop_reason:
        details.append(f"stop reason: {finding.stop_reason[0] or '(none)'} \u2192 {finding.stop_reason[1] or '(none)'}")
    return details


def tagged(canvas: Canvas, severity: str, text: str) -> list:
    """`text` after a severity tag, wrapped under itself."""
    tag = f"{severity.upper():<7}"
    lines = canvas.wrap(text, indent="  " + tag + "  ", subsequent=" " * 11)
    lines[0] = lines[0].replace(tag, canvas.paint(tag, SEVERITY_STYLE.get(severity, "")), 1)
    return lines


def finding_lines(finding: Finding, canvas: Canvas, model_shown: bool) -> list:
    where = f"{canvas.name(finding.conversation)}: {finding.where}" if finding.conversation else finding.where
    subject = canvas.name(finding.subject)
    what = ", ".join(p for p in (finding.kind.replace("_", " ") + (f": {subject}" if subject else ""),
                                 finding.direction) if p)
    kind = f"  ({what})" if what else ""
    lines = tagged(canvas, finding.severity, where + kind)
    lines += canvas.wrap(finding.explanation, indent=" " * 11)
    details = finding_details(finding)
    if finding.model and not model_shown:
        details.append(f"model: {finding.model[0] or '(none)'} \u2192 {finding.model[1] or '(none)'}")
    for detail in map(lambda d: canvas.name(d, 4 * LONGEST_NAME), details):
        wrapped = canvas.wrap(detail, indent=" " * 11 + "\u2022 ", subsequent=" " * 13)
        lines += [canvas.paint(x, "cyan") for x in wrapped]
    return lines


def changes_section(report: Report, canvas: Canvas, show_all: bool) -> list:
    findings = report.findings if show_all else report.top_findings(SHOWN_FINDINGS)
    total = len(report.findings)
    noun = "divergence" if report.command == "diff" else "finding"
    title = f"Every {noun}, in turn order" if show_all else "What changed"
    lines = [canvas.paint(title, "bold") + f"  ({plural(total, noun)})"]
    if report.model_change:
        old, new, turns = report.model_change
        lines += canvas.wrap(f"model switched on all {plural(turns, 'matched turn')}: {canvas.name(old)} \u2192 "
                             f"{canvas.name(new)}",
                             indent="  ")
    if not findings:
        lines.append("  none: the candidate follows the baseline turn by turn")
    for finding in findings:
        lines += finding_lines(finding, canvas, model_shown=report.model_change is not None)
    if show_all:
        for where, old, new in report.model_switches:
            lines += canvas.wrap(f"model switched at {where} (no other change): {old or '(none)'} \u2192 "
                                 f"{new or '(none)'}", indent="  ", subsequent="    ")
    if not show_all and total > len(findings):
        lines += canvas.wrap(f"\u2026 {total - len(findings)} more: run with --all to list every {noun}",
                             indent="  ")
    return lines


def conversations_section(report: Report, canvas: Canvas, listed: Optional[int]) -> list:
    """A line per conversation, regressed first; past `listed` of them (None: no limit) the rest are counted."""
    conversations = report.conversations
    regressed = sum(1 for c in conversations if c.regressed)
    improved = sum(1 for c in conversations if c.improved)
    lines = [canvas.paint("Conversations", "bold") +
             f"  ({regressed} regressed, {improved} improved of {len(conversations)}; regressed first)"]
    shown = conversations if listed is None else conversations[:listed]
    for c in shown:
        errors = c.errors
        text = f"{canvas.name(c.key)}: {c.state}" + (f", {plural(errors, 'error')}" if errors else "")
        style = "red" if c.regressed else "green" if c.improved else ""
        lines += [canvas.paint(x, style) for x in canvas.wrap(text, indent="  ", subsequent="    ")]
    rest = conversations[len(shown):]
    if rest:
        lines += canvas.wrap(f"\u2026 and {plural(len(rest), 'more conversation')} "
                             f"({sum(1 for c in rest if c.regressed)} regressed, "
                             f"{sum(1 for c in rest if c.improved)} improved) not listed: "
                             f"--list-conversations N lists N, --all every one", indent="  ", subsequent="    ")
    return lines


def recommendations_section(report: Report, canvas: Canvas) -> list:
    if not report.recommendations:
        return [canvas.paint("Recommendations", "bold") + ": none"]
    lines = [canvas.paint("Recommendations", "bold")]
    for r in report.recommendations:
        lines += tagged(canvas, r.severity, r.message + (f" ({r.where})" if r.where else ""))
    return lines


def drill_down_section(report: Report, canvas: Canvas) -> list:
    lines = [canvas.paint("Most regressed response pairs", "bold")]
    for row in report.drill_down:
        score = "n/a" if row.score is None else f"{row.score:.2f}"
        changes = ", ".join(f"{axis} {delta}" for axis, delta in row.changes) or "-"
        lines += canvas.wrap(f"{row.where}  score {score}  ({row.dominant}): {changes}", indent="  ",
                             subsequent="      ")
    return lines


def side_by_side(left: str, right: str, canvas: Canvas, titles: tuple) -> list:
    column = max(10, (canvas.width - 5) // 2)
    narrow = Canvas(column, False)
    a = [titles[0]] + narrow.wrap(left or "(none)")
    b = [titles[1]] + narrow.wrap(right or "(none)")
    a += [""] * (len(b) - len(a))
    b += [""] * (len(a) - len(b))
    return ["  " + pad(x, column) + " \u2502 " + y for x, y in zip(a, b)]


def turn_text(turn, canvas: Canvas) -> str:
    if turn is None:
        return "(no turn)"
    calls = "\n".join(f"\u2192 {canvas.name(name)}({shorten(compact(args), LONGEST_VALUE)})"
                      for name, args in turn.tool_calls)
    return "\n".join(p for p in (turn.text, calls, f"[stop: {turn.stop_reason or 'none'}]") if p)


def turns_section(report: Report, canvas: Canvas, show_all: bool) -> list:
    lines = [canvas.paint("Turns side by side", "bold")]
    for row in report.rows:
        if row.finding is None or (not show_all and row.finding not in report.top_findings(SHOWN_FINDINGS)):
            continue
        lines += canvas.wrap(row.finding.where + ": " + row.finding.explanation, indent="  ",
                             subsequent="    ")
        titles = (f"baseline #{row.baseline.index}" if row.baseline else "baseline: -",
                  f"candidate #{row.candidate.index}" if row.candidate else "candidate: -")
        lines += side_by_side(turn_text(row.baseline, canvas), turn_text(row.candidate, canvas), canvas, titles)
        lines.append("")
    return lines[:-1] if len(lines) > 1 else lines + ["  no divergent turns"]


def warnings_section(report: Report, canvas: Canvas) -> list:
    return [line for w in report.warnings for line in canvas.wrap("warning: " + w, subsequent="  ")]


def render(report: Report, *, width: int = 80, color: bool = False, show_all: bool = False,
           show_turns: bool = False, conversations_listed: int = LISTED_CONVERSATIONS) -> str:
    """The report for a terminal; a run comparison lists its first `conversations_listed` conversations
    (regressed first), or every one with `show_all`."""
    canvas = Canvas(max(MIN_WIDTH, width), color, show_all)
    sections = [verdict_section(report, canvas), axes_section(report, canvas),
                changes_section(report, canvas, show_all)]
    if show_turns and report.rows:
        sections.append(turns_section(report, canvas, show_all))
    if report.conversations:
        sections.append(conversations_section(report, canvas, None if show_all else conversations_listed))
    sections.append(recommendations_section(report, canvas))
    if report.drill_down:
        sections.append(drill_down_section(report, canvas))
    lines = [line for section in sections for line in section + [""]][:-1]
    # The last guard: a line that still does not fit is cut, never allowed to overflow.
    return "\n".join(line if display_width(line) <= canvas.width else clip(ANSI.sub("", line), canvas.width)
                     for line in lines)
