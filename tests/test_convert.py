"""Conversion of Python arguments: objects to JSON values, record lists, the pricing dict,
the order in which the diff entries convert, and hostile inputs."""
import collections
import collections.abc
import decimal
import math
import types

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from velkin._core import (
    canonical_bytes,
    compute_diff_report,
    compute_semantic_axis_with_embedder,
    parse_agentlog,
    write_agentlog,
)


def record(payload=None, **fields):
    base = {"version": "0.1", "id": "r", "kind": "chat_response", "ts": "t", "payload": payload}
    base.update(fields)
    return base


def roundtrip(payload):
    """The payload as the system converted it, read back through the writer and the parser."""
    [parsed] = parse_agentlog(write_agentlog([record(payload)]))
    return parsed["payload"]


def conversion_error(payload):
    with pytest.raises(ValueError) as info:
        canonical_bytes(payload)
    assert type(info.value) is ValueError
    return str(info.value)


def interpreter_error(action):
    """'{type}: {text}' of the error the interpreter raises for `action`."""
    with pytest.raises(BaseException) as info:
        action()
    return f"{type(info.value).__qualname__}: {info.value}"


class Seq(collections.abc.Sequence):
    def __init__(self, *items):
        self.items = items

    def __len__(self):
        return len(self.items)

    def __getitem__(self, index):
        return self.items[index]


class Map(collections.abc.Mapping):
    def __init__(self, **items):
        self.items = items

    def __len__(self):
        return len(self.items)

    def __iter__(self):
        return iter(self.items)

    def __getitem__(self, key):
        return self.items[key]


class MyInt(int):
    pass


class MyFloat(float):
    pass


class MyStr(str):
    pass


class MyDict(dict):
    pass


class MyList(list):
    pass


class MyTuple(tuple):
    pass


class TestConversionTable:
    @pytest.mark.parametrize("payload, expected", [
        (None, None),
        (True, True),
        (False, False),
        (0, 0),
        (MyInt(7), 7),
        (2**64 - 1, 2**64 - 1),
        (-(2**63), -(2**63)),
        ([1, "a", None], [1, "a", None]),
        ((1, (2, 3)), [1, [2, 3]]),
        (MyList([1]), [1]),
        (MyTuple((1,)), [1]),
        ({"b": 1, "a": 2}, {"b": 1, "a": 2}),
        (MyDict(z=1, y=2), {"z": 1, "y": 2}),
        (collections.OrderedDict([("k", [])]), {"k": []}),
        ("h\u00e9\U0001F600", "h\u00e9\U0001F600"),
        (MyStr("s"), "s"),
        (1.5, 1.5),
        (MyFloat(2.0), 2.0),
        (float("inf"), None),
        (float("-inf"), None),
        (float("nan"), None),
        (frozenset([3]), [3]),
        (range(3), [0, 1, 2]),
        (collections.deque([1, 2]), [1, 2]),
        (collections.UserList([4]), [4]),
        (Seq(1, Seq(2)), [1, [2]]),
        (types.MappingProxyType({"m": 1}), {"m": 1}),
        (collections.UserDict({"u": (1,)}), {"u": [1]}),
        (Map(b=1, a=Map(c=None)), {"b": 1, "a": {"c": None}}),
    ])
    def test_rows(self, payload, expected):
        converted = roundtrip(payload)
        assert converted == expected
        assert type(converted) is type(expected)

    def test_bool_is_not_an_integer_and_int_is_not_a_float(self):
        assert write_agentlog([record([True, 1, 1.0])]).endswith(b'"payload":[true,1,1.0]}\n')

    def test_set_keeps_its_iteration_order(self):
        values = {"x", "y", "z", "w"}
        assert roundtrip(values) == list(values)

    def test_dict_key_order_is_kept(self):
        payload = {k: i for i, k in enumerate("zyxabc")}
        assert list(roundtrip(payload)) == list("zyxabc")

    def test_str_subclass_keys_with_equal_text_keep_one_member(self):
        class Distinct(str):
            __hash__ = object.__hash__

            def __eq__(self, other):
                return self is other

        payload = {Distinct("k"): 1, "j": 2, Distinct("k"): 3}
        assert len(payload) == 3
        assert write_agentlog([record(payload)]).endswith(b'"payload":{"k":3,"j":2}}\n')


