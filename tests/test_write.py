"""write_agentlog: validation first, then one compact JSON line per record."""
import json
import math
from decimal import Decimal

import pytest
from hypothesis import given
from hypothesis import strategies as st

from velkin._core import parse_agentlog, write_agentlog

KINDS = ["metadata", "chat_request", "chat_response", "tool_call", "tool_result", "error", "replay_summary",
         "chunk", "harness_event", "blob_ref"]
PREFIX = b'{"version":"0.1","id":"r1","kind":"chat_response","ts":"t","parent":null,"payload":'


def record(**fields):
    return {"version": "0.1", "id": "r1", "kind": "chat_response", "ts": "t", "payload": None, **fields}


def written_payload(payload) -> bytes:
    """What the writer puts between '"payload":' and the closing '}\\n'."""
    line = write_agentlog([record(payload=payload)])
    assert line.startswith(PREFIX) and line.endswith(b"}\n")
    return line[len(PREFIX):-2]


def compact_float(value: float) -> str:
    """An independent model of the writer's float layout, from Python's shortest repr."""
    if not math.isfinite(value):
        return "null"
    if value == 0:
        return "-0.0" if math.copysign(1.0, value) < 0 else "0.0"
    sign, digits, exponent = Decimal(repr(value)).normalize().as_tuple()
    digits = "".join(map(str, digits))
    n, k = len(digits), len(digits) + exponent  # the value lies in [10^(k-1), 10^k)
    if n <= k <= 16:
        body = digits + "0" * (k - n) + ".0"
    elif 0 < k <= 16:
        body = digits[:k] + "." + digits[k:]
    elif -5 < k <= 0:
        body = "0." + "0" * -k + digits
    else:
        body = digits[0] + ("." + digits[1:] if n > 1 else "") + "e" + str(k - 1)
    return ("-" if sign else "") + body


@pytest.mark.parametrize("records, expected", [
    ([], b""),
    ([record(payload={"b": 1, "a": 2})], PREFIX + b'{"b":1,"a":2}}\n'),
    ([record(parent=None, meta=None, x=1)], PREFIX + b"null}\n"),
    ([record(kind={"tool_result": None})], PREFIX.replace(b"chat_response", b"tool_result") + b"null}\n"),
    ([["0.1", "r1", "error", "t", None, None, None], ("0.1", "r1", "error", "t", None, None, None)],
     (PREFIX.replace(b"chat_response", b"error") + b"null}\n") * 2),
    ([{"payload": [1], "meta": {"z": 1, "a": None}, "parent": "p", "ts": "t", "kind": "chunk", "id": "c",
       "version": "v"}],
     b'{"version":"v","id":"c","kind":"chunk","ts":"t","parent":"p","meta":{"z":1,"a":null},"payload":[1]}\n'),
    ([record(payload=1), record(payload=2)], PREFIX + b"1}\n" + PREFIX + b"2}\n"),
])
def test_line_layout(records, expected):
    assert write_agentlog(records) == expected


@pytest.mark.parametrize("payload, expected", [
    (1.0, "1.0"), (1, "1"), (float("nan"), "null"), (float("-inf"), "null"), (0.0, "0.0"), (-0.0, "-0.0"),
    (1e15, "1000000000000000.0"), (1e16, "1e16"), (9999999999999998.0, "9999999999999998.0"),
    (1000000000000000.1, "1000000000000000.1"), (12.34, "12.34"), (-12.34, "-12.34"),
    (0.001234, "0.001234"), (0.00001, "0.00001"), (1e-6, "1e-6"), (1.5e-7, "1.5e-7"),
    (1.234e33, "1.234e33"), (-1.234e-33, "-1.234e-33"), (5e-324, "5e-324"),
    (1.7976931348623157e308, "1.7976931348623157e308"),
    (2**64 - 1, "18446744073709551615"), (-(2**63), "-9223372036854775808"), (True, "true"), ([], "[]"), ({}, "{}"),
])
def test_value_forms(payload, expected):
    assert written_payload(payload) == expected.encode()


