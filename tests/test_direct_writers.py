"""write_agentlog, canonical_bytes and content_id read plain objects (exact built-in types) directly and
leave everything else to the conversion into JSON values. A dict or list subclass always takes the
conversion's road, so wrapping an argument in one must never change a result or an error."""
import inspect
import sys

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from velkin._core import canonical_bytes, content_id, write_agentlog

KINDS = ["metadata", "chat_request", "chat_response", "tool_call", "tool_result", "error", "replay_summary",
         "chunk", "harness_event", "blob_ref"]
FIELDS = ["version", "id", "kind", "ts", "parent", "meta", "payload"]


class SubDict(dict):
    pass


class SubList(list):
    pass


class SubStr(str):
    pass


def outcome(action):
    """What a call gives: its result, or the type and text of its exception."""
    try:
        return "result", action()
    except BaseException as error:  # noqa: BLE001 - every kind of failure must match
        return type(error).__name__, str(error)


def written_on_both_roads(records):
    direct = outcome(lambda: write_agentlog(records))
    assert direct == outcome(lambda: write_agentlog([SubDict(r) if type(r) is dict else r for r in records]))
    return direct


def canonical_on_both_roads(value):
    direct = outcome(lambda: canonical_bytes([value]))
    assert direct == outcome(lambda: canonical_bytes(SubList([value])))
    assert outcome(lambda: content_id([value])) == outcome(lambda: content_id(SubList([value])))
    return direct


# Leaves: mostly plain, with the inputs that must leave the direct road.
texts = st.text(max_size=8) | st.sampled_from(["e\u0301", "\u212b", "\u00e9", "\U0001f600", "\x00\"\\", "Σ"])
plain_leaves = (st.none() | st.booleans() | st.integers(-(2**63), 2**64 - 1) | st.floats() | texts
                | st.sampled_from([2**63 - 1, 2**63, 2**64, -(2**63) - 1, 2**127, -(2**200)]))
exotic_leaves = st.sampled_from([b"x", bytearray(b"y"), frozenset([1]), {2}, SubStr("s"), object(), "\ud800", 2**130])


def nest(leaves, *, exotic):
    def containers(inner):
        shapes = (st.lists(inner, max_size=4) | st.lists(inner, max_size=3).map(tuple)
                  | st.dictionaries(texts, inner, max_size=4))
        if exotic:
            shapes |= (st.dictionaries(st.sampled_from([1, SubStr("k"), "\udc80", None]), inner, min_size=1,
                                       max_size=2)
                       | st.dictionaries(texts, inner, max_size=2).map(SubDict))
        return shapes
    return st.recursive(leaves, containers, max_leaves=12)


plain_values = nest(plain_leaves, exotic=False)
values = nest(plain_leaves | exotic_leaves, exotic=True)
# Envelope values: the usual shapes, and every kind of wrong one.
field_values = (texts | st.sampled_from(KINDS + ["Chunk", ""]) | st.none() | st.integers(-3, 3) | st.floats()
                | st.dictionaries(st.sampled_from(KINDS + ["x"]), st.none() | st.just(1), max_size=2) | values)


@st.composite
def record_dicts(draw):
    """Well-formed records, some of them then broken in up to two places, with members in any order."""
    fields = {"version": draw(texts), "id": draw(texts), "kind": draw(st.sampled_from(KINDS)), "ts": draw(texts)}
    optional = {"parent": st.none() | texts, "meta": st.none() | st.dictionaries(texts, plain_values, max_size=3),
                "x": plain_values}
    for name, value in optional.items():
        if draw(st.booleans()):
            fields[name] = draw(value)
    fields["payload"] = draw(plain_values)
    for _ in range(draw(st.integers(0, 2))):
        name = draw(st.sampled_from(FIELDS + ["x"]))
        if draw(st.booleans()):
            fields.pop(name, None)
        else:
            fields[name] = draw(field_values)
    return {name: fields[name] for name in draw(st.permutations(list(fields)))}


