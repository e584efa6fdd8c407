"""Reading .agentlog traces: envelope decoding, the JSON reader's errors and the parser's limits."""
import gc
import json
import math
import re

import pytest
from hypothesis import given
from hypothesis import strategies as st

from velkin._core import compute_diff_report, parse_agentlog, write_agentlog

HINT_PARSE = "\nhint: verify the record matches the envelope schema (SPEC §3)"
HINT_IO = "\nhint: check that the file is readable and not truncated mid-line"
KINDS = ["metadata", "chat_request", "chat_response", "tool_call", "tool_result", "error",
         "replay_summary", "chunk", "harness_event", "blob_ref"]
UNKNOWN_VARIANT = "unknown variant `{}`, expected one of " + ", ".join(f"`{k}`" for k in KINDS)
MIB16 = 16 * 1024 * 1024


def line(**overrides):
    """One record line; a field set to ... is left out."""
    fields = {"version": "0.1", "id": "r1", "kind": "chat_response", "ts": "2026-01-01T00:00:00Z", "payload": 1}
    fields.update(overrides)
    return json.dumps({k: v for k, v in fields.items() if v is not ...}, ensure_ascii=False).encode()


def with_payload(text):
    return line(payload="X").replace(b'"X"', text.encode() if isinstance(text, str) else text)


def parse_error(data):
    with pytest.raises(ValueError) as info:
        parse_agentlog(data)
    return str(info.value)


def cause_of(data, line_number=1):
    """The decode cause of a parse error and the column of its position suffix."""
    message = parse_error(data)
    match = re.fullmatch(f"parse error on line {line_number}: (.*) at line 1 column (\\d+)" + re.escape(HINT_PARSE),
                         message, re.S)
    assert match, message
    return match.group(1), int(match.group(2))


def test_record_dict_form():
    meta = {"trace_id": "t", "z": [1, 2]}
    [rec] = parse_agentlog(line(parent="p0", meta=meta, payload={"b": 1, "a": 2.5}, x={"deep": [1]}))
    assert list(rec) == ["version", "id", "kind", "ts", "parent", "meta", "payload"]
    assert (rec["parent"], rec["meta"], list(rec["payload"])) == ("p0", meta, ["b", "a"])


@pytest.mark.parametrize("meta", [..., None])
def test_absent_parent_and_meta(meta):
    [rec] = parse_agentlog(line(meta=meta, payload=None))
    assert list(rec) == ["version", "id", "kind", "ts", "parent", "payload"]
    assert rec["parent"] is None and rec["payload"] is None


@pytest.mark.parametrize("kind", KINDS)
def test_every_kind_and_its_enumeration_form(kind):
    records = parse_agentlog(line(kind=kind) + b"\n" + line(kind={kind: None}))
    assert [r["kind"] for r in records] == [kind, kind]


def test_positional_form():
    [rec] = parse_agentlog(json.dumps(["0.1", "i", "tool_call", "t", None, None, [1]]).encode())
    assert rec == {"version": "0.1", "id": "i", "kind": "tool_call", "ts": "t", "parent": None, "payload": [1]}


@pytest.mark.parametrize("text, expected", [
    ("0", 0), ("-1", -1), ("18446744073709551615", 2**64 - 1), ("-9223372036854775808", -2**63),
    ("18446744073709551616", 1.8446744073709552e19), ("-9223372036854775809", -9.223372036854776e18),
    ("1.5", 1.5), ("1e2", 100.0), ("1E-2", 0.01), ("1e-400", 0.0), ("-0.0", -0.0), ("-0", -0.0),
])
def test_numbers(text, expected):
    value = parse_agentlog(with_payload(text))[0]["payload"]
    assert (value, type(value)) == (expected, type(expected))
    assert type(value) is int or math.copysign(1, value) == math.copysign(1, expected)


def test_strings_escapes_and_repeated_keys():
    data = with_payload(rb'{"s":"a\"\\\/\b\f\n\r\t\u00e9\ud83d\ude00\u0000","a":1,"b":2,"a":3}')
    payload = parse_agentlog(data)[0]["payload"]
    assert list(payload.items()) == [("s", 'a"\\/\b\f\n\r\t\u00e9\U0001F600\x00'), ("a", 3), ("b", 2)]


