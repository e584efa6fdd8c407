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


def record(**fields):
    base = {"version": "0.1", "id": "r1", "kind": "chat_response", "ts": "2025-01-01T00:00:00Z", "payload": None}
    base.update(fields)
    return base


def written_payload(payload) -> bytes:
    """The bytes the writer gives for a payload: what stands between '"payload":' and the closing '}\\n'."""
    line = write_agentlog([record(payload=payload)])
    prefix = b'{"version":"0.1","id":"r1","kind":"chat_response","ts":"2025-01-01T00:00:00Z","parent":null,"payload":'
    assert line.startswith(prefix) and line.endswith(b"}\n")
    return line[len(prefix):-2]


def compact_float(value: float) -> str:
    """An independent model of the writer's float layout, from Python's shortest repr."""
    if not math.isfinite(value):
        return "null"
    if value == 0:
        return "-0.0" if math.copysign(1.0, value) < 0 else "0.0"
    sign, digits, exponent = Decimal(repr(value)).normalize().as_tuple()
    digits = "".join(map(str, digits))
    n = len(digits)
    k = n + exponent  # value lies in [10^(k-1), 10^k)
    if n <= k <= 16:
        body = digits + "0" * (k - n) + ".0"
    elif 0 < k <= 16:
        body = digits[:k] + "." + digits[k:]
    elif -5 < k <= 0:
        body = "0." + "0" * -k + digits
    else:
        body = digits[0] + ("." + digits[1:] if n > 1 else "") + "e" + str(k - 1)
    return ("-" if sign else "") + body


def test_empty_list_gives_empty_bytes():
    assert write_agentlog([]) == b""


def test_line_layout_without_parent_and_meta():
    assert write_agentlog([record(id="a", kind="tool_call", ts="t", payload={"b": 1, "a": 2})]) == (
        b'{"version":"0.1","id":"a","kind":"tool_call","ts":"t","parent":null,"payload":{"b":1,"a":2}}\n'
    )


def test_line_layout_with_parent_and_meta_in_envelope_order():
    rec = {"payload": [1], "meta": {"z": 1, "a": None}, "parent": "p0", "ts": "t", "kind": "chunk", "id": "c",
           "version": "v"}
    assert write_agentlog([rec]) == (
        b'{"version":"v","id":"c","kind":"chunk","ts":"t","parent":"p0","meta":{"z":1,"a":null},"payload":[1]}\n'
    )


def test_null_parent_and_meta_are_written_like_absent_ones():
    assert write_agentlog([record(parent=None, meta=None)]) == write_agentlog([record()])


def test_extra_keys_are_dropped():
    assert write_agentlog([record(x=1)]) == write_agentlog([record()])


def test_every_line_ends_with_one_line_feed():
    data = write_agentlog([record(id=str(i), kind=kind) for i, kind in enumerate(KINDS)])
    lines = data.split(b"\n")
    assert lines[-1] == b"" and len(lines) == len(KINDS) + 1
    assert b"\r" not in data
    assert [json.loads(line)["kind"] for line in lines[:-1]] == KINDS


@pytest.mark.parametrize(
    "alternative",
    [
        record(kind={"tool_result": None}),
        ["0.1", "r1", "tool_result", "2025-01-01T00:00:00Z", None, None, None],
    ],
)
def test_other_record_forms_are_written_as_objects(alternative):
    assert write_agentlog([alternative]) == write_agentlog([record(kind="tool_result")])


@pytest.mark.parametrize(
    "payload, expected",
    [
        (1.0, "1.0"),
        (1, "1"),
        (float("nan"), "null"),
        (float("inf"), "null"),
        (0.0, "0.0"),
        (-0.0, "-0.0"),
        (1e15, "1000000000000000.0"),
        (1e16, "1e16"),
        (123456789012345.6, "123456789012345.6"),
        (1000000000000000.1, "1000000000000000.1"),
        (9999999999999998.0, "9999999999999998.0"),
        (0.30000000000000004, "0.30000000000000004"),
        (12.34, "12.34"),
        (-12.34, "-12.34"),
        (0.5, "0.5"),
        (0.001234, "0.001234"),
        (0.00001, "0.00001"),
        (1e-6, "1e-6"),
        (1.5e-7, "1.5e-7"),
        (1.234e33, "1.234e33"),
        (-1.234e-33, "-1.234e-33"),
        (5e-324, "5e-324"),
        (1.7976931348623157e308, "1.7976931348623157e308"),
        (2**64 - 1, "18446744073709551615"),
        (-(2**63), "-9223372036854775808"),
        (True, "true"),
        (None, "null"),
        ([], "[]"),
        ({}, "{}"),
    ],
)
def test_value_forms(payload, expected):
    assert written_payload(payload) == expected.encode()


