"""Conversion of Python arguments: objects to JSON values, record lists, the pricing dict,
the order in which the diff entries convert, and hostile inputs."""
import collections
import collections.abc
import decimal
import sys
import types

import pytest
from hypothesis import given
from hypothesis import strategies as st

from velkin._core import (
    canonical_bytes,
    compute_diff_report,
    compute_semantic_axis_with_embedder,
    parse_agentlog,
    write_agentlog,
)
from velkin._native import compare_runs


def record(payload=None, **fields):
    return {"version": "0.1", "id": "r", "kind": "chat_response", "ts": "t", "payload": payload, **fields}


def roundtrip(payload):
    """The payload as the system converted it, read back through the writer and the parser."""
    [parsed] = parse_agentlog(write_agentlog([record(payload)]))
    return parsed["payload"]


def value_error(call, *args):
    with pytest.raises(ValueError) as info:
        call(*args)
    assert type(info.value) is ValueError
    return str(info.value)


def interpreter_error(action):
    """'{type}: {text}' of the error the interpreter raises for `action`."""
    with pytest.raises(BaseException) as info:
        action()
    return f"{type(info.value).__qualname__}: {info.value}"


class Seq(collections.abc.Sequence):
    def __init__(self, *items, error=None):
        self.items, self.error = items, error

    def __len__(self):
        return len(self.items)

    def __getitem__(self, index):
        if self.error and index == len(self.items) - 1:
            raise self.error
        return self.items[index]


class Map(collections.abc.Mapping):
    def __init__(self, error=None, **items):
        self.items, self.error = items, error

    def __len__(self):
        return len(self.items)

    def __iter__(self):
        return iter(self.items)

    def __getitem__(self, key):
        if self.error:
            raise self.error
        return self.items[key]


def subclass(base, *args):
    return type("Sub" + base.__name__, (base,), {})(*args)


@pytest.mark.parametrize("payload, expected", [
    (None, None), (True, True), (False, False), (0, 0), (subclass(int, 7), 7),
    (2**64 - 1, 2**64 - 1), (-(2**63), -(2**63)),
    ([1, "a", None], [1, "a", None]), ((1, (2, 3)), [1, [2, 3]]),
    (subclass(list, [1]), [1]), (subclass(tuple, (1,)), [1]),
    ({"b": 1, "a": 2}, {"b": 1, "a": 2}), (subclass(dict, {"z": 1, "y": 2}), {"z": 1, "y": 2}),
    ("h\u00e9\U0001F600", "h\u00e9\U0001F600"), (subclass(str, "s"), "s"),
    (1.5, 1.5), (subclass(float, 2.0), 2.0), (float("inf"), None), (float("-inf"), None), (float("nan"), None),
    (frozenset([3]), [3]), (range(3), [0, 1, 2]), (collections.deque([1, 2]), [1, 2]), (Seq(1, Seq(2)), [1, [2]]),
    (types.MappingProxyType({"m": 1}), {"m": 1}), (Map(b=1, a=Map(c=(1,))), {"b": 1, "a": {"c": [1]}}),
])
def test_conversion_table(payload, expected):
    converted = roundtrip(payload)
    assert converted == expected and type(converted) is type(expected)


def test_set_keeps_its_iteration_order():
    values = {"x", "y", "z", "w"}
    assert roundtrip(values) == list(values)


def test_str_subclass_keys_with_equal_text_keep_one_member():
    class Distinct(str):
        __hash__ = object.__hash__

        def __eq__(self, other):
            return self is other
    payload = {Distinct("k"): 1, "j": 2, Distinct("k"): 3}
    assert len(payload) == 3 and list(roundtrip(payload).items()) == [("k", 3), ("j", 2)]


class Thing:
    pass