# Escapes among plain runs longer than the reader's sixteen-byte steps, and at their edges.
@given(st.lists(st.sampled_from(["a" * 15, "b" * 16, "c" * 17, '"', "\\", "/", "\n", "\t", "\x00", "\x1f", "é", "日本",
                                 "🙂", "\u2028"]), max_size=40), st.booleans())
def test_escaped_strings_read_as_written(pieces, ascii_only):
    text = "".join(pieces)
    assert parse_agentlog(with_payload(json.dumps(text, ensure_ascii=ascii_only)))[0]["payload"] == text


SAME = object()  # the value roads report the text road's cause
TEXT_ONLY = object()  # no Python value has this form (bad syntax, a repeated key)
ANY_KIND = "expected string or map"


def value_roads(value):
    """The record decoders reached from Python values: the writer's direct road for exact
    dicts, the converting road behind the writer (a dict subclass) and the diff's."""
    class Subclass(dict):
        pass
    yield lambda: write_agentlog([value])
    yield lambda: write_agentlog([Subclass(value) if isinstance(value, dict) else value])
    yield lambda: compute_diff_report([value], [])


# Every envelope error, decoded from a line and from the same record as a Python value.
@pytest.mark.parametrize("data, cause, value_cause", [
    (line(payload=...), "missing field `payload`", SAME),
    (line(id=..., ts=...), "missing field `id`", SAME),
    (line(version=...), "missing field `version`", SAME),
    (b"{}", "missing field `version`", SAME),
    (line(kind="Chat_Request"), UNKNOWN_VARIANT.format("Chat_Request"), SAME),
    (line(kind={"nope": None}), UNKNOWN_VARIANT.format("nope"), SAME),
    (line(version=1), "invalid type: integer `1`, expected a string", SAME),
    (line(version=-5), "invalid type: integer `-5`, expected a string", SAME),
    (line(id=2.0), "invalid type: floating point `2.0`, expected a string", SAME),
    (line(ts=True), "invalid type: boolean `true`, expected a string", SAME),
    (line(ts=None), "invalid type: null, expected a string", SAME),
    (line(parent={"x": 1}), "invalid type: map, expected a string", SAME),
    (line(parent=[1]), "invalid type: sequence, expected a string", SAME),
    (line(parent=7), "invalid type: integer `7`, expected a string", SAME),
    (line(meta="abc"), 'invalid type: string "abc", expected a map', SAME),
    (line(meta=[1]), "invalid type: sequence, expected a map", SAME),
    (line(meta=False), "invalid type: boolean `false`, expected a map", SAME),
    (line(kind={"chat_response": 1}), "invalid type: integer `1`, expected unit", SAME),
    (line(kind={"chat_response": "x"}), 'invalid type: string "x", expected unit', SAME),
    # A kind of another type: the reader has no value to describe, the value roads have.
    (line(kind=5), "expected value", "invalid type: integer `5`, " + ANY_KIND),
    (line(kind=None), "expected value", "invalid type: null, " + ANY_KIND),
    (line(kind=["chat_response"]), "expected value", "invalid type: sequence, " + ANY_KIND),
    (line(kind={}), "expected value", "invalid value: map, expected map with a single key"),
    (line(kind={"chat_response": None, "x": None}), "expected value",
     "invalid value: map, expected map with a single key"),
    (b"5", "invalid type: integer `5`, expected struct Record", SAME),
    (b'"abc"', 'invalid type: string "abc", expected struct Record', SAME),
    (b"null", "invalid type: null, expected struct Record", SAME),
    (b"true", "invalid type: boolean `true`, expected struct Record", SAME),
    (b"[]", "invalid length 0, expected struct Record with 7 elements", SAME),
    (b'["0.1","i","tool_call","t",null,null]', "invalid length 6, expected struct Record with 7 elements", SAME),
    (b'["0.1",5,"tool_call","t",null,null,1]', "invalid type: integer `5`, expected a string", SAME),
    (b'["0.1","i",5,"t",null,null,1]', "expected value", "invalid type: integer `5`, " + ANY_KIND),
    (b'["0.1","i","tool_call","t",null,"m",1]', 'invalid type: string "m", expected a map', SAME),
    (b'["0.1","i","tool_call","t",null,null,1,2]', "trailing characters",
     "invalid length 8, expected fewer elements in array"),
    # The first error met wins: a field's type before a later field and before the missing ones.
    (b'{"ts":1,"version":2}', "invalid type: integer `1`, expected a string", SAME),
    (b'{"id":5}', "invalid type: integer `5`, expected a string", SAME),
    (b'{"kind":"nope","payload":1}', UNKNOWN_VARIANT.format("nope"), SAME),
    (b'{"version":1,"id":', "invalid type: integer `1`, expected a string", TEXT_ONLY),
    (b'{"version":"0.1","id":"a","id":"b"}', "duplicate field `id`", TEXT_ONLY),
    # Unknown members are skipped but still read.
    (line(x="X").replace(b'"X"', b"[1,]"), "trailing comma", TEXT_ONLY),
    (line(x="X").replace(b'"X"', b"1e999"), "number out of range", TEXT_ONLY),
])
def test_envelope_causes_on_every_road(data, cause, value_cause):
    assert cause_of(data)[0] == cause
    if value_cause is TEXT_ONLY:
        return
    for road in value_roads(json.loads(data)):
        with pytest.raises(ValueError) as info:
            road()
        assert str(info.value) == (cause if value_cause is SAME else value_cause)


