"""canonical_bytes and content_id: the canonical JSON form and its SHA-256 id."""
import hashlib
import json
import math
import re
import unicodedata
from decimal import Decimal

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from velkin._core import canonical_bytes, content_id


def nfc(text):
    return unicodedata.normalize("NFC", text)


def positional(value: float) -> str:
    """Shortest round-trip digits of a finite non-zero float, in plain positional notation."""
    return format(Decimal(repr(value)).normalize(), "f")


def reference(value) -> str:
    """An independent model of the canonical form."""
    if value is None:
        return "null"
    if isinstance(value, bool):
        return "true" if value else "false"
    if isinstance(value, int):
        return str(value)
    if isinstance(value, float):
        if not math.isfinite(value):
            return "null"
        return "0" if value == 0 else positional(value)
    if isinstance(value, str):
        return json.dumps(nfc(value), ensure_ascii=False)
    if isinstance(value, list):
        return "[" + ",".join(reference(item) for item in value) + "]"
    members = sorted(value.items(), key=lambda member: nfc(member[0]).encode())  # stable
    return "{" + ",".join(reference(key) + ":" + reference(item) for key, item in members) + "}"


# Characters assigned in the interpreter's Unicode tables, so that its NFC
# agrees with the module's newer tables; surrogates cannot be UTF-8.
characters = st.characters(blacklist_categories=("Cs", "Cn"))
texts = st.text(characters, max_size=12)
# Keys already NFC, hence distinct after normalisation: their order is then
# fully decided by the canonical sort.
keys = texts.map(nfc)
scalars = (
    st.none()
    | st.booleans()
    | st.integers(-(2**63), 2**64 - 1)
    | st.floats(allow_nan=True, allow_infinity=True)
    | texts
)
json_values = st.recursive(
    scalars,
    lambda inner: st.lists(inner, max_size=5) | st.dictionaries(keys, inner, max_size=5),
    max_leaves=25,
)


def respell(value, form):
    if isinstance(value, str):
        return unicodedata.normalize(form, value)
    if isinstance(value, list):
        return [respell(item, form) for item in value]
    if isinstance(value, dict):
        return {unicodedata.normalize(form, key): respell(item, form) for key, item in value.items()}
    return value


def shuffled(value, rng):
    if isinstance(value, list):
        return [shuffled(item, rng) for item in value]
    if isinstance(value, dict):
        members = list(value.items())
        rng.shuffle(members)
        return {key: shuffled(item, rng) for key, item in members}
    return value


def test_mixed_document():
    assert canonical_bytes({"b": 1, "a": [True, None, 1.5]}) == b'{"a":[true,null,1.5],"b":1}'


@pytest.mark.parametrize(
    "payload, expected",
    [
        (1.0, "1"),
        (1, "1"),
        (-0.0, "0"),
        (0.0, "0"),
        (2.0, "2"),
        (1.5, "1.5"),
        (-1.5, "-1.5"),
        (123.456, "123.456"),
        (0.1, "0.1"),
        (1e-7, "0.0000001"),
        (1e21, "1" + "0" * 21),
        (1e300, "1" + "0" * 300),
        (5e-324, "0." + "0" * 323 + "5"),
        (-2.5e-5, "-0.000025"),
        (float("nan"), "null"),
        (float("inf"), "null"),
        (float("-inf"), "null"),
        (0, "0"),
        (2**64 - 1, "18446744073709551615"),
        (-(2**63), "-9223372036854775808"),
        (-1, "-1"),
        (None, "null"),
        (True, "true"),
        (False, "false"),
        ([], "[]"),
        ({}, "{}"),
        ("", '""'),
    ],
)
def test_scalar_and_empty_forms(payload, expected):
    assert canonical_bytes(payload) == expected.encode()


@pytest.mark.parametrize(
    "text, expected",
    [
        ("\x01", b'"\\u0001"'),
        ("\x00", b'"\\u0000"'),
        ("\x1f", b'"\\u001f"'),
        ("\x0b", b'"\\u000b"'),
        ("\n", b'"\\n"'),
        ("\b\t\f\r", b'"\\b\\t\\f\\r"'),
        ('say "hi"', b'"say \\"hi\\""'),
        ("a\\b", b'"a\\\\b"'),
        ("\x7f/\u2028\u2029", '"\x7f/\u2028\u2029"'.encode()),
        ("\u00e9", b'"\xc3\xa9"'),
        ("e\u0301", b'"\xc3\xa9"'),
        ("\u212b", '"\u00c5"'.encode()),
        ("\U0001f600", b'"\xf0\x9f\x98\x80"'),
    ],
)
def test_string_escaping_and_normalisation(text, expected):
    assert canonical_bytes(text) == expected


def test_strings_are_normalised_at_any_depth():
    decomposed = "e\u0301"
    assert canonical_bytes({decomposed: [[{"k": [decomposed]}]]}) == '{"é":[[{"k":["é"]}]]}'.encode()