@pytest.mark.parametrize("text, expected", [
    ('"\\', b'"\\"\\\\"'),
    ("\b\t\n\f\r", b'"\\b\\t\\n\\f\\r"'),
    ("\x00\x0b\x1f", b'"\\u0000\\u000b\\u001f"'),
    ("\x7f/\u2028", '"\x7f/\u2028"'.encode()),
    ("e\u0301\u00e9\U0001f600", '"e\u0301\u00e9\U0001f600"'.encode()),
    # Long escape-free runs with a single escape deep inside.
    ("x" * 37 + "\n" + "y" * 40, ('"' + "x" * 37 + "\\n" + "y" * 40 + '"').encode()),
])
def test_string_escaping(text, expected):
    assert written_payload(text) == expected
    assert written_payload({text: 0}) == b"{" + expected + b":0}"


def without(name, rec):
    return {key: value for key, value in rec.items() if key != name}


@pytest.mark.parametrize("records, message", [
    ([record(), record(), without("id", record())], "missing field `id`"),
    ([record(), without("ts", record()), record(version=1), record(payload=b"x")], "missing field `ts`"),
    ([record(payload=[b"x"]), without("id", record())], "invalid type: byte array, expected any valid JSON value"),
    ([record(), 5], "invalid type: integer `5`, expected struct Record"),
])
def test_the_first_failing_element_fails_the_whole_call(records, message):
    with pytest.raises(ValueError) as error:
        write_agentlog(records)
    assert str(error.value) == message


def test_parsed_records_write_back_to_the_same_list():
    data = (
        b'{"version":"0.1","id":"a","kind":"metadata","ts":"t","payload":{"z":[1,-2,3.5e-9,"\\u00e9"],"a":null}}\r\n'
        b"\n"
        b'{"version":"0.1","id":"b","kind":"chunk","ts":"t","parent":"a","meta":{"k":{}},"payload":1e300}'
    )
    records = parse_agentlog(data)
    assert parse_agentlog(write_agentlog(records)) == records


# NaN and the infinities are written as null and cannot come back; every other float returns bit for bit.
texts = st.text(st.characters(blacklist_categories=("Cs",)), max_size=10)
json_values = st.recursive(
    st.none() | st.booleans() | st.integers(-(2**63), 2**64 - 1) | st.floats(allow_nan=False, allow_infinity=False)
    | texts,
    lambda inner: st.lists(inner, max_size=4) | st.dictionaries(texts, inner, max_size=4),
    max_leaves=20,
)


@st.composite
def records(draw):
    rec = {"version": draw(texts), "id": draw(texts), "kind": draw(st.sampled_from(KINDS)), "ts": draw(texts),
           "parent": draw(st.none() | texts)}
    meta = draw(st.none() | st.dictionaries(texts, json_values, max_size=3))
    if meta is not None:
        rec["meta"] = meta
    rec["payload"] = draw(json_values)
    return rec


def same_value(a, b):
    """Equality that also tells -0.0 from 0.0, keeps int and float apart and compares key order."""
    if isinstance(a, list):
        return type(b) is list and len(a) == len(b) and all(map(same_value, a, b))
    if isinstance(a, dict):
        return type(b) is dict and list(a) == list(b) and all(same_value(a[key], b[key]) for key in a)
    if isinstance(a, float) and type(b) is float:
        return math.copysign(1.0, a) == math.copysign(1.0, b) and a == b
    return type(a) is type(b) and a == b


@given(st.lists(records(), max_size=5))
def test_write_then_parse_round_trips(recs):
    data = write_agentlog(recs)
    assert data.count(b"\n") == len(recs) and b"\r" not in data
    assert same_value(parse_agentlog(data), recs)
    assert all(same_value(json.loads(line), rec) for line, rec in zip(data.split(b"\n"), recs))


# Decimal spellings reach the layout boundaries far more often than random bit patterns.
decimal_floats = st.builds(lambda digits, exponent: float(f"{digits}e{exponent}"),
                           st.integers(1, 10**17), st.integers(-40, 40))


@given(st.floats() | decimal_floats | decimal_floats.map(lambda f: -f))
def test_float_layout_matches_model(value):
    assert written_payload(value) == compact_float(value).encode()