def test_positions_point_at_the_offending_byte():
    duplicate = b'{"version":"0.1","id":"a","id":"b","kind":"chat_response","ts":"t","payload":1}'
    assert cause_of(duplicate) == ("duplicate field `id`", duplicate.index(b'"id":"b"') + 4)
    missing = b'{"version":"0.1","id":"a","kind":"chat_response","payload":1}   '
    assert cause_of(missing) == ("missing field `ts`", missing.rindex(b"}") + 1)
    multibyte = with_payload('["é", @]')
    assert cause_of(multibyte) == ("expected value", multibyte.index(b"@") + 1)


def test_missing_ts_on_line_three_after_blank_lines():
    assert re.fullmatch(r"parse error on line 3: missing field `ts` at line 1 column \d+" + re.escape(HINT_PARSE),
                        parse_error(b"\n\n" + line(ts=...) + b"\n"))


@pytest.mark.parametrize("payload, cause", [
    ('{"a" 1}', "expected `:`"),
    ("[1 2]", "expected `,` or `]`"),
    ('{"a": 1 "b": 2}', "expected `,` or `}`"),
    ("nulx", "expected ident"),
    ("@", "expected value"),
    ('"\\x"', "invalid escape"),
    ('"\\u12G4"', "invalid escape"),
    ("01", "invalid number"),
    ("-x", "invalid number"),
    ("1.e5", "invalid number"),
    ("-1e400", "number out of range"),
    ('"a\tb"', "control character (\\u0000-\\u001F) found while parsing a string"),
    ('"a\x00b"', "control character (\\u0000-\\u001F) found while parsing a string"),
    ("{1: 2}", "key must be a string"),
    ('"\\udc00"', "lone leading surrogate in hex escape"),
    ('"\\ud800\\u0041"', "lone leading surrogate in hex escape"),
    ('{"\\udfff": 1}', "lone leading surrogate in hex escape"),
    ('"\\ud800x"', "unexpected end of hex escape"),
    ('"\\ud800\\n"', "unexpected end of hex escape"),
    ('{"a":1,}', "trailing comma"),
    ("[" * 10000 + "]" * 10000, "recursion limit exceeded"),
    ('{"a":' * 10000 + "1" + "}" * 10000, "recursion limit exceeded"),
])
def test_reader_causes(payload, cause):
    assert cause_of(with_payload(payload))[0] == cause


ESCAPED_TEXT = 'a \\"quoted\\" word and a path C:\\\\dir\\u00e9, ' * 3


@pytest.mark.parametrize("fault, cause, column_past_fault", [
    ("\\x", "invalid escape", 2),
    ("\x01", "control character (\\u0000-\\u001F) found while parsing a string", 1),
    ("\\udc00", "lone leading surrogate in hex escape", 6),
    ("\\ud800\\u0041", "lone leading surrogate in hex escape", 12),
    ("\\ud800x", "unexpected end of hex escape", 7),
    ("\\u12G4", "invalid escape", 6),
])
def test_string_faults_after_escaped_text_name_their_byte(fault, cause, column_past_fault):
    data = with_payload('"' + ESCAPED_TEXT + fault + ESCAPED_TEXT + '"')
    assert cause_of(data) == (cause, data.index(fault.encode()) + column_past_fault)


