"""What a comparing command reads of a report's dict before, or without, a report model: the verdicts,
the gate, and the run comparison's price warnings. `--json` alone reads nothing more of the dict, and
so never loads the model."""
from __future__ import annotations

from typing import Mapping

# Verdicts: the run comparison's five (a diff is regressed or not). Only a regression fails the gate.
REGRESSED = "regressed"
IMPROVED = "improved"
MIXED = "mixed"  # significant changes both ways
CHANGED = "changed"  # a significant change that is neither better nor worse
NO_CHANGE = "no significant change"


def gate_fails(verdict: str, severities: set, fail_on: str) -> bool:
    """The gate: a severity at the `fail_on` level or above, a regressed or mixed verdict counting as an error."""
    levels = {"error": {"error"}, "warning": {"error", "warning"}, "never": set()}[fail_on]
    return bool((severities | ({"error"} if verdict in (REGRESSED, MIXED) else set())) & levels)


def compare_gate_fails(result: dict, fail_on: str) -> bool:
    """The gate of a run comparison read from its dict, as `Report.gate_fails` reads it from the model."""
    severities = {r.get("severity", "info") for r in result.get("recommendations", [])}
    severities |= {f.get("severity", "info") for c in result.get("conversations", []) if c.get("regressed")
                   for f in c.get("findings", []) if (f.get("direction") or "") != "better"}
    return gate_fails(result.get("verdict", NO_CHANGE), severities, fail_on)


def diff_verdict(report: Mapping) -> str:
    """A diff regresses when a recommendation is an error."""
    return REGRESSED if any(r["severity"] == "error" for r in report["recommendations"]) else NO_CHANGE


def diff_gate_fails(report: Mapping, fail_on: str) -> bool:
    """The gate of a diff read from its dict, as `Report.gate_fails` reads it from the model."""
    return gate_fails(diff_verdict(report), {r["severity"] for r in report["recommendations"]}, fail_on)


def plural_responses(count: int) -> str:
    return f"{count} response{'s' if count != 1 else ''}"


NO_PRICING = "cost is not compared: pass --pricing FILE.json"


def pricing_warnings(report: dict) -> list:
    """The warnings of a run comparison's prices: without a table, that cost is not compared; with one,
    per side, the responses it cannot price (by model, then those naming none), which the cost axis
    leaves out rather than counting at 0."""
    pricing, models = report.get("pricing"), report.get("models") or {}
    if not isinstance(pricing, dict):
        return []
    if not pricing.get("table"):
        return [NO_PRICING]
    warnings = []
    for side in ("baseline", "candidate"):
        for name, count in sorted((m["model"], m[side]) for m in pricing.get("unpriced") or []
                                  if m.get("model") and m.get(side)):
            warnings.append(f"{side}: model {name!r} is not in the price table; its {plural_responses(count)} "
                            f"{'are' if count != 1 else 'is'} left out of the cost axis")
        nameless = sum(m.get("responses", 0) for m in models.get(side) or [] if m.get("model") == "")
        if nameless:
            warnings.append(f"{side}: {plural_responses(nameless)} name no model; "
                            f"{'they are' if nameless != 1 else 'it is'} left out of the cost axis")
    return warnings