class TestConversionErrors:
    @pytest.mark.parametrize("payload, message", [
        ({1: 2}, "unexpected type: 'int' object cannot be converted to 'PyString'"),
        ({None: 2}, "unexpected type: 'NoneType' object cannot be converted to 'PyString'"),
        ([{"a": {(1,): 2}}], "unexpected type: 'tuple' object cannot be converted to 'PyString'"),
        (types.MappingProxyType({2: 1}),
         "unexpected type: 'int' object cannot be converted to 'PyString'"),
        (2**64, "JSON number out of range"),
        (-(2**63) - 1, "JSON number out of range"),
        (2**127 - 1, "JSON number out of range"),
        (-(2**127), "JSON number out of range"),
        (b"x", "invalid type: byte array, expected any valid JSON value"),
        ([b""], "invalid type: byte array, expected any valid JSON value"),
        (bytearray(b"x"), "unexpected type: 'bytearray' object cannot be converted to 'PyBytes'"),
        (object(), "unsupported type object"),
        (1j, "unsupported type complex"),
        (decimal.Decimal("1.5"), "unsupported type Decimal"),
        ({"a": [1, {"b": print}]}, "unsupported type builtin_function_or_method"),
    ])
    def test_messages(self, payload, message):
        assert conversion_error(payload) == message

    def test_subclass_names_are_qualified_names(self):
        class Blob(bytes):
            pass

        class Buffer(bytearray):
            pass

        class Thing:
            pass

        assert conversion_error(Blob(b"")) == "invalid type: byte array, expected any valid JSON value"
        assert conversion_error(Buffer()) == (
            f"unexpected type: '{Buffer.__qualname__}' object cannot be converted to 'PyBytes'")
        assert conversion_error(Thing()) == f"unsupported type {Thing.__qualname__}"
        assert Thing.__qualname__.endswith("<locals>.Thing")

    @pytest.mark.parametrize("value", [2**127, -(2**127) - 1, 2**1000, -(10**60)])
    def test_beyond_128_bits_shows_the_interpreter_overflow(self, value):
        expected = interpreter_error(lambda: value.to_bytes(16, "little", signed=True))
        assert expected.startswith("OverflowError: ")
        assert conversion_error(value) == expected

    @pytest.mark.parametrize("payload, bad_text", [
        ("\ud800", "\ud800"),
        (["ok", "a\udfffb"], "a\udfffb"),
        ({"k": "\udc80"}, "\udc80"),
        ({"\ud834": 1}, "\ud834"),
    ])
    def test_lone_surrogates(self, payload, bad_text):
        expected = interpreter_error(lambda: bad_text.encode("utf-8"))
        assert expected.startswith("UnicodeEncodeError: ")
        assert conversion_error(payload) == expected

    def test_first_failure_wins(self):
        assert conversion_error([1, object(), b"x"]) == "unsupported type object"
        assert conversion_error({"a": b"x", 1: object()}) == (
            "invalid type: byte array, expected any valid JSON value")


class Exploding(collections.abc.Sequence):
    def __init__(self, error, fail_len=False):
        self.error = error
        self.fail_len = fail_len

    def __len__(self):
        if self.fail_len:
            raise self.error
        return 2

    def __getitem__(self, index):
        if index == 1:
            raise self.error
        return index


class ExplodingMap(collections.abc.Mapping):
    def __len__(self):
        return 1

    def __iter__(self):
        return iter(["k"])

    def __getitem__(self, key):
        raise LookupError("no value for " + key)