CONVERSION_ERRORS = [
    ({1: 2}, "unexpected type: 'int' object cannot be converted to 'PyString'"),
    ([{"a": {(1,): 2}}], "unexpected type: 'tuple' object cannot be converted to 'PyString'"),
    (types.MappingProxyType({None: 1}), "unexpected type: 'NoneType' object cannot be converted to 'PyString'"),
    (2**64, "JSON number out of range"),
    (-(2**63) - 1, "JSON number out of range"),
    (2**127 - 1, "JSON number out of range"),
    (-(2**127), "JSON number out of range"),
    ([b"x"], "invalid type: byte array, expected any valid JSON value"),
    (subclass(bytes, b""), "invalid type: byte array, expected any valid JSON value"),
    (bytearray(b"x"), "unexpected type: 'bytearray' object cannot be converted to 'PyBytes'"),
    (subclass(bytearray), "unexpected type: 'Subbytearray' object cannot be converted to 'PyBytes'"),
    (object(), "unsupported type object"),
    (decimal.Decimal("1.5"), "unsupported type Decimal"),
    ({"a": [1, {"b": Thing()}]}, f"unsupported type {Thing.__qualname__}"),
    # The first failure wins.
    ([1, object(), b"x"], "unsupported type object"),
    ({"a": b"x", 1: object()}, "invalid type: byte array, expected any valid JSON value"),
    # Errors raised while reading an object show their type.
    (Seq(1, 2, error=KeyError("boom")), "KeyError: 'boom'"),
    ([1, Seq(0, error=ZeroDivisionError("zero"))], "ZeroDivisionError: zero"),
    (Map(k=1, error=LookupError("no value")), "LookupError: no value"),
    (["ok", "a\udfffb"], "UnicodeEncodeError: 'utf-8' codec can't encode character '\\udfff' in position 1: "
                          "surrogates not allowed"),
    ("a\udfffb", "UnicodeEncodeError: 'utf-8' codec can't encode character '\\udfff' in position 1: "
                  "surrogates not allowed"),
    (["\U0001f680\udfff"], "UnicodeEncodeError: 'utf-8' codec can't encode character '\\udfff' in position 1: "
                            "surrogates not allowed"),
]


@pytest.mark.parametrize("payload, message", CONVERSION_ERRORS)
def test_conversion_errors(payload, message):
    assert value_error(canonical_bytes, payload) == message


# Places where a report or a run comparison drops the value once it is read, each checked as if kept.
DROPPED_PLACES = {
    "version": lambda bad: record({"content": []}, version=bad),
    "time stamp": lambda bad: record({"content": []}, ts=bad),
    "parent": lambda bad: record({"content": []}, parent=bad),
    "tool result payload": lambda bad: record({"content": [bad]}, kind="tool_result"),
    "request payload": lambda bad: record({"messages": [bad]}, kind="chat_request"),
    "unread payload member": lambda bad: record({"content": [], "extra": bad}),
    "unread usage member": lambda bad: record({"usage": {"input_tokens": 1, "note": bad}}),
    "thinking text": lambda bad: record({"content": [{"type": "thinking", "thinking": bad}]}),
    "block of an unread type": lambda bad: record({"content": [{"type": "image", "source": bad}]}),
    "member before its block's type": lambda bad: record({"content": [{"text": bad, "type": "text"}]}),
    "member after its block's type": lambda bad: record({"content": [{"type": "text", "id": bad}]}),
    "payload before the kind": lambda bad: {"version": "0.1", "id": "r", "payload": {"x": bad}, "kind": "tool_call",
                                            "ts": "t"},
}


@pytest.mark.parametrize("place", DROPPED_PLACES)
@pytest.mark.parametrize("payload, message", CONVERSION_ERRORS)
def test_a_report_checks_what_it_drops(place, payload, message):
    bad = DROPPED_PLACES[place](payload)
    assert value_error(compute_diff_report, [record({"content": []})], [bad]) == message
    assert value_error(compare_runs, [[record({"content": []})]], [[bad]]) == "candidate run 1, record 1: " + message


@pytest.mark.parametrize("value", [2**127, -(2**127) - 1, 2**1000])
def test_beyond_128_bits_shows_the_interpreter_overflow(value):
    expected = interpreter_error(lambda: value.to_bytes(16, "little", signed=True))
    assert expected.startswith("OverflowError: ") and value_error(canonical_bytes, value) == expected


@pytest.mark.parametrize("payload, bad_text", [
    ("\ud800", "\ud800"), (["ok", "a\udfffb"], "a\udfffb"), ({"\ud834": 1}, "\ud834"),
    # A str of four-byte characters holding a lone surrogate, at either end.
    (["\U0001f680" * 40 + "\udfff"], "\U0001f680" * 40 + "\udfff"), ({"k": "\udbff\U0010ffff"}, "\udbff\U0010ffff"),
])
def test_lone_surrogates(payload, bad_text):
    expected = interpreter_error(lambda: bad_text.encode("utf-8"))
    assert expected.startswith("UnicodeEncodeError: ") and value_error(canonical_bytes, payload) == expected