@pytest.mark.parametrize("payload, cause", [
    ("[1, 2", "EOF while parsing a list"),
    ('{"a"', "EOF while parsing an object"),
    ('"abc', "EOF while parsing a string"),
    ('"' + ESCAPED_TEXT, "EOF while parsing a string"),
    ('"' + ESCAPED_TEXT + "\\", "EOF while parsing a string"),
    ('"\\u12', "EOF while parsing a string"),
    ("[1,", "EOF while parsing a value"),
    ("tr", "EOF while parsing a value"),
    ("1.", "EOF while parsing a value"),
    ("", "EOF while parsing a value"),
])
def test_causes_at_the_end_of_the_line(payload, cause):
    data = line(payload="X").replace(b'"X"}', payload.encode())
    assert cause_of(data) == (cause, len(data))


@pytest.mark.parametrize("data, cause", [
    (b"  ", "EOF while parsing a value"),
    (b"\t", "EOF while parsing a value"),
    (b"{", "EOF while parsing an object"),
    (line() + b" x", "trailing characters"),
    (line() + b"{}", "trailing characters"),
    (b"\x00", "expected value"),
    (line() + b"\x00", "trailing characters"),
])
def test_line_level_causes(data, cause):
    assert cause_of(data)[0] == cause


@pytest.mark.parametrize("depth, ok", [(126, True), (127, False)])
def test_nesting_limit_counts_the_record_object(depth, ok):
    data = with_payload("[" * depth + "]" * depth)
    if ok:
        assert parse_agentlog(data)
    else:
        assert cause_of(data) == ("recursion limit exceeded", data.index(b"[") + 127)


@pytest.mark.parametrize("data, count", [
    (b"", 0), (b"\n\r\n\n", 0), (b"\r\r\n", 0),
    (line() + b"\n" + line(), 2), (line() + b"\r\n" + line() + b"\r\r\n", 2), (line() + b" \t \r\n\n\n", 1),
])
def test_blank_lines_and_line_endings(data, count):
    assert len(parse_agentlog(data)) == count


@pytest.mark.parametrize("data, line_number", [
    (line() + b"\n" + line().replace(b'"r1"', b'"r\xff"') + b"\n", 2),
    (line() + b"\xc3\n", 1),
])
def test_invalid_utf8(data, line_number):
    assert parse_error(data) == f"io error on line {line_number}: stream did not contain valid UTF-8" + HINT_IO


def test_line_limit_of_sixteen_mebibytes():
    exact = with_payload('"' + "a" * (MIB16 - len(with_payload('""')) - 1) + '"') + b"\n"
    assert len(exact) == MIB16 and len(parse_agentlog(exact)) == 1
    assert parse_error(exact[:-1] + b" \n") == (
        f"line 1 exceeds byte limit ({MIB16 + 1} > {MIB16})\n"
        "hint: raise via Parser::with_max_line_bytes or check for corrupt input")


LINES = b"".join(json.dumps({"version": "0.1", "id": f"r{i}", "kind": "chat_response", "ts": "t",
                             "payload": {"content": [{"type": "text", "text": "x"}]}}).encode() + b"\n"
                 for i in range(2000))


@pytest.mark.parametrize("enabled", [True, False])
@pytest.mark.parametrize("data", [LINES, LINES + b"{not json\n"], ids=["parsed", "failed"])
def test_collector_paused_while_parsing_and_left_as_found(enabled, data):
    # With a threshold of 10 the collector would run hundreds of times while
    # the records are built; paused, at most once around the call.
    phases = []
    threshold = gc.get_threshold()
    gc.callbacks.append(lambda phase, info: phases.append(phase))
    gc.set_threshold(10)
    (gc.enable if enabled else gc.disable)()
    try:
        try:
            parse_agentlog(data)
        except ValueError:
            pass
        after = gc.isenabled()
    finally:
        gc.enable()
        gc.set_threshold(*threshold)
        gc.callbacks.pop()
    assert after == enabled and phases.count("start") <= 1