class TestHostileInputs:
    @pytest.mark.parametrize("make", [
        lambda inner: [inner],
        lambda inner: {"k": inner},
        lambda inner: (inner,),
    ])
    def test_deep_nesting_is_a_recursion_value_error(self, make):
        payload = None
        for _ in range(100_000):
            payload = make(payload)
        message = conversion_error(payload)
        assert message.startswith("RecursionError: maximum recursion depth exceeded")

    def test_nesting_within_the_limit_converts(self):
        payload = 0
        for _ in range(200):
            payload = [payload]
        assert canonical_bytes(payload) == b"[" * 200 + b"0" + b"]" * 200

    def test_self_containing_containers(self):
        looped = []
        looped.append(looped)
        table = {}
        table["self"] = table
        for payload in (looped, table, [1, {"x": looped}]):
            assert conversion_error(payload).startswith("RecursionError: ")
        with pytest.raises(ValueError, match="^RecursionError: "):
            write_agentlog([record(looped)])

    def test_recursion_error_leaves_the_interpreter_usable(self):
        looped = []
        looped.append(looped)
        conversion_error(looped)
        assert canonical_bytes([[[1]]]) == b"[[[1]]]"

    @pytest.mark.parametrize("payload, message", [
        (Exploding(KeyError("boom")), "KeyError: 'boom'"),
        (Exploding(RuntimeError("len broke"), fail_len=True), "RuntimeError: len broke"),
        ([1, Exploding(ZeroDivisionError("zero"))], "ZeroDivisionError: zero"),
        (ExplodingMap(), "LookupError: no value for k"),
    ])
    def test_errors_while_reading_are_shown_with_their_type(self, payload, message):
        assert conversion_error(payload) == message

    def test_set_changing_during_iteration(self):
        class Grower(collections.abc.Sequence):
            def __len__(self):
                target.add(len(target) + 100)
                return 0

            def __getitem__(self, index):
                raise IndexError(index)

        target = {Grower(), 1}
        message = conversion_error(target)
        assert message == interpreter_error(lambda: [target.add(-len(target)) for _ in target])

    def test_list_shrinking_while_converted(self):
        class Shrinker(collections.abc.Sequence):
            def __len__(self):
                outer.clear()
                return 0

            def __getitem__(self, index):
                raise IndexError(index)

        outer = [Shrinker(), 1, 2, 3]
        assert canonical_bytes(outer) == b"[[]]"

    def test_huge_and_odd_integers_in_records(self):
        with pytest.raises(ValueError, match="^JSON number out of range$"):
            write_agentlog([record({"n": 2**100})])


class TestRecordLists:
    def test_third_element_error_wins_and_nothing_is_written(self):
        good = record({"a": 1})
        bad = {k: v for k, v in good.items() if k != "id"}
        with pytest.raises(ValueError) as info:
            write_agentlog([good, good, bad, object()])
        assert str(info.value) == "missing field `id`"

    def test_conversion_error_before_decode_error(self):
        with pytest.raises(ValueError) as info:
            write_agentlog([{"payload": object()}])
        assert str(info.value) == "unsupported type object"

    @pytest.mark.parametrize("element, message", [
        (5, "invalid type: integer `5`, expected struct Record"),
        ("x", 'invalid type: string "x", expected struct Record'),
        (["0.1", "r", "chunk", "t", None, None], "invalid length 6, expected struct Record with 7 elements"),
        (["0.1", "r", "chunk", "t", None, None, 1, 2],
         "invalid length 8, expected fewer elements in array"),
        (record(version=1), "invalid type: integer `1`, expected a string"),
        (record(kind="Chat_Request"),
         "unknown variant `Chat_Request`, expected one of `metadata`, `chat_request`, `chat_response`, "
         "`tool_call`, `tool_result`, `error`, `replay_summary`, `chunk`, `harness_event`, `blob_ref`"),
    ])
    def test_decode_messages_have_no_position(self, element, message):
        with pytest.raises(ValueError) as info:
            write_agentlog([element])
        assert str(info.value) == message

    def test_positional_record_and_tuple_record(self):
        fields = ("0.1", "r", "chunk", "t", None, None, [1])
        assert write_agentlog([list(fields)]) == write_agentlog([fields]) == (
            b'{"version":"0.1","id":"r","kind":"chunk","ts":"t","parent":null,"payload":[1]}\n')


