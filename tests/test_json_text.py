"""The report's JSON text written natively reads exactly as the standard library writes it, but for the
characters a terminal acts on, which it escapes."""
import json
import math
import re
import struct

import pytest
import tau_changes as tc
from hypothesis import given
from hypothesis import strategies as st

from velkin import _native
from velkin.compare import compare_runs

# DEL, the C1 controls and the bidi controls: json.dumps(ensure_ascii=False) writes them raw.
HIDDEN = re.compile("[\x7f-\x9f\u061c\u200e\u200f\u202a-\u202e\u2066-\u2069]")


def standard(document) -> str:
    return HIDDEN.sub(lambda m: f"\\u{ord(m.group()):04x}", json.dumps(document, indent=2, ensure_ascii=False))


scalars = (st.none() | st.booleans() | st.integers() | st.integers(min_value=-2**70, max_value=2**70)
           | st.floats(allow_nan=True, allow_infinity=True) | st.text(alphabet=st.characters(blacklist_categories=("Cs",))))
documents = st.recursive(scalars, lambda inner: st.lists(inner, max_size=4) | st.tuples(inner, inner)
                         | st.dictionaries(st.text(max_size=6), inner, max_size=4), max_leaves=30)


@given(documents)
def test_any_document_of_plain_values_reads_as_json_dumps_writes_it(document):
    assert _native.json_text(document) == standard(document)
    assert _native.json_utf8(document) == standard(document).encode("utf-8")


hostile_text = st.text(alphabet=st.sampled_from("a\"\\\x1b\x7f\x80\x9b\x9f\xa0\u061c\u200e\u200f\u202a\u202e\u2066"
                                                  "\u2069\u2028\u0800\u2030é日🙂") | st.characters(blacklist_categories=("Cs",)))


@given(st.dictionaries(hostile_text, hostile_text, max_size=4))
def test_text_reads_back_the_same_and_holds_no_hidden_character(document):
    text = _native.json_text(document)
    assert json.loads(text) == document
    assert not HIDDEN.search(text)


# Long texts, with what needs escaping at every offset of a run of plain characters: the writer passes
# over plain runs several bytes at a time.
pieces = st.sampled_from(["plain text", "x", "abcdefgh", "\"", "\\", "\x1b", "\x7f", "\x9b", "\u202e", "\u2069",
                          "\u00e9", "\u65e5\u672c", "\U0001f642", "\n"])
long_text = st.lists(pieces, max_size=40).map("".join)


@given(st.lists(long_text, max_size=4))
def test_long_texts_read_as_json_dumps_writes_them(texts):
    assert _native.json_utf8(texts) == standard(texts).encode("utf-8")


# Every bit pattern of a double is as likely, subnormals and huge exponents included.
any_double = st.integers(0, 2**64 - 1).map(lambda bits: struct.unpack("<d", bits.to_bytes(8, "little"))[0])


@given(st.floats(allow_nan=False, allow_infinity=False) | any_double.filter(math.isfinite))
def test_a_float_reads_as_its_repr(value):
    assert _native.json_text(value) == repr(value)


@pytest.mark.parametrize("value, text", [
    (0.0001, "0.0001"), (9.999e-05, "9.999e-05"), (0.00012, "0.00012"),
    (1e15, "1000000000000000.0"), (9999999999999998.0, "9999999999999998.0"), (1e16, "1e+16"),
    (1.2345e16, "1.2345e+16"), (1e22, "1e+22"), (1e-100, "1e-100"), (2.5e-308, "2.5e-308"),
    (0.5, "0.5"), (100.0, "100.0"), (123.456, "123.456"), (-1e-07, "-1e-07"), (1 / 3, "0.3333333333333333"),
])
def test_floats_switch_to_an_exponent_where_repr_does(value, text):
    assert _native.json_text(value) == text


@pytest.mark.parametrize("document", [
    {"ctl": "\x00\x1f\x7f\"\\\b\f\n\r\t", "é": "日本 🙂"},
    {"\u202etxt.exe": "\x1b[2J\x9b2J\u2066\u2069\u200e\u200f\u061c\u2028\u2060 \u00a0\u07ff\u0800\u2030"},
    [0.1, 1e-05, 1e16, 123456789.0, -0.0, 5e-324, 1.7976931348623157e308, float("nan"), float("-inf")],
    {"empty": {}, "none": [], "nested": [[[]], {"a": {}}]},
])
def test_edge_values_read_as_json_dumps_writes_them(document):
    assert _native.json_text(document) == standard(document)
    assert _native.json_utf8(document) == standard(document).encode("utf-8")


def test_a_comparison_report_reads_as_json_dumps_writes_it():
    runs = tc.trial_runs()
    candidate, _ = tc.changed_run(runs[2], tc.duplicate_lookup)
    report = compare_runs(runs[:2], [candidate], pricing=tc.PRICING)
    assert _native.json_text(report) == standard(report)


class Text(str):
    pass


@pytest.mark.parametrize("document, error", [
    ({1: "a"}, TypeError),
    ([Text("a")], TypeError),
    ({"a": object()}, TypeError),
    ("\ud800", UnicodeEncodeError),
])
def test_what_it_does_not_write_is_refused(document, error):
    with pytest.raises(error):
        _native.json_text(document)


def test_deep_nesting_is_refused():
    document = []
    for _ in range(150):
        document = [document]
    with pytest.raises(RecursionError):
        _native.json_text(document)