def test_a_report_reads_text_without_growing_its_inputs():
    # The interpreter keeps a UTF-8 copy inside a non-ASCII str once asked for
    # one; converting a large input must not double it.
    texts = ["caf\u00e9 " * 300, "\u6771\u4eac " * 300, "\U0001f680 " * 300]
    sizes = [sys.getsizeof(text) for text in texts]
    response = record({"content": [{"type": "text", "text": text} for text in texts]}, kind="chat_response")
    compute_diff_report([response], [response])
    assert [sys.getsizeof(text) for text in texts] == sizes
    bad = record({"content": [{"type": "text", "text": "a\udfffb"}]}, kind="chat_response")
    expected = interpreter_error(lambda: "a\udfffb".encode("utf-8"))
    assert value_error(compute_diff_report, [bad], [bad]) == expected


def nest(make, depth, leaf=None):
    for _ in range(depth):
        leaf = make(leaf)
    return leaf


def test_deep_and_self_containing_containers_fail_with_a_recursion_error():
    looped, table = [], {}
    looped.append(looped)
    table["self"] = table
    for payload in (nest(lambda x: [x], 100_000), nest(lambda x: {"k": x}, 100_000), looped, [1, {"x": table}]):
        assert value_error(canonical_bytes, payload).startswith("RecursionError: maximum recursion depth exceeded")
    assert value_error(write_agentlog, [record(looped)]).startswith("RecursionError: ")
    assert canonical_bytes(nest(lambda x: (x,), 200, 0)) == b"[" * 200 + b"0" + b"]" * 200


def test_containers_changing_while_converted():
    class Shrinker(collections.abc.Sequence):
        def __len__(self):
            outer.clear()
            return 0

        def __getitem__(self, index):
            raise IndexError(index)

    outer = [Shrinker(), 1, 2, 3]
    assert canonical_bytes(outer) == b"[[]]"

    class Grower(Shrinker):
        def __len__(self):
            target.add(len(target) + 100)
            return 0

    target = {Grower(), 1}
    assert value_error(canonical_bytes, target) == interpreter_error(lambda: [target.add(-1) for _ in target])


def cost_row(pricing, baseline_usage, candidate_usage, **extra):
    def side(usage):
        return [record({"model": "m", "usage": {"input_tokens": 0, "output_tokens": 0, **usage}, **extra})]
    return compute_diff_report(side(baseline_usage), side(candidate_usage), pricing, 7)["rows"][5]


@pytest.mark.parametrize("pair", [(3e-06, 1.5e-05), (3, 15), (decimal.Decimal("3"), subclass(float, 15.0))])
def test_pricing_pair_form(pair):
    row = cost_row({"m": pair}, {"input_tokens": 1}, {"output_tokens": 1})
    assert (row["baseline_median"], row["candidate_median"]) == (float(pair[0]), float(pair[1]))
    assert "no_pricing" not in row["flags"]
    # The other five prices are 0: cached and reasoning tokens fall back to the input and output prices.
    row = cost_row({"m": pair}, {"cached_input_tokens": 1}, {"thinking_tokens": 1})
    assert (row["baseline_median"], row["candidate_median"]) == (float(pair[0]), float(pair[1]))


@pytest.mark.parametrize("form", [list, tuple])
def test_pricing_array_form_field_order(form):
    prices = form([1.0, 2.0, 4.0, 8.0, 16.0, 32.0, 0.5])
    fields = ["input", "output", "cached_input", "cached_write_5m", "cached_write_1h", "thinking"]
    for field, price in zip(fields, prices):
        assert cost_row({"m": prices}, {field + "_tokens": 1}, {})["baseline_median"] == price
    assert cost_row({"m": prices}, {"input_tokens": 1}, {}, batch=True)["baseline_median"] == 0.5


def test_pricing_object_form():
    pricing = {"m": {"x": 9, "reasoning": 32, "output": 2, "input": 1, "cached_write_1h": 16}}
    assert cost_row(pricing, {"cached_write_1h_tokens": 1}, {"thinking_tokens": 1})["delta"] == 16.0
    assert cost_row({"m": Map(input=1, output=2)}, {"input_tokens": 3}, {})["baseline_median"] == 3.0


