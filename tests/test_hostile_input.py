"""Hostile inputs at every entry point: nesting deeper than any stack, lengths that lie, payloads that
change while they are read. Each gives its result or a ValueError; none crashes or panics."""
import collections.abc
import subprocess
import sys
import textwrap

import pytest

from velkin._core import (
    canonical_bytes,
    compute_diff_report,
    compute_semantic_axis_with_embedder,
    content_id,
    parse_agentlog,
    write_agentlog,
)

RECURSION = "RecursionError: maximum recursion depth exceeded"

# Runs in a child interpreter so that a crash fails the test instead of ending the run.
DEEP_CALL = textwrap.dedent("""
    import collections.abc, sys, threading
    from velkin import _core
    entry, shape, depth, stack, limit = sys.argv[1], sys.argv[2], int(sys.argv[3]), int(sys.argv[4]), sys.argv[5]

    class Seq(collections.abc.Sequence):
        def __init__(self, item): self.item = item
        def __len__(self): return 1
        def __getitem__(self, index):
            if index: raise IndexError(index)
            return self.item

    def nested():
        value = 0
        wrap = {"list": lambda v: [v], "dict": lambda v: {"k": v}, "sequence": Seq}[shape]
        for _ in range(depth):
            value = wrap(value)
        return value

    def record(payload):
        return {"version": "0.1", "id": "r", "kind": "chat_response", "ts": "t", "payload": payload}

    def response(deep):
        return record({"content": [{"type": "text", "text": "a b"}, {"type": "tool_use", "id": "t", "name": "n",
                                                                     "input": {"q": deep}}]})

    CALLS = {
        "parse_agentlog": lambda: _core.parse_agentlog(
            b'{"version":"0.1","id":"r","kind":"chunk","ts":"t","parent":null,"payload":' + b"[" * depth + b"]" * depth
            + b"}\\n"),
        "write_agentlog": lambda: _core.write_agentlog([record(nested())]),
        "canonical_bytes": lambda: _core.canonical_bytes(nested()),
        "content_id": lambda: _core.content_id({"deep": nested()}),
        "compute_diff_report": lambda: _core.compute_diff_report([response(nested())], [response(nested())]),
        "pricing": lambda: _core.compute_diff_report([], [], {"m": nested()}),
        "compute_semantic_axis_with_embedder": lambda: _core.compute_semantic_axis_with_embedder(
            [response(nested())], [response(nested())], lambda texts: [[1.0, 0.5]] * len(texts)),
    }

    def run():
        try:
            CALLS[entry]()
            print("result")
        except ValueError as error:
            print("ValueError:", str(error).splitlines()[0])

    if limit != "default":
        sys.setrecursionlimit(int(limit))
    if stack:
        threading.stack_size(stack)
        worker = threading.Thread(target=run)
        worker.start()
        worker.join()
    else:
        run()
""")

ENTRIES = ["parse_agentlog", "write_agentlog", "canonical_bytes", "content_id", "compute_diff_report", "pricing",
           "compute_semantic_axis_with_embedder"]


def deep_call(entry, shape, depth, stack=0, limit="default"):
    child = subprocess.run([sys.executable, "-c", DEEP_CALL, entry, shape, str(depth), str(stack), str(limit)],
                           capture_output=True, text=True, timeout=300)
    assert child.returncode == 0, child.stderr[-2000:]
    return child.stdout.strip()


def too_deep(entry):
    if entry == "parse_agentlog":
        return "ValueError: parse error on line 1: recursion limit exceeded at line 1 column "
    return "ValueError: " + ("pricing value: " if entry == "pricing" else "") + RECURSION


@pytest.mark.parametrize("shape", ["list", "dict", "sequence"])
@pytest.mark.parametrize("limit", ["default", 10**6])
@pytest.mark.parametrize("entry", ENTRIES)
def test_nesting_beyond_any_stack_is_an_error(entry, limit, shape):
    assert deep_call(entry, shape, 100_000, limit=limit).startswith(too_deep(entry))


