"""Reading .agentlog traces: envelope decoding, the JSON reader's errors and the parser's limits."""
import json
import re

import pytest

from velkin._core import parse_agentlog

HINT_PARSE = "\nhint: verify the record matches the envelope schema (SPEC §3)"
HINT_IO = "\nhint: check that the file is readable and not truncated mid-line"
KINDS = ["metadata", "chat_request", "chat_response", "tool_call", "tool_result", "error",
         "replay_summary", "chunk", "harness_event", "blob_ref"]


def record(**overrides):
    fields = {"version": "0.1", "id": "r1", "kind": "chat_response", "ts": "2026-01-01T00:00:00Z",
              "payload": {"a": 1}}
    fields.update(overrides)
    return {k: v for k, v in fields.items() if v is not ...}


def line(**overrides):
    return json.dumps(record(**overrides), ensure_ascii=False).encode()


def parse_error(data):
    with pytest.raises(ValueError) as info:
        parse_agentlog(data)
    return str(info.value)


def cause_of(data, line_number=1):
    """The decode cause of a parse error, without its position suffix."""
    message = parse_error(data)
    prefix = f"parse error on line {line_number}: "
    assert message.startswith(prefix) and message.endswith(HINT_PARSE), message
    cause = message[len(prefix):-len(HINT_PARSE)]
    match = re.fullmatch(r"(.*) at line 1 column (\d+)", cause, re.S)
    assert match, cause
    return match.group(1), int(match.group(2))


class TestRecordDicts:
    def test_key_order_and_types(self):
        meta = {"trace_id": "t", "z": [1, 2]}
        [rec] = parse_agentlog(line(parent="p0", meta=meta, payload={"b": 1, "a": 2.5}))
        assert list(rec) == ["version", "id", "kind", "ts", "parent", "meta", "payload"]
        assert rec["parent"] == "p0" and rec["meta"] == meta
        assert list(rec["payload"]) == ["b", "a"]

    @pytest.mark.parametrize("meta", [..., None])
    def test_absent_parent_and_meta(self, meta):
        [rec] = parse_agentlog(line(meta=meta))
        assert rec["parent"] is None and "meta" not in rec
        assert list(rec) == ["version", "id", "kind", "ts", "parent", "payload"]

    def test_extra_keys_are_skipped(self):
        [rec] = parse_agentlog(line(x={"deep": [1, {"y": None}]}))
        assert "x" not in rec

    def test_null_payload(self):
        assert parse_agentlog(line(payload=None))[0]["payload"] is None

    @pytest.mark.parametrize("text, expected", [
        ("0", 0), ("-1", -1), ("18446744073709551615", 2**64 - 1), ("-9223372036854775808", -2**63),
        ("18446744073709551616", 1.8446744073709552e19), ("-9223372036854775809", -9.223372036854776e18),
        ("1.5", 1.5), ("1e2", 100.0), ("1E-2", 0.01), ("1e-400", 0.0), ("-0.0", -0.0),
    ])
    def test_numbers(self, text, expected):
        data = line(payload="X").replace(b'"X"', text.encode())
        value = parse_agentlog(data)[0]["payload"]
        assert value == expected and type(value) is type(expected)

    def test_minus_zero_reads_as_negative_float_zero(self):
        value = parse_agentlog(line(payload="X").replace(b'"X"', b"-0"))[0]["payload"]
        assert type(value) is float and str(value) == "-0.0"

    def test_strings_and_escapes(self):
        data = line(payload="X").replace(b'"X"', rb'"a\"\\\/\b\f\n\r\t\u00e9\ud83d\ude00\u0000"')
        assert parse_agentlog(data)[0]["payload"] == 'a"\\/\b\f\n\r\té\U0001F600\x00'

    def test_repeated_payload_key_keeps_first_position_and_later_value(self):
        data = line(payload="X").replace(b'"X"', b'{"a":1,"b":2,"a":3}')
        payload = parse_agentlog(data)[0]["payload"]
        assert list(payload.items()) == [("a", 3), ("b", 2)]

    @pytest.mark.parametrize("kind", KINDS)
    def test_every_kind_and_its_enumeration_form(self, kind):
        assert parse_agentlog(line(kind=kind))[0]["kind"] == kind
        assert parse_agentlog(line(kind={kind: None}))[0]["kind"] == kind

    def test_positional_form(self):
        data = json.dumps(["0.1", "i", "tool_call", "t", None, None, [1]]).encode()
        [rec] = parse_agentlog(data)
        assert rec == {"version": "0.1", "id": "i", "kind": "tool_call", "ts": "t", "parent": None, "payload": [1]}