@settings(max_examples=400)
@given(st.lists(record_dicts(), max_size=4))
def test_records_give_the_same_bytes_or_error_on_both_roads(records):
    written_on_both_roads(records)


@settings(max_examples=400)
@given(values)
def test_payloads_give_the_same_canonical_bytes_or_error_on_both_roads(value):
    canonical_on_both_roads(value)


def record(payload=None, **fields):
    return {"version": "0.1", "id": "r", "kind": "chunk", "ts": "t", "payload": payload, **fields}


UNKNOWN_NOPE = ("unknown variant `nope`, expected one of `metadata`, `chat_request`, `chat_response`, `tool_call`, "
                "`tool_result`, `error`, `replay_summary`, `chunk`, `harness_event`, `blob_ref`")


@pytest.mark.parametrize("records, message", [
    ([record(meta=[1])], "invalid type: sequence, expected a map"),
    ([record(meta="m")], 'invalid type: string "m", expected a map'),
    ([record(kind=None)], "invalid type: null, expected string or map"),
    ([record(parent=5)], "invalid type: integer `5`, expected a string"),
    ([{"kind": "chunk", "x": 1}], "missing field `version`"),
    ([["0.1", "r", "chunk", "t", None, None]], "invalid length 6, expected struct Record with 7 elements"),
    ([("0.1", "r", "chunk", "t", None, None, 1, 2)], "invalid length 8, expected fewer elements in array"),
    # A conversion error anywhere in an element wins over the element's decode error.
    ([{"kind": "nope", "x": [b"1"]}], "invalid type: byte array, expected any valid JSON value"),
    ([{"kind": "nope", "payload": {"k": 2**64}}], "JSON number out of range"),
    ([{"meta": {"k": {1: 2}}, "version": 1}], "unexpected type: 'int' object cannot be converted to 'PyString'"),
    # The first failing element in list order is reported, whichever road each element takes.
    ([record(), record(kind="nope"), record(payload=b"x")], UNKNOWN_NOPE),
    ([record(), SubDict(record(payload={1})), record(id=None)], "invalid type: null, expected a string"),
])
def test_envelope_errors(records, message):
    assert written_on_both_roads(records) == ("ValueError", message)


def nested(depth):
    value = 0
    for _ in range(depth):
        value = [value]
    return value


def outcomes_around_the_limit(road):
    """The least nesting that `road` refuses, and its outcomes from three levels below to three above.
    Every call is made from this one frame: each enclosing frame counts against the recursion limit."""
    low, high = 1, 5000
    while high - low > 1:
        middle = (low + high) // 2
        low, high = (middle, high) if road(nested(middle))[0] == "result" else (low, middle)
    outcomes = []
    for depth in range(high - 3, high + 3):
        outcomes.append(road(nested(depth))[0])
    return high, outcomes


@pytest.mark.parametrize("road", [canonical_on_both_roads, lambda value: written_on_both_roads([record(value)])],
                         ids=["canonical", "write"])
@pytest.mark.parametrize("spare", [40, 6000])
def test_nesting_fails_at_the_same_depth_on_both_roads(spare, road):
    # With little room left under the recursion limit the interpreter stops the walk; with much room, the
    # walk's own cap does: 4096 levels, fewer when the thread's stack cannot hold that many. The helpers
    # check that both roads give the same outcome at every depth tried.
    limit = sys.getrecursionlimit()
    sys.setrecursionlimit(len(inspect.stack(0)) + spare)
    try:
        first, outcomes = outcomes_around_the_limit(road)
    finally:
        sys.setrecursionlimit(limit)
    assert first <= 4097 and outcomes == ["result"] * 3 + ["ValueError"] * 3


def test_large_output_grows_past_the_first_buffer():
    texts_ = ["\u00e9" * 1000 + str(i) for i in range(300)]
    data = write_agentlog([record(text) for text in texts_])
    assert data == b"".join(write_agentlog([SubDict(record(text))]) for text in texts_)