@pytest.mark.parametrize("depth, limit", [(990, "default"), (4095, 10**6)])
@pytest.mark.parametrize("entry", ENTRIES)
def test_nesting_in_a_thread_with_a_small_stack_gives_the_result_or_the_error(entry, depth, limit):
    outcome = deep_call(entry, "list", depth, stack=256 * 1024, limit=limit)
    assert outcome == "result" or outcome.startswith(too_deep(entry))


class Liar(collections.abc.Sequence):
    """Claims sys.maxsize items and holds `items`."""
    def __init__(self, *items):
        self.items = items

    def __len__(self):
        return sys.maxsize

    def __getitem__(self, index):
        return self.items[index]


def record(payload, kind="chat_response"):
    return {"version": "0.1", "id": "r", "kind": kind, "ts": "t", "payload": payload}


def response(text):
    return record({"content": [{"type": "text", "text": text}]})


@pytest.mark.parametrize("call", [
    lambda payload: canonical_bytes([payload]),
    lambda payload: content_id({"x": payload}),
    lambda payload: write_agentlog([record({"x": payload})]),
    lambda payload: compute_diff_report([record({"x": payload})], []),
])
def test_lengths_that_lie_are_not_trusted(call):
    with pytest.raises(ValueError, match="^IndexError: tuple index out of range$"):
        call(Liar(1, 2))


@pytest.mark.parametrize("result", [
    lambda texts: Liar(*([[1.0]] * len(texts))),
    lambda texts: [Liar(1.0)] * len(texts),
    lambda texts: [[1.0]] * len(texts) + [Liar()],
])
def test_embedder_results_that_lie_give_the_empty_statistic(result):
    stat = compute_semantic_axis_with_embedder([response("a")], [response("b")], result)
    assert stat["n"] == 0 and stat["severity"] == "none"


class Hook(collections.abc.Sequence):
    """A one-item sequence that runs `change` when its item is read."""
    def __init__(self, change):
        self.change = change

    def __len__(self):
        return 1

    def __getitem__(self, index):
        if index:
            raise IndexError(index)
        self.change()
        return 0


def interpreter_message(change):
    """What the interpreter's own dict iteration raises when `change` edits the dict during it."""
    table = {"a": 1, "b": 2}
    with pytest.raises(RuntimeError) as info:
        for index, _ in enumerate(table):
            if index == 0:
                change(table)
    return f"RuntimeError: {info.value}"


def grow(table):
    table["z"] = 3


def swap(table):
    # Same size, other keys: a visited key leaves and a new one arrives.
    table.pop("a", None)
    table["new" + str(len(table))] = 3


@pytest.mark.parametrize("change", [grow, swap])
@pytest.mark.parametrize("call", [
    canonical_bytes, content_id,
    lambda payload: write_agentlog([record(payload)]),
    lambda payload: compute_diff_report([record(payload)], []),
    lambda payload: compute_semantic_axis_with_embedder([record(payload)], [], len),
])
def test_a_payload_changed_while_it_is_read_is_a_value_error(call, change):
    payload = {"a": Hook(lambda: change(payload)), "b": 2}
    with pytest.raises(ValueError) as info:
        call(payload)
    assert type(info.value) is ValueError and str(info.value) == interpreter_message(change)


def test_a_key_hook_changing_the_payload_is_a_value_error():
    class Key(str):
        def __eq__(self, other):
            payload.clear()
            return str.__eq__(self, other)

        __hash__ = str.__hash__

    payload = {Key("a"): Hook(lambda: payload.get(Key("a"))), "b": 2}
    with pytest.raises(ValueError) as info:
        canonical_bytes(payload)
    assert str(info.value) == interpreter_message(grow)


class Tagged(str):
    """A str whose equality is identity: a dict holds it beside an equal plain str."""
    __hash__ = object.__hash__
    __eq__ = object.__eq__


@pytest.mark.parametrize("payload", [{Tagged("k"): 1, "k": 2, "z": 3}, {"k": 1, Tagged("k"): 2, "z": 3}])
def test_keys_with_one_text_give_one_member_the_later_value(payload):
    # A JSON object keeps each key once: the written line reads back as what was written.
    assert canonical_bytes(payload) == b'{"k":2,"z":3}'
    [parsed] = parse_agentlog(write_agentlog([record(payload)]))
    assert parsed["payload"] == {"k": 2, "z": 3}