def response(model, **usage):
    return record({"model": model, "usage": {"input_tokens": 0, "output_tokens": 0, **usage}})


def cost_row(pricing, baseline_usage, candidate_usage, model="m", **extra):
    baseline = [response(model, **baseline_usage)]
    candidate = [response(model, **candidate_usage)]
    for side in (baseline, candidate):
        side[0]["payload"].update(extra)
    report = compute_diff_report(baseline, candidate, pricing, 7)
    [row] = [r for r in report["rows"] if r["axis"] == "cost"]
    return row


def pricing_error(pricing):
    with pytest.raises(ValueError) as info:
        compute_diff_report([], [], pricing)
    assert type(info.value) is ValueError
    return str(info.value)


class TestPricing:
    @pytest.mark.parametrize("pair", [(3e-06, 1.5e-05), (3, 15), (decimal.Decimal("3"), MyFloat(15.0))])
    def test_pair_form(self, pair):
        row = cost_row({"m": pair}, {"input_tokens": 1}, {"output_tokens": 1})
        assert row["baseline_median"] == float(pair[0])
        assert row["candidate_median"] == float(pair[1])
        assert "no_pricing" not in row["flags"]

    def test_pair_form_leaves_other_prices_zero(self):
        # Cached and reasoning tokens fall back to the input and output prices when their own is 0.
        row = cost_row({"m": (2.0, 5.0)}, {"cached_input_tokens": 1}, {"thinking_tokens": 1})
        assert (row["baseline_median"], row["candidate_median"]) == (2.0, 5.0)

    @pytest.mark.parametrize("form", ["list", "tuple"])
    def test_array_form_field_order(self, form):
        prices = [1.0, 2.0, 4.0, 8.0, 16.0, 32.0, 0.5]
        value = prices if form == "list" else tuple(prices)
        usage_by_field = [
            {"input_tokens": 1}, {"output_tokens": 1}, {"cached_input_tokens": 1},
            {"cached_write_5m_tokens": 1}, {"cached_write_1h_tokens": 1}, {"thinking_tokens": 1},
        ]
        for usage, price in zip(usage_by_field, prices):
            assert cost_row({"m": value}, usage, usage)["baseline_median"] == price
        assert cost_row({"m": value}, {"input_tokens": 1}, {}, batch=True)["baseline_median"] == 0.5

    def test_object_form(self):
        pricing = {"m": {"x": 9, "reasoning": 32, "output": 2, "input": 1, "cached_write_1h": 16}}
        assert cost_row(pricing, {"cached_write_1h_tokens": 1}, {"thinking_tokens": 1})["delta"] == 16.0
        assert cost_row({"m": Map(input=1, output=2)}, {"input_tokens": 3}, {})["baseline_median"] == 3.0

    @pytest.mark.parametrize("pricing", [None, {}, collections.OrderedDict()])
    def test_empty_table(self, pricing):
        assert "no_pricing" in cost_row(pricing, {"input_tokens": 1}, {})["flags"]

    @pytest.mark.parametrize("pricing, message", [
        ({"m": [3e-06, 1.5e-05]}, "pricing value: invalid length 2, expected struct ModelPricing with 7 elements"),
        ({"m": (1.0, 2.0, 3.0)}, "pricing value: invalid length 3, expected struct ModelPricing with 7 elements"),
        ({"m": ()}, "pricing value: invalid length 0, expected struct ModelPricing with 7 elements"),
        ({"m": [1] * 8}, "pricing value: invalid length 8, expected fewer elements in array"),
        ({"m": {"input": 1.0}}, "pricing value: missing field `output`"),
        ({"m": {"output": 1.0}}, "pricing value: missing field `input`"),
        ({"m": {}}, "pricing value: missing field `input`"),
        ({"m": {"input": "x", "output": 1}}, 'pricing value: invalid type: string "x", expected f64'),
        ({"m": {"input": 1, "output": None}}, "pricing value: invalid type: null, expected f64"),
        ({"m": {"input": True, "output": 1}}, "pricing value: invalid type: boolean `true`, expected f64"),
        ({"m": {"input": [], "output": 1}}, "pricing value: invalid type: sequence, expected f64"),
        ({"m": {"input": 1, "output": {}}}, "pricing value: invalid type: map, expected f64"),
        ({"m": ("a", 1)}, 'pricing value: invalid type: string "a", expected f64'),
        ({"m": (1, None)}, "pricing value: invalid type: null, expected f64"),
        ({"m": [1, 2, 3, 4, 5, 6, "7"]}, 'pricing value: invalid type: string "7", expected f64'),
        ({"m": "x"}, 'pricing value: invalid type: string "x", expected struct ModelPricing'),
        ({"m": None}, "pricing value: invalid type: null, expected struct ModelPricing"),
        ({"m": 5}, "pricing value: invalid type: integer `5`, expected struct ModelPricing"),
        ({"m": b"x"}, "pricing value: invalid type: byte array, expected any valid JSON value"),
        ({"m": object()}, "pricing value: unsupported type object"),
        ({"m": {"input": 1, "output": 2, 3: 4}},
         "pricing value: unexpected type: 'int' object cannot be converted to 'PyString'"),
        ({1: (1.0, 2.0)}, "pricing key: TypeError: 'int' object cannot be converted to 'PyString'"),
        ({"ok": (1, 2), (1,): (1.0, 2.0)},
         "pricing key: TypeError: 'tuple' object cannot be converted to 'PyString'"),
        ({"m": (1, 2), "n": {"input": 1}}, "pricing value: missing field `output`"),
    ])
    def test_errors(self, pricing, message):
        assert pricing_error(pricing) == message

    def test_extra_keys_accepted(self):
        compute_diff_report([], [], {"m": {"input": 1, "output": 2, "x": 9}})

    def test_key_with_lone_surrogate(self):
        message = pricing_error({"\ud800": (1.0, 2.0)})
        assert message.startswith("pricing key: UnicodeEncodeError: ")

    def test_pair_item_hook_that_raises_falls_back_to_json(self):
        class NoFloat:
            def __float__(self):
                raise ArithmeticError("no float")

        assert pricing_error({"m": (1.0, NoFloat())}) == f"pricing value: unsupported type {NoFloat.__qualname__}"

    def test_hook_may_modify_other_objects(self):
        other = {}

        class Counting:
            def __float__(self):
                other["called"] = True
                return 1.0

        compute_diff_report([], [], {"m": (Counting(), 2.0)})
        assert other == {"called": True}