@pytest.mark.parametrize("pricing", [None, {}, collections.OrderedDict()])
def test_empty_pricing_table(pricing):
    assert "no_pricing" in cost_row(pricing, {"input_tokens": 1}, {})["flags"]


class NoFloat:
    def __float__(self):
        raise ArithmeticError("no float")


@pytest.mark.parametrize("pricing, message", [
    ({"m": [3e-06, 1.5e-05]}, "value: invalid length 2, expected struct ModelPricing with 7 elements"),
    ({"m": (1.0, 2.0, 3.0)}, "value: invalid length 3, expected struct ModelPricing with 7 elements"),
    ({"m": [1] * 8}, "value: invalid length 8, expected fewer elements in array"),
    ({"m": {"input": 1.0}}, "value: missing field `output`"),
    ({"m": {"output": 1.0}}, "value: missing field `input`"),
    ({"m": {"input": "x", "output": 1}}, 'value: invalid type: string "x", expected f64'),
    ({"m": {"input": True, "output": 1}}, "value: invalid type: boolean `true`, expected f64"),
    ({"m": {"input": 1, "output": None}}, "value: invalid type: null, expected f64"),
    ({"m": ("a", 1)}, 'value: invalid type: string "a", expected f64'),
    ({"m": [1, 2, 3, 4, 5, 6, [7]]}, "value: invalid type: sequence, expected f64"),
    ({"m": "x"}, 'value: invalid type: string "x", expected struct ModelPricing'),
    ({"m": 5}, "value: invalid type: integer `5`, expected struct ModelPricing"),
    ({"m": b"x"}, "value: invalid type: byte array, expected any valid JSON value"),
    ({"m": (1.0, NoFloat())}, f"value: unsupported type {NoFloat.__qualname__}"),
    ({"m": {"input": 1, "output": 2, 3: 4}}, "value: unexpected type: 'int' object cannot be converted to 'PyString'"),
    ({1: (1.0, 2.0)}, "key: TypeError: 'int' object cannot be converted to 'PyString'"),
    ({"ok": (1, 2), (1,): (1.0, 2.0)}, "key: TypeError: 'tuple' object cannot be converted to 'PyString'"),
    ({"\ud800": (1.0, 2.0)}, "key: " + interpreter_error(lambda: "\ud800".encode())),
])
def test_pricing_errors(pricing, message):
    assert value_error(compute_diff_report, [], [], pricing) == "pricing " + message


BAD = {"version": "0.1"}


@pytest.mark.parametrize("call, args, message", [
    (compute_diff_report, ([record(id=1)], [BAD], {1: 2}), "invalid type: integer `1`, expected a string"),
    (compute_diff_report, ([object()], [], {1: 2}), "unsupported type object"),
    (compute_diff_report, ([], [BAD], {"m": "bad"}), "missing field `id`"),
    (compute_semantic_axis_with_embedder, ([record()], [BAD], None), "missing field `id`"),
])
def test_diff_entries_convert_baseline_then_candidate_then_the_rest(call, args, message):
    assert value_error(call, *args) == message


def semantic(embedder):
    responses = [record({"content": [{"type": "text", "text": t}]}) for t in ("a", "b")]
    return compute_semantic_axis_with_embedder(responses, responses, embedder, 3)


def interrupt(texts):
    raise KeyboardInterrupt


@pytest.mark.parametrize("embedder, n", [
    (lambda texts: tuple((1.0, 0.0) for _ in texts), 2),
    (lambda texts: [collections.deque([decimal.Decimal(1), 0]), range(1, 3)], 2),
    (interrupt, 0),
    (lambda texts: {0: [1.0], 1: [1.0]}, 0),
    (lambda texts: (_ for _ in texts), 0),
    (lambda texts: [[1.0], 5], 0),
])
def test_embedder_results_are_read_through_the_sequence_protocol(embedder, n):
    stat = semantic(embedder)
    assert (stat["n"], stat["candidate_median"]) == (n, 1.0 if n else 0.0)


def trace(*metas):
    """Records r0, r1, ... (a request, a response, a tool call, and again) with the given metas."""
    kinds = ("chat_request", "chat_response", "tool_call")
    return [{"version": "0.1", "id": f"r{i}", "kind": kinds[i % 3], "ts": "t", "meta": meta, "payload": {}}
            for i, meta in enumerate(metas)]


