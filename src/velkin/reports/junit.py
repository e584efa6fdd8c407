"""The report as JUnit XML: the models of a run comparison, one test case per axis
and per regressed or improved conversation.

A regression fails its test case, so CI systems that read JUnit show it without
glue code; an improvement or a change without direction passes.
"""
from __future__ import annotations

import xml.etree.ElementTree as ET

from velkin.defaults import LISTED_CONVERSATIONS
from velkin.reports.model import Report, shorten
from velkin.reports.visible import visible

# Findings listed in full per test case; a CI page lists the rest as a count.
LISTED_FINDINGS = 200
LONGEST_NAME = 200  # characters of a test case's name; the JSON report holds the whole key


def clean(text) -> str:
    """Text as XML can hold it and a CI page shows it: the characters XML 1.0 cannot hold (most
    controls, surrogates, U+FFFE/FFFF) and bidi controls shown as escapes."""
    return visible(str(text))


def case(suite: ET.Element, classname: str, name: str, failures: list, out: str = "") -> int:
    element = ET.SubElement(suite, "testcase", name=shorten(clean(name), LONGEST_NAME), classname=clean(classname),
                            time="0")
    if failures:
        failure = ET.SubElement(element, "failure", message=clean(failures[0]), type="regression")
        failure.text = clean("\n".join(failures))
    if out:
        ET.SubElement(element, "system-out").text = clean(out)
    return 1 if failures else 0


def listed(lines: list) -> list:
    if len(lines) <= LISTED_FINDINGS:
        return lines
    return lines[:LISTED_FINDINGS] + [f"\u2026 and {len(lines) - LISTED_FINDINGS} more"]


def render(report: Report, conversations_listed: int = LISTED_CONVERSATIONS) -> str:
    """The JUnit XML; a run comparison's first `conversations_listed` changed conversations (regressed
    first) get a test case each, the rest one case that counts them."""
    root = ET.Element("testsuites", name=f"velkin {report.command}")
    suite = ET.SubElement(root, "testsuite", name=f"velkin {report.command}")
    failed = total = 0
    if report.models:
        case(suite, "velkin.models", "model switched" if report.models.switched else "model",
             [], report.models.line())
        total += 1
    for axis in report.axes:
        errors = [r.message for r in report.recommendations if r.severity == "error" and r.axis == axis.name]
        failures = ([f"{axis.name} got worse: {axis.fmt(axis.delta, True)} {axis.interval()}, severity "
                     f"{axis.severity}"] if axis.failing else [])
        if not axis.priced:
            summary = "not priced: cost is not compared"
        elif axis.n:
            summary = ", ".join([f"baseline {axis.fmt(axis.baseline)}, candidate {axis.fmt(axis.candidate)}, change "
                                 f"{axis.fmt(axis.delta, True)}, 95% {axis.interval()}, severity {axis.severity}, "
                                 f"n {axis.n}"] + axis.notes())
        else:
            summary = "no samples"
        failed += case(suite, "velkin.axes", axis.name, failures + errors, summary)
        total += 1
    if report.conversations:
        changed = [c for c in report.conversations if c.regressed or c.improved]
        for c in changed[:conversations_listed]:
            worse = [f for f in c.findings if f.direction != "better"] if c.regressed else []
            errors_first = sorted(worse, key=lambda f: f.severity != "error")
            failures = listed([f"{f.where}: {f.explanation}" for f in errors_first])
            if c.regressed and not failures:
                failures = [f"{c.key} regressed"]
            failing = {id(f) for f in worse}
            others = "\n".join(listed([f"{f.severity} at {f.where}: {f.explanation}" for f in c.findings
                                       if id(f) not in failing]))
            failed += case(suite, "velkin.conversations", c.key, failures, others)
            total += 1
        rest = changed[conversations_listed:]
        if rest:
            regressed = sum(1 for c in rest if c.regressed)
            summary = (f"{len(rest)} more changed conversations, {regressed} regressed and {len(rest) - regressed} "
                       f"improved, not listed: the first {conversations_listed} are; the JSON report holds every one")
            failed += case(suite, "velkin.conversations", f"\u2026 and {len(rest)} more conversations",
                           [summary] if regressed else [], "" if regressed else summary)
            total += 1
    elif report.verdict == "regressed":
        findings = report.findings
        errors = listed([f"{f.where}: {f.explanation}" for f in findings if f.severity == "error"])
        others = "\n".join(listed([f"{f.severity} at {f.where}: {f.explanation}" for f in findings
                                   if f.severity != "error"]))
        failed += case(suite, "velkin.conversations", " vs ".join(s.trace_id or s.path for s in report.sides),
                       errors or [r.message for r in report.errors], others)
        total += 1
    for element in (root, suite):
        element.set("tests", str(total))
        element.set("failures", str(failed))
        element.set("errors", "0")
    suite.set("skipped", "0")
    suite.set("time", "0")
    root.set("time", "0")
    ET.indent(root)
    return '<?xml version="1.0" encoding="UTF-8"?>\n' + ET.tostring(root, encoding="unicode") + "\n"