class TestDiffArgumentOrder:
    BAD_RECORD = {"version": "0.1"}

    def test_baseline_before_candidate(self):
        bad_baseline = [record(id=1)]
        bad_candidate = [self.BAD_RECORD]
        with pytest.raises(ValueError, match="^invalid type: integer `1`, expected a string$"):
            compute_diff_report(bad_baseline, bad_candidate, {1: 2})

    def test_candidate_record_before_pricing(self):
        with pytest.raises(ValueError, match="^missing field `id`$"):
            compute_diff_report([], [self.BAD_RECORD], {"m": "bad"})

    def test_records_before_pricing_key(self):
        with pytest.raises(ValueError, match="^unsupported type object$"):
            compute_diff_report([object()], [], {1: 2})

    def test_embedder_entry_converts_both_sides_first(self):
        with pytest.raises(ValueError, match="^missing field `id`$"):
            compute_semantic_axis_with_embedder([record()], [self.BAD_RECORD], None)


def responses(*texts):
    return [record({"content": [{"type": "text", "text": text}]}) for text in texts]


class TestEmbedderResult:
    """Reading what the embedder callable returns; every failure gives the empty statistic."""

    EMPTY = {"axis": "semantic", "baseline_median": 0.0, "candidate_median": 0.0, "delta": 0.0,
             "ci95_low": 0.0, "ci95_high": 0.0, "severity": "none", "n": 0, "flags": []}

    def run(self, embedder, count=2):
        return compute_semantic_axis_with_embedder(
            responses(*["a"] * count), responses(*["b"] * count), embedder, 3)

    def test_called_once_per_side_with_a_list_of_str(self):
        calls = []

        def embed(texts):
            calls.append(texts)
            return [[1.0, 0.0]] * len(texts)

        compute_semantic_axis_with_embedder(responses("x", "y z"), responses("p", "q", "extra"), embed, 1)
        assert calls == [["x", "y z"], ["p", "q"]]
        assert all(type(call) is list and all(type(t) is str for t in call) for call in calls)

    @pytest.mark.parametrize("embedder", [
        lambda texts: 1 / 0,
        lambda texts: "not vectors",
        lambda texts: ["ab"] * len(texts),
        lambda texts: [[1.0, "x"]] * len(texts),
        lambda texts: [[1.0]] * (len(texts) + 1),
        lambda texts: None,
        lambda texts: {0: [1.0], 1: [1.0]},
        lambda texts: [[1.0], 5],
        lambda texts: (_ for _ in range(len(texts))),
    ])
    def test_bad_results_give_the_empty_statistic(self, embedder):
        assert self.run(embedder) == self.EMPTY

    def test_errors_are_cleared(self):
        def embed(texts):
            raise KeyboardInterrupt

        assert self.run(embed) == self.EMPTY
        assert canonical_bytes(1) == b"1"

    @pytest.mark.parametrize("result", [
        lambda n: [[1, 0]] * n,
        lambda n: tuple((1.0, 0.0) for _ in range(n)),
        lambda n: [collections.deque([decimal.Decimal(1), 0])] * n,
        lambda n: [range(1, 3)] * n,
    ])
    def test_sequence_protocol_and_float_conversion(self, result):
        stat = self.run(lambda texts: result(len(texts)))
        assert stat["n"] == 2
        assert stat["candidate_median"] == 1.0

    def test_numpy_arrays(self):
        numpy = pytest.importorskip("numpy")
        stat = self.run(lambda texts: numpy.ones((len(texts), 3)))
        assert stat["n"] == 2 and stat["candidate_median"] == 1.0

    def test_values_beyond_float32_range_do_not_escape(self):
        stat = self.run(lambda texts: [[1e300, -1e300]] * len(texts))
        assert list(stat) == list(self.EMPTY)

    def test_no_pairs_never_calls(self):
        def embed(texts):
            raise AssertionError("called")

        assert compute_semantic_axis_with_embedder([], responses("a"), embed) == self.EMPTY


json_values = st.recursive(
    st.none() | st.booleans() | st.integers(-(2**63), 2**64 - 1)
    | st.floats(allow_nan=False, allow_infinity=False) | st.text(),
    lambda children: st.lists(children, max_size=4) | st.dictionaries(st.text(max_size=5), children, max_size=4),
    max_leaves=20,
)


@settings(max_examples=200, deadline=None)
@given(json_values)
def test_conversion_round_trips(value):
    converted = roundtrip(value)
    assert converted == value
    if isinstance(value, float):
        assert type(converted) is float and math.copysign(1, converted) == math.copysign(1, value)