@pytest.mark.parametrize("metas, trace_id", [
    ([None, None, None], "r0"),
    ([{"trace_id": "a"}, None, {"trace_id": "b"}], "a"),
    ([None, None, {"trace_id": "c"}, {"trace_id": "d"}], "c"),
    ([{"trace_id": 7}, {"other": 1}, None, {"trace_id": "e"}, {"trace_id": "x"}], "e"),
    ([None, {"trace_id": "f"}, {"trace_id": "g"}], "f"),
])
def test_a_report_names_each_side_by_its_first_trace_id(metas, trace_id):
    report = compute_diff_report(trace(*metas), trace(None, None), None, 1)
    assert (report["baseline_trace_id"], report["candidate_trace_id"]) == (trace_id, "r0")


# Values of the exact built-in types, now and then with a value that fails to convert (a lone
# surrogate, an int beyond 64 bits) or one of another type (a str or int subclass, a frozenset).
ODD_LEAVES = st.sampled_from(["a\udfffb", 2**64, -(2**63) - 1, subclass(str, "s"), subclass(int, 3), frozenset([1])])
LEAVES = (st.none() | st.booleans() | st.integers(-(2**63), 2**64 - 1) | st.floats() | st.text(max_size=8)
          | st.sampled_from(["", "caf\u00e9", "\U0001f680"]))


def mostly(usual, unusual):
    return st.one_of(usual, usual, usual, usual, unusual)


JSON_LIKE = st.recursive(
    mostly(LEAVES, ODD_LEAVES),
    lambda inner: st.lists(inner, max_size=3) | st.tuples(inner) | st.dictionaries(st.text(max_size=4), inner, max_size=3),
    max_leaves=6)
BLOCKS = st.dictionaries(st.sampled_from(["type", "text", "id", "name", "input", "thinking", "x"]),
                         mostly(st.sampled_from(["text", "tool_use", "thinking", "image"]), JSON_LIKE), max_size=5)
RESPONSE_PAYLOADS = st.dictionaries(
    st.sampled_from(["model", "content", "usage", "stop_reason", "latency_ms", "batch", "extra"]),
    st.lists(BLOCKS, max_size=3) | st.dictionaries(st.sampled_from(["input_tokens", "output_tokens", "note"]),
                                                   JSON_LIKE, max_size=3) | JSON_LIKE,
    max_size=7)
KINDS = st.sampled_from(["chat_response", "chat_response", "chat_request", "tool_result", "metadata"])
TEXTS = st.sampled_from(["r1", "r2", "caf\u00e9"])


@st.composite
def records(draw):
    """A record dict, its members in any order, now and then one of them missing or of another type."""
    record = {"version": "0.1", "id": draw(TEXTS), "kind": draw(KINDS), "ts": draw(TEXTS),
              "parent": draw(st.none() | TEXTS),
              "meta": draw(st.none() | st.dictionaries(st.sampled_from(["trace_id", "task_id"]), JSON_LIKE)),
              "payload": draw(RESPONSE_PAYLOADS | JSON_LIKE), "other": draw(JSON_LIKE)}
    changed = draw(st.sampled_from([None, None, *record]))
    if changed and draw(st.booleans()):
        del record[changed]
    elif changed:
        record[changed] = draw(JSON_LIKE)
    return {name: record[name] for name in draw(st.permutations(list(record)))}


def outcome(call, *args):
    try:
        return call(*args)
    except ValueError as e:
        return type(e), str(e)


def as_read_the_long_way(record):
    """The same record with a trailing member of a type the quick reading of plain records gives up on."""
    return {**record, "~": frozenset()} if isinstance(record, dict) else record


@given(st.lists(records(), min_size=1, max_size=3), st.lists(records(), min_size=1, max_size=3))
def test_plain_records_read_as_the_long_way_reads_them(baseline, candidate):
    long_way = [as_read_the_long_way(r) for r in baseline], [as_read_the_long_way(r) for r in candidate]
    assert outcome(compute_diff_report, baseline, candidate) == outcome(compute_diff_report, *long_way)
    assert outcome(compare_runs, [baseline], [candidate]) == outcome(compare_runs, [long_way[0]], [long_way[1]])


@given(JSON_LIKE)
def test_plain_values_convert_as_the_long_way_converts_them(value):
    assert outcome(canonical_bytes, [value, []]) == outcome(canonical_bytes, [value, frozenset()])