class TestEnvelopeErrors:
    @pytest.mark.parametrize("overrides, cause", [
        ({"payload": ...}, "missing field `payload`"),
        ({"id": ..., "ts": ...}, "missing field `id`"),
        ({"kind": "Chat_Request"}, "unknown variant `Chat_Request`, expected one of "
         + ", ".join(f"`{k}`" for k in KINDS)),
        ({"version": 1}, "invalid type: integer `1`, expected a string"),
        ({"version": -5}, "invalid type: integer `-5`, expected a string"),
        ({"id": 1.5}, "invalid type: floating point `1.5`, expected a string"),
        ({"id": 2.0}, "invalid type: floating point `2.0`, expected a string"),
        ({"ts": True}, "invalid type: boolean `true`, expected a string"),
        ({"ts": None}, "invalid type: null, expected a string"),
        ({"parent": {"x": 1}}, "invalid type: map, expected a string"),
        ({"parent": [1]}, "invalid type: sequence, expected a string"),
        ({"meta": "abc"}, 'invalid type: string "abc", expected a map'),
        ({"meta": [1]}, "invalid type: sequence, expected a map"),
        ({"kind": 5}, "expected value"),
        ({"kind": {"chat_response": 1}}, "invalid type: integer `1`, expected unit"),
        ({"kind": {"nope": None}}, "unknown variant `nope`, expected one of "
         + ", ".join(f"`{k}`" for k in KINDS)),
    ])
    def test_schema_messages(self, overrides, cause):
        assert cause_of(line(**overrides))[0] == cause

    @pytest.mark.parametrize("text", ['5', '"abc"', 'null', 'true', '1.5'])
    def test_non_record_line(self, text):
        found = {"5": "integer `5`", '"abc"': 'string "abc"', "null": "null", "true": "boolean `true`",
                 "1.5": "floating point `1.5`"}[text]
        assert cause_of(text.encode())[0] == f"invalid type: {found}, expected struct Record"

    def test_duplicate_field_points_at_the_key(self):
        data = b'{"version":"0.1","id":"a","id":"b","kind":"chat_response","ts":"t","payload":1}'
        cause, column = cause_of(data)
        assert cause == "duplicate field `id`"
        assert column == data.index(b'"id":"b"') + 4

    def test_missing_field_points_at_the_closing_brace(self):
        data = b'{"version":"0.1","id":"a","kind":"chat_response","payload":1}   '
        assert cause_of(data) == ("missing field `ts`", data.rindex(b"}") + 1)

    def test_missing_ts_on_line_three_after_blank_lines(self):
        message = parse_error(b"\n\n" + line(ts=...) + b"\n")
        assert re.fullmatch(r"parse error on line 3: missing field `ts` at line 1 column \d+" + re.escape(HINT_PARSE),
                            message)

    def test_schema_error_early_in_the_line_wins_over_later_syntax_error(self):
        assert cause_of(b'{"version":1,"id":')[0] == "invalid type: integer `1`, expected a string"
        assert cause_of(b'{"kind":"nope","id":}')[0].startswith("unknown variant `nope`")
        assert cause_of(b'{"id":"a","id":"b",,,')[0] == "duplicate field `id`"

    def test_unknown_members_are_still_checked(self):
        assert cause_of(line(x="X").replace(b'"X"', b"[1,]"))[0] == "trailing comma"
        assert cause_of(line(x="X").replace(b'"X"', b"1e999"))[0] == "number out of range"
        assert cause_of(line(x="X").replace(b'"X"', b'"\\q"'))[0] == "invalid escape"

    @pytest.mark.parametrize("elements, cause", [
        (6, "invalid length 6, expected struct Record with 7 elements"),
        (0, "invalid length 0, expected struct Record with 7 elements"),
        (8, "trailing characters"),
    ])
    def test_positional_lengths(self, elements, cause):
        values = ["0.1", "i", "tool_call", "t", None, None, 1, 2][:elements]
        assert cause_of(json.dumps(values).encode())[0] == cause


