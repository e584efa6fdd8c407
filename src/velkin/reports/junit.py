"""The report as JUnit XML: one test case per axis and per regressed conversation.

A test case fails for error-level findings, so CI systems that read JUnit show
the regression without glue code.
"""
from __future__ import annotations

import xml.etree.ElementTree as ET

from velkin.reports.model import Report

# Findings listed in full per test case; a CI page lists the rest as a count.
LISTED_FINDINGS = 200

# XML 1.0 has no escape for most control characters; they would make the file unreadable.
XML_INVALID = dict.fromkeys([c for c in range(0x20) if c not in (0x9, 0xA, 0xD)] + [0xFFFE, 0xFFFF])


def clean(text: str) -> str:
    return "".join(ch for ch in str(text).translate(XML_INVALID) if not 0xD800 <= ord(ch) <= 0xDFFF)


def case(suite: ET.Element, classname: str, name: str, failures: list, out: str = "") -> int:
    element = ET.SubElement(suite, "testcase", name=clean(name), classname=clean(classname), time="0")
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


def render(report: Report) -> str:
    root = ET.Element("testsuites", name=f"velkin {report.command}")
    suite = ET.SubElement(root, "testsuite", name=f"velkin {report.command}")
    failed = total = 0
    for axis in report.axes:
        errors = [r.message for r in report.recommendations if r.severity == "error" and r.axis == axis.name]
        failures = ([f"{axis.name} got worse: {axis.fmt(axis.delta, True)} {axis.interval()}, severity "
                     f"{axis.severity}"] if axis.failing else [])
        summary = (f"baseline {axis.fmt(axis.baseline)}, candidate {axis.fmt(axis.candidate)}, change "
                   f"{axis.fmt(axis.delta, True)}, 95% {axis.interval()}, severity {axis.severity}, n {axis.n}"
                   if axis.n else "no samples")
        failed += case(suite, "velkin.axes", axis.name, failures + errors, summary)
        total += 1
    if report.conversations:
        regressed = [(c.key, c.findings) for c in report.conversations if c.regressed]
    elif report.verdict == "regressed":
        regressed = [(" vs ".join(s.trace_id or s.path for s in report.sides), report.findings)]
    else:
        regressed = []
    for key, findings in regressed:
        errors = listed([f"{f.where}: {f.explanation}" for f in findings if f.severity == "error"])
        if not errors and not report.conversations:
            errors = [r.message for r in report.errors]
        others = "\n".join(listed([f"{f.severity} at {f.where}: {f.explanation}" for f in findings
                                   if f.severity != "error"]))
        failed += case(suite, "velkin.conversations", key, errors, others)
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