@pytest.mark.parametrize(
    "text, expected",
    [
        ('"', b'"\\""'),
        ("\\", b'"\\\\"'),
        ("\b\t\n\f\r", b'"\\b\\t\\n\\f\\r"'),
        ("\x00", b'"\\u0000"'),
        ("\x0b", b'"\\u000b"'),
        ("\x1f", b'"\\u001f"'),
        ("\x7f/", b'"\x7f/"'),
        ("\u2028\u2029", '"\u2028\u2029"'.encode()),
        ("e\u0301", b'"e\xcc\x81"'),
        ("\u00e9\U0001f600", '"\u00e9\U0001f600"'.encode()),
        # Long escape-free runs with a single escape deep inside.
        ("x" * 37 + "\n" + "y" * 40, ('"' + "x" * 37 + "\\n" + "y" * 40 + '"').encode()),
    ],
)
def test_string_escaping(text, expected):
    assert written_payload(text) == expected
    assert written_payload({text: 0}) == b"{" + expected + b":0}"


def test_third_invalid_element_fails_the_whole_call():
    bad = record()
    del bad["id"]
    with pytest.raises(ValueError) as error:
        write_agentlog([record(), record(), bad])
    assert str(error.value) == "missing field `id`"


def test_first_failing_element_is_reported():
    no_ts = record()
    del no_ts["ts"]
    with pytest.raises(ValueError) as error:
        write_agentlog([record(), no_ts, record(version=1), record(payload=b"x")])
    assert str(error.value) == "missing field `ts`"


@pytest.mark.parametrize(
    "records, message",
    [
        ([record(payload=[b"x"])], "invalid type: byte array, expected any valid JSON value"),
        ([record(kind="Chat_Request")], "unknown variant `Chat_Request`"),
        ([record(version=1)], "invalid type: integer `1`, expected a string"),
        ([record(), 5], "invalid type: integer `5`, expected struct Record"),
    ],
)
def test_invalid_elements(records, message):
    with pytest.raises(ValueError) as error:
        write_agentlog(records)
    assert str(error.value).startswith(message)


def test_records_must_be_a_list():
    with pytest.raises(TypeError, match="cannot be converted to 'PyList'$"):
        write_agentlog((record(),))


def test_parsed_records_write_back_to_the_same_list():
    data = (
        b'{"version":"0.1","id":"a","kind":"metadata","ts":"t","payload":{"z":[1,-2,3.5e-9,"\\u00e9"],"a":null}}\r\n'
        b"\n"
        b'{"version":"0.1","id":"b","kind":"chunk","ts":"t","parent":"a","meta":{"k":{}},"payload":1e300}'
    )
    records = parse_agentlog(data)
    again = parse_agentlog(write_agentlog(records))
    assert again == records
    assert list(again[0]["payload"]) == ["z", "a"]


# Generated round trips. NaN and the infinities are written as null, so they
# cannot come back; every other float must return bit for bit.
finite_floats = st.floats(allow_nan=False, allow_infinity=False)
texts = st.text(st.characters(blacklist_categories=("Cs",)), max_size=10)
json_values = st.recursive(
    st.none() | st.booleans() | st.integers(-(2**63), 2**64 - 1) | finite_floats | texts,
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
    """Equality that also tells -0.0 from 0.0 and keeps int and float apart."""
    if isinstance(a, float) or isinstance(b, float):
        return type(a) is type(b) and math.copysign(1.0, a) == math.copysign(1.0, b) and a == b
    if isinstance(a, list):
        return isinstance(b, list) and len(a) == len(b) and all(map(same_value, a, b))
    if isinstance(a, dict):
        return (isinstance(b, dict) and list(a) == list(b)
                and all(same_value(a[key], b[key]) for key in a))
    return type(a) is type(b) and a == b


@given(st.lists(records(), max_size=5))
def test_write_then_parse_round_trips(recs):
    data = write_agentlog(recs)
    assert data.count(b"\n") == len(recs) and b"\r" not in data
    assert same_value(parse_agentlog(data), recs)
    for line, rec in zip(data.split(b"\n"), recs):
        assert same_value(json.loads(line), rec)


# Decimal spellings reach the layout boundaries far more often than random bit patterns.
decimal_floats = st.builds(lambda digits, exponent: float(f"{digits}e{exponent}"),
                           st.integers(1, 10**17), st.integers(-40, 40))


@given(st.floats() | decimal_floats | decimal_floats.map(lambda f: -f))
def test_float_layout_matches_model(value):
    assert written_payload(value) == compact_float(value).encode()
