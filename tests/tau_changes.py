"""Four tau-bench trials of one agent as velkin runs, and changes injected into a run one kind at a time.

The trials record no usage, latency or model; `trial_runs` adds them alike to every trial (drawn per
response, so that replicates differ as real runs do), so that the rows that read them have samples.
Each change takes one conversation's records and changes them in place, returning whether it applied.
"""
from __future__ import annotations

import copy
import hashlib
import math
import random
from pathlib import Path

from velkin import importers

TAU = Path(__file__).parent / "data" / "tau-bench" / "gpt-4o-airline-tasks-0-24.json"
MODEL = "gpt-4o-2024-08-06"
OTHER_MODEL = "gpt-4o-mini-2024-07-18"
PRICING = {"gpt-4o": (2.5e-06, 1e-05), "gpt-4o-mini": (1.5e-07, 6e-07)}
LOOKUPS = ("get_user_details", "get_reservation_details")


def responses(conv: list) -> list:
    return [r for r in conv if r["kind"] == "chat_response"]


def calls(conv: list) -> list:
    """(response, block) of every tool call, in call order."""
    return [(r, b) for r in responses(conv) for b in r["payload"]["content"] if b["type"] == "tool_use"]


def with_usage(conv: list) -> None:
    """Usage, latency and model drawn per response from its conversation's trace id and turn."""
    for turn, r in enumerate(responses(conv)):
        key = f"{r['meta']['trace_id']}/{turn}".encode()
        draw = random.Random(int.from_bytes(hashlib.sha256(key).digest()[:8], "big"))
        payload = r["payload"]
        words = sum(len(b.get("text", "").split()) for b in payload["content"] if b["type"] == "text")
        output = int(words * 1.3) + 25 * sum(b["type"] == "tool_use" for b in payload["content"]) + draw.randint(1, 9)
        payload["usage"] = {"input_tokens": 1800 + 140 * turn + draw.randint(0, 60), "output_tokens": output}
        payload["latency_ms"] = round((350 + 9 * output) * math.exp(draw.gauss(0, 0.35)), 3)
        payload["model"] = MODEL


def conversations(run: list) -> list:
    convs = {}
    for r in run:
        convs.setdefault(r["meta"]["trace_id"], []).append(r)
    return list(convs.values())


def trial_runs() -> list:
    """The four trials, each a run of 25 conversations, with usage and latency."""
    records = importers.import_records(TAU, format="tau-bench")
    runs = [[], [], [], []]
    for conv in conversations(records):
        with_usage(conv)
        runs[conv[0]["meta"]["trial"]] += conv
    return runs


# ---- changes of one conversation ----------------------------------------------------------

def duplicate_lookup(conv: list) -> bool:
    """The first lookup call made twice in a row."""
    for response, block in calls(conv):
        if block["name"] in LOOKUPS:
            content = response["payload"]["content"]
            content.insert(content.index(block) + 1, dict(copy.deepcopy(block), id=block["id"] + "-again"))
            return True
    return False


def drop_second_call(conv: list) -> bool:
    """The second call of the first tool called twice, left out."""
    seen = set()
    for response, block in calls(conv):
        if block["name"] in seen:
            response["payload"]["content"].remove(block)
            return True
        seen.add(block["name"])
    return False


def swap_calls(conv: list) -> bool:
    """The first two consecutive calls of different tools made the other way round."""
    made = calls(conv)
    for (_, first), (_, second) in zip(made, made[1:]):
        if first["name"] != second["name"]:
            for key in ("name", "input"):
                first[key], second[key] = second[key], first[key]
            return True
    return False


def edit_user_id(conv: list) -> bool:
    """Every `user_id` argument passed with another value."""
    edited = False
    for _, block in calls(conv):
        if isinstance(block.get("input"), dict) and "user_id" in block["input"]:
            block["input"]["user_id"] += "_2"
            edited = True
    return edited


def switch_model(conv: list) -> bool:
    for r in responses(conv):
        r["payload"]["model"] = OTHER_MODEL
    return True


def drop_outcome(conv: list) -> bool:
    """A solved task reported failed."""
    meta = conv[0]["meta"]
    if meta.get("reward") != 1.0:
        return False
    meta["reward"] = 0.0
    return True


def slow_down(conv: list) -> bool:
    for r in responses(conv):
        r["payload"]["latency_ms"] = round(r["payload"]["latency_ms"] * 1.6, 3)
    return True


CHANGES = {
    "duplicated call": (duplicate_lookup, "calls_more", "regressed"),
    "dropped second call": (drop_second_call, "calls_fewer", "regressed"),
    "swapped calls": (swap_calls, "calls_reordered", "changed"),
    "argument edited": (edit_user_id, "argument_changed", "regressed"),
    "model switch": (switch_model, "model", "changed"),
    "outcome drop": (drop_outcome, "outcome", "regressed"),
    "latency increase": (slow_down, "latency", "regressed"),
}


def changed_run(run: list, change) -> tuple:
    """A copy of the run with the change applied wherever it applies, and the task ids it changed."""
    out, changed = [], set()
    for conv in conversations(copy.deepcopy(run)):
        if change(conv):
            changed.add(str(conv[0]["meta"]["task_id"]))
        out += conv
    return out, changed


def improved_run(run: list, donors: list) -> tuple:
    """Failed tasks replaced by a solved trial of the same task from `donors`, where one exists."""
    solved = {}
    for donor in donors:
        for conv in conversations(donor):
            meta = conv[0]["meta"]
            if meta.get("reward") == 1.0:
                solved.setdefault(meta["task_id"], conv)
    out, changed = [], set()
    for conv in conversations(copy.deepcopy(run)):
        task = conv[0]["meta"]["task_id"]
        if conv[0]["meta"].get("reward") != 1.0 and task in solved:
            conv = copy.deepcopy(solved[task])
            changed.add(str(task))
        out += conv
    return out, changed