class TestReaderErrors:
    @pytest.mark.parametrize("payload, cause", [
        ('{"a" 1}', "expected `:`"),
        ("[1 2]", "expected `,` or `]`"),
        ('{"a": 1 "b": 2}', "expected `,` or `}`"),
        ("nul", "expected ident"),
        ("nulx", "expected ident"),
        ("tru3", "expected ident"),
        ("@", "expected value"),
        ('"\\x"', "invalid escape"),
        ('"\\u12G4"', "invalid escape"),
        ("01", "invalid number"),
        ("-x", "invalid number"),
        ("1.e5", "invalid number"),
        ("1e+", "invalid number"),
        ("1e400", "number out of range"),
        ("-1e400", "number out of range"),
        ('"a\tb"', "control character (\\u0000-\\u001F) found while parsing a string"),
        ('"a\x00b"', "control character (\\u0000-\\u001F) found while parsing a string"),
        ("{1: 2}", "key must be a string"),
        ('"\\udc00"', "lone leading surrogate in hex escape"),
        ('"\\ud800\\u0041"', "lone leading surrogate in hex escape"),
        ('"\\ud800x"', "unexpected end of hex escape"),
        ('"\\ud800\\n"', "unexpected end of hex escape"),
        ("[1,]", "trailing comma"),
        ('{"a":1,}', "trailing comma"),
    ])
    def test_cause_texts(self, payload, cause):
        data = line(payload="X").replace(b'"X"', payload.encode())
        assert cause_of(data)[0] == cause

    @pytest.mark.parametrize("payload, cause", [
        ("[1, 2", "EOF while parsing a list"),
        ('{"a": 1', "EOF while parsing an object"),
        ('{"a"', "EOF while parsing an object"),
        ('"abc', "EOF while parsing a string"),
        ('"\\u12', "EOF while parsing a string"),
        ("[1,", "EOF while parsing a value"),
        ("tr", "EOF while parsing a value"),
        ("-", "EOF while parsing a value"),
        ("1.", "EOF while parsing a value"),
        ("", "EOF while parsing a value"),
    ])
    def test_causes_at_the_end_of_the_line(self, payload, cause):
        data = line(payload="X").replace(b'"X"}', payload.encode())
        assert cause_of(data) == (cause, len(data))

    @pytest.mark.parametrize("data, cause", [
        (b"  ", "EOF while parsing a value"),
        (b"\t", "EOF while parsing a value"),
        (line() + b" x", "trailing characters"),
        (line() + b"{}", "trailing characters"),
        (b"{", "EOF while parsing an object"),
        (b'{"version"', "EOF while parsing an object"),
    ])
    def test_line_level_causes(self, data, cause):
        assert cause_of(data)[0] == cause

    def test_column_is_the_byte_column_of_the_offending_byte(self):
        data = line(payload="X").replace(b'"X"', "[\"é\", @]".encode())
        assert cause_of(data) == ("expected value", data.index(b"@") + 1)

    def test_trailing_whitespace_after_record_is_accepted(self):
        assert len(parse_agentlog(line() + b" \t \r\n")) == 1

    @pytest.mark.parametrize("depth, ok", [(126, True), (127, False)])
    def test_nesting_limit_counts_the_record_object(self, depth, ok):
        data = line(payload="X").replace(b'"X"', b"[" * depth + b"]" * depth)
        if ok:
            parse_agentlog(data)
        else:
            cause, column = cause_of(data)
            assert cause == "recursion limit exceeded"
            assert column == data.index(b"[") + 127


class TestLines:
    @pytest.mark.parametrize("data", [b"", b"\n\r\n\n", b"\r\r\n"])
    def test_blank_inputs(self, data):
        assert parse_agentlog(data) == []

    @pytest.mark.parametrize("ending", [b"", b"\n", b"\r\n", b"\r\r\n", b"\n\n\n"])
    def test_line_endings(self, ending):
        assert len(parse_agentlog(line() + b"\n" + line(id="r2") + ending)) == 2

    def test_invalid_utf8_on_line_two(self):
        bad = line() + b"\n" + line().replace(b'"r1"', b'"r\xff"') + b"\n"
        assert parse_error(bad) == "io error on line 2: stream did not contain valid UTF-8" + HINT_IO

    def test_invalid_utf8_at_a_line_end(self):
        assert parse_error(line() + b"\xc3\n").startswith("io error on line 1:")

    def test_records_of_a_failed_parse_are_discarded(self):
        with pytest.raises(ValueError):
            parse_agentlog(line() + b"\n" + line() + b"\n{")

    def test_bytes_subclass_is_accepted(self):
        class Blob(bytes):
            pass
        assert len(parse_agentlog(Blob(line()))) == 1


class TestHostileInput:
    def test_line_over_sixteen_mebibytes(self):
        data = b'{"x":"' + b"a" * (16 * 1024 * 1024) + b'"}\n'
        assert parse_error(data) == (
            f"line 1 exceeds byte limit ({16 * 1024 * 1024 + 1} > {16 * 1024 * 1024})\n"
            "hint: raise via Parser::with_max_line_bytes or check for corrupt input")

    def test_line_of_exactly_sixteen_mebibytes_is_read(self):
        padding = 16 * 1024 * 1024 - len(line(payload="")) - 1
        data = line(payload="a" * padding) + b"\n"
        assert len(data) == 16 * 1024 * 1024
        assert len(parse_agentlog(data)[0]["payload"]) == padding

    def test_deep_nesting(self):
        data = line(payload="X").replace(b'"X"', b"[" * 10000 + b"]" * 10000)
        assert cause_of(data)[0] == "recursion limit exceeded"
        data = line(payload="X").replace(b'"X"', b'{"a":' * 10000 + b"1" + b"}" * 10000)
        assert cause_of(data)[0] == "recursion limit exceeded"

    def test_nul_bytes(self):
        assert cause_of(b"\x00")[0] == "expected value"
        assert cause_of(line() + b"\x00")[0] == "trailing characters"

    def test_lone_surrogate_escape_in_a_key(self):
        data = line(payload="X").replace(b'"X"', b'{"\\udfff": 1}')
        assert cause_of(data)[0] == "lone leading surrogate in hex escape"
