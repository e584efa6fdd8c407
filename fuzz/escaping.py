"""The escaping fuzz target: any trace string, put wherever a trace reaches a report, renders as inert
text: no control, bidi or invisible character on the terminal or in Markdown, and no live Markdown
(HTML, links, images, mentions, references, autolinks, headings) in a pull-request comment.

The Markdown check reads the text as CommonMark does (code spans, backslash escapes) and as GitHub
links rendered text, independently of the renderer's own escaping."""
from __future__ import annotations

import re

from hostile import Bytes

from velkin.reports import markdown, model, terminal

# Pieces that start markup, links or terminal sequences, and characters that draw nothing.
PIECES = ["`", "``", "```", "<", ">", "</", "[", "](", "![", ")", "!", "@", "#", "\n", "\r", "\t", "|", "*", "_",
          "__", "~~", "&", "&#64;", ";", "\\", ":", "://", "www.", "https", "img", "details", "summary", "$",
          "\x1b[2J", "\x1b]52;c;aGk=\x07", "\x9b", "\x7f", "\x00", "\x85", "\u202e", "\u2066", "\u2069", "\u200e",
          "\u061c", "\u200b", "\u200d", "\u2028", "\u2029", "\ufeff", "\ufffe", "\ud800", "a", "b1", " ", "é",
          "\U0001f600", "## ", "- ", "1. ", "> ", "="]

# What acts on a display instead of showing, by its Unicode class (the zero-width joiner of emoji
# sequences aside).
HIDDEN = re.compile("[\x00-\x09\x0b-\x1f\x7f-\x9f\u061c\u200b\u200c\u200e\u200f\u2028-\u202e\u2060-\u206f\ufeff"
                    "\ud800-\udfff\ufff0-\ufffb\ufffe\uffff\U000e0000-\U000e0fff]")
ANSI_COLOUR = re.compile("\x1b\\[[0-9;]*m")
HEADINGS = re.compile(r"(## velkin (diff|compare): |### (Top findings|Recommendations|Conversations))")
OWN_HTML = ("<details><summary>Warnings</summary>", "</details>", "<br>")
# Markup is read in the source, where an escaped character starts nothing; what GitHub links, in the
# rendered text, where an escape has become its character.
MARKUP = (("html", r"<[A-Za-z/!?]"), ("link or image", r"\]\(|!\["))
LINKED = (("mention or reference", r"[@#]\w"), ("autolink", r"(?i)(?:https?|ftp)://|www\."))


def trace_string(b: Bytes) -> str:
    return "".join(b.pick(PIECES) if b.chance(2) else chr(b.below(0x3000)) for _ in range(b.below(16)))


def outside_code(line: str, rendered: bool) -> str:
    """The line without its code spans, as CommonMark reads it: a run of backticks opens a span that the
    next run of the same length closes; a run without one is text. A backslash escape becomes its
    character when `rendered`, else a space."""
    out, i = [], 0
    while i < len(line):
        if line[i] == "\\" and i + 1 < len(line) and line[i + 1] in "!\"#$%&'()*+,-./:;<=>?@[\\]^_`{|}~":
            out.append(line[i + 1] if rendered else " ")
            i += 2
            continue
        if line[i] == "`":
            run = re.match("`+", line[i:]).group()
            close = re.search(f"(?<!`){run}(?!`)", line[i + len(run):])
            i += len(run) + (close.end() if close else 0)
            continue
        out.append(line[i])
        i += 1
    return "".join(out)


def active_markdown(md: str) -> list:
    """What in the Markdown would be live on GitHub: HTML, links, images, mentions, references, autolinks,
    and any heading but the report's own."""
    found = []
    for line in md.split("\n"):
        if line.startswith("#") and not HEADINGS.match(line) or re.fullmatch(" {0,3}(=+|-+) *", line):
            found.append(("heading", line))
        source = outside_code(line, rendered=False)
        for own in OWN_HTML:
            source = source.replace(own, "")
        text = outside_code(line, rendered=True).replace("&#8203;", "\u200b")  # the entity renders as itself
        found += [(what, line) for what, pattern in MARKUP for _ in re.findall(pattern, source)]
        found += [(what, line) for what, pattern in LINKED for _ in re.findall(pattern, text)]
    return found


def hostile_report(b: Bytes) -> model.Report:
    """A run comparison's report with trace strings in every place a trace reaches."""
    s = [trace_string(b) for _ in range(4)]
    change = model.ArgumentChange(s[0], s[1], s[2], s[3])
    finding = model.Finding("error", "structural_drift", f"tool set changed: removed `{s[0]}`, added `{s[1]}`", 0, 1,
                            tools_added=[s[1]], tools_removed=[s[0]], arguments=[change], stop_reason=(s[2], s[3]),
                            model=(s[0], s[3]), conversation=s[2], subject=s[3], direction=b.pick(["worse", ""]))
    found = {"severity": "error", "kind": "structural_drift", "explanation": finding.explanation, "baseline_turn": 0,
             "candidate_turn": 1, "subject": s[3], "direction": finding.direction}
    conversation = model.Conversation(s[2], "paired", True, [s[0]], [s[1]], [found])
    axis = model.Axis("semantic", 1.0, 0.5, -0.5, -0.6, -0.4, "severe", 3, [s[3]])
    return model.Report(
        "compare", b.pick([model.REGRESSED, model.MIXED, model.NO_CHANGE, s[0]]), True, 0, "test",
        [model.Side("baseline", s[0], s[1], 1), model.Side("candidate", s[2], s[3], 1)], [axis], [finding],
        [model.Recommendation("error", f"restore `{s[0]}` {s[1]}", s[2], s[3])], conversations=[conversation],
        warnings=[s[0], f"model {s[1]!r} is not priced"], notes=[f"outcome `{s[2]}` fell", s[3]],
        models=model.Models([(s[0], 1)], [(s[1], 2)], True), model_change=(s[2], s[3], 1),
        moved={"worse": [f"outcome `{s[0]}`"]})


def check_escaping(data: bytes) -> str:
    b = Bytes(data)
    show_all, color = b.chance(2), b.chance(2)
    report = hostile_report(b)
    text = terminal.render(report, width=60, color=color, show_all=show_all, show_turns=True)
    shown = ANSI_COLOUR.sub("", text)
    assert not HIDDEN.search(shown), f"a raw control on the terminal: {HIDDEN.findall(shown)!r}"
    md = markdown.render(report)
    assert not HIDDEN.search(md), f"a raw control in the Markdown: {HIDDEN.findall(md)!r}"
    active = active_markdown(md)
    assert not active, f"live Markdown from a trace: {active[:3]!r}"
    return f"markdown {len(md) // 200} lines {md.count(chr(10))}"