@pytest.mark.parametrize(
    "payload, expected",
    [
        ({"b": 0, "a": 0, "B": 0}, '{"B":0,"a":0,"b":0}'),
        ({"ab": 0, "a": 0, "": 0}, '{"":0,"a":0,"ab":0}'),
        # Code point order, not UTF-16: U+FF61 sorts before U+1F600 (a surrogate pair in UTF-16).
        ({"\U0001f600": 0, "\uff61": 0}, '{"\uff61":0,"\U0001f600":0}'),
        ({"\u00e9": 0, "z": 0, "\u00ff": 0, "~": 0}, '{"z":0,"~":0,"\u00e9":0,"\u00ff":0}'),
        # The decomposed key sorts by its composed form: after "f", where its raw bytes would not.
        ({"f": 0, "e\u0301": 1, "e": 2}, '{"e":2,"f":0,"\u00e9":1}'),
        ({"b": {"d": 1, "c": 2}, "a": [{"z": 1, "y": 2}]}, '{"a":[{"y":2,"z":1}],"b":{"c":2,"d":1}}'),
    ],
)
def test_key_order(payload, expected):
    assert canonical_bytes(payload) == expected.encode()


@pytest.mark.parametrize(
    "payload, expected",
    [
        ({"e\u0301": 1, "\u00e9": 2, "a": 0}, '{"a":0,"\u00e9":1,"\u00e9":2}'),
        ({"\u00e9": 2, "e\u0301": 1, "a": 0}, '{"a":0,"\u00e9":2,"\u00e9":1}'),
    ],
)
def test_keys_equal_after_normalisation_keep_input_order(payload, expected):
    assert canonical_bytes(payload) == expected.encode()


def test_large_object_is_sorted_stably():
    payload = {f"k{i:03d}": i for i in reversed(range(300))}
    payload["e\u0301"] = "decomposed"
    payload["\u00e9"] = "composed"
    expected = "{" + ",".join(f'"k{i:03d}":{i}' for i in range(300)) + ',"é":"decomposed","é":"composed"}'
    assert canonical_bytes(payload) == expected.encode()


@pytest.mark.parametrize(
    "payload, equivalent",
    [
        ((1, "a"), [1, "a"]),
        ({"k": (True, None)}, {"k": [True, None]}),
        (frozenset({7}), [7]),
    ],
)
def test_containers_convert_to_arrays(payload, equivalent):
    assert canonical_bytes(payload) == canonical_bytes(equivalent)


def test_content_id_of_empty_object():
    assert content_id({}) == "sha256:" + hashlib.sha256(b"{}").hexdigest()


@pytest.mark.parametrize("payload", [[1, 2], 3, -4.5, "text", None, {"a": {"b": []}}])
def test_content_id_of_any_payload(payload):
    result = content_id(payload)
    assert re.fullmatch(r"sha256:[0-9a-f]{64}", result)
    assert result == "sha256:" + hashlib.sha256(canonical_bytes(payload)).hexdigest()


def test_content_id_ignores_spelling_differences():
    assert content_id({"b": 1.0, "a": "e\u0301"}) == content_id({"a": "\u00e9", "b": 1})


@pytest.mark.parametrize(
    "payload, message",
    [
        ({1: "x"}, "unexpected type: 'int' object cannot be converted to 'PyString'"),
        ([b"x"], "invalid type: byte array, expected any valid JSON value"),
        (2**64, "JSON number out of range"),
        (object(), "unsupported type object"),
    ],
)
@pytest.mark.parametrize("function", [canonical_bytes, content_id])
def test_conversion_errors(function, payload, message):
    with pytest.raises(ValueError) as error:
        function(payload)
    assert str(error.value) == message


@given(json_values)
def test_matches_reference_model(value):
    result = canonical_bytes(value)
    assert result.decode() == reference(value)
    json.loads(result)


@st.composite
def keys_with_respellings(draw):
    """Distinct keys in which some NFC keys also appear decomposed, in a shuffled order."""
    base = draw(st.lists(st.sampled_from(["\u00e9", "\u00c5", "\u1e69", "\uac01", "\u00f1", "a", "e", "z"])
                         | keys, max_size=40, unique=True))
    spelled = {spelling for key in base for spelling in (key, unicodedata.normalize("NFD", key))}
    return draw(st.permutations(sorted(spelled)))


@given(keys_with_respellings())
def test_equal_normalised_keys_keep_input_order(key_order):
    payload = {key: index for index, key in enumerate(key_order)}
    assert canonical_bytes(payload).decode() == reference(payload)


@given(json_values, st.randoms(use_true_random=False))
def test_invariant_under_key_order(value, rng):
    assert canonical_bytes(shuffled(value, rng)) == canonical_bytes(value)


@given(json_values)
def test_invariant_under_composition(value):
    expected = canonical_bytes(value)
    assert canonical_bytes(respell(value, "NFD")) == expected
    assert canonical_bytes(respell(value, "NFC")) == expected


@given(json_values)
def test_content_id_is_sha256_of_canonical_bytes(value):
    assert content_id(value) == "sha256:" + hashlib.sha256(canonical_bytes(value)).hexdigest()


decimal_floats = st.builds(lambda digits, exponent: float(f"{digits}e{exponent}"),
                           st.integers(1, 10**17), st.integers(-40, 40))


@settings(max_examples=500)
@given((st.floats(allow_nan=False, allow_infinity=False) | decimal_floats).filter(lambda f: f != 0))
def test_float_layout(value):
    assert canonical_bytes(value) == positional(value).encode()
    assert float(canonical_bytes(value)) == value
