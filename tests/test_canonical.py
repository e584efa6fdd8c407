"""canonical_bytes and content_id: the canonical JSON form and its SHA-256 id."""
import hashlib
import json
import math
import re
import unicodedata
from decimal import Decimal

import pytest
from hypothesis import given
from hypothesis import strategies as st

from velkin._core import canonical_bytes, content_id


def nfc(text):
    return unicodedata.normalize("NFC", text)


def reference(value) -> str:
    """An independent model of the canonical form."""
    if value is None or isinstance(value, bool):
        return json.dumps(value)
    if isinstance(value, int):
        return str(value)
    if isinstance(value, float) and (value == 0 or not math.isfinite(value)):
        return "0" if value == 0 else "null"
    if isinstance(value, float):
        return format(Decimal(repr(value)).normalize(), "f")  # shortest digits, positional
    if isinstance(value, str):
        return json.dumps(nfc(value), ensure_ascii=False)
    if isinstance(value, list):
        return "[" + ",".join(map(reference, value)) + "]"
    members = sorted(value.items(), key=lambda member: nfc(member[0]).encode())  # stable
    return "{" + ",".join(reference(key) + ":" + reference(item) for key, item in members) + "}"


@pytest.mark.parametrize("payload, expected", [
    ({"b": 1, "a": [True, None, 1.5]}, '{"a":[true,null,1.5],"b":1}'),
    (1.0, "1"), (-0.0, "0"), (0.1, "0.1"), (-2.5e-5, "-0.000025"), (123.456, "123.456"),
    (1e21, "1" + "0" * 21), (1e300, "1" + "0" * 300), (5e-324, "0." + "0" * 323 + "5"),
    (float("-inf"), "null"), (float("nan"), "null"),
    (2**64 - 1, "18446744073709551615"), (-(2**63), "-9223372036854775808"), (False, "false"), ([], "[]"), ({}, "{}"),
    ("\x01\x1f\x0b", '"\\u0001\\u001f\\u000b"'), ("\b\t\n\f\r", '"\\b\\t\\n\\f\\r"'), ('a"\\', '"a\\"\\\\"'),
    ("\x7f/\u2028\u2029", '"\x7f/\u2028\u2029"'), ("e\u0301", '"\u00e9"'), ("\u212b", '"\u00c5"'),
    # Wider text: NFC-stable code points throughout, and not NFC behind a stable start.
    ("\u6771\u4eac \U0001f680", '"\u6771\u4eac \U0001f680"'), ("\u6771\u1100\u1161", '"\u6771\uac00"'),
    ("\U0001f680e\u0301", '"\U0001f680\u00e9"'), ({"\u03b1\u0301": "\u1100\u1161"}, '{"\u03ac":"\uac00"}'),
    ({"e\u0301": [[{"k": ["e\u0301"]}]]}, '{"\u00e9":[[{"k":["\u00e9"]}]]}'),
    ({"b": 0, "a": 0, "B": 0}, '{"B":0,"a":0,"b":0}'),
    ({"ab": 0, "a": 0, "": 0}, '{"":0,"a":0,"ab":0}'),
    # Code point order, not UTF-16: U+FF61 sorts before U+1F600 (a surrogate pair in UTF-16).
    ({"\U0001f600": 0, "\uff61": 0}, '{"\uff61":0,"\U0001f600":0}'),
    # A decomposed key sorts by its composed form; keys equal after normalisation keep their input order.
    ({"f": 0, "e\u0301": 1, "e": 2, "\u00e9": 3}, '{"e":2,"f":0,"\u00e9":1,"\u00e9":3}'),
    ({"\u00e9": 3, "e\u0301": 1}, '{"\u00e9":3,"\u00e9":1}'),
])
def test_canonical_forms(payload, expected):
    assert canonical_bytes(payload) == expected.encode()


def test_large_object_is_sorted_stably():
    payload = {}
    for i in reversed(range(150)):
        payload |= {f"e\u0301{i:03d}": -i, f"\u00e9{i:03d}": i}
    expected = ",".join(f'"\u00e9{i:03d}":{-i},"\u00e9{i:03d}":{i}' for i in range(150))
    assert canonical_bytes(payload) == ("{" + expected + "}").encode()


@pytest.mark.parametrize("payload", [{}, [1, 2], -4.5, "text", None])
def test_content_id_of_any_payload(payload):
    result = content_id(payload)
    assert re.fullmatch(r"sha256:[0-9a-f]{64}", result)
    assert result == "sha256:" + hashlib.sha256(reference(payload).encode()).hexdigest()


def test_content_id_conversion_errors():
    with pytest.raises(ValueError, match="^unexpected type: 'int' object cannot be converted to 'PyString'$"):
        content_id({1: "x"})


# Characters assigned in the interpreter's Unicode tables, so that its NFC agrees with the module's
# newer tables; surrogates cannot be UTF-8.
texts = st.text(st.characters(blacklist_categories=("Cs", "Cn")), max_size=12)
# Decimal spellings reach the layout's edges far more often than random bit patterns.
decimal_floats = st.builds(lambda digits, exponent: float(f"{digits}e{exponent}"),
                           st.integers(1, 10**17), st.integers(-40, 40))
scalars = st.none() | st.booleans() | st.integers(-(2**63), 2**64 - 1) | st.floats() | decimal_floats | texts
# Keys already NFC, hence distinct after normalisation: their order is fully decided by the sort.
json_values = st.recursive(
    scalars, lambda inner: st.lists(inner, max_size=5) | st.dictionaries(texts.map(nfc), inner, max_size=5),
    max_leaves=25)


def respell(value, form, rng=None):
    """The value with every string in normalisation `form` and, given `rng`, every object's members shuffled."""
    if isinstance(value, str):
        return unicodedata.normalize(form, value)
    if isinstance(value, list):
        return [respell(item, form, rng) for item in value]
    if isinstance(value, dict):
        members = list(value.items())
        if rng:
            rng.shuffle(members)
        return {unicodedata.normalize(form, key): respell(item, form, rng) for key, item in members}
    return value


@given(json_values, st.randoms(use_true_random=False))
def test_canonical_bytes_match_the_model_and_ignore_spelling(value, rng):
    result = canonical_bytes(value)
    assert result.decode() == reference(value)
    json.loads(result)
    assert canonical_bytes(respell(value, "NFD", rng)) == result
    assert canonical_bytes(respell(value, "NFC", rng)) == result
    assert content_id(value) == "sha256:" + hashlib.sha256(result).hexdigest()


@st.composite
def keys_with_respellings(draw):
    """Distinct keys in which some NFC keys also appear decomposed, in a shuffled order."""
    base = draw(st.lists(st.sampled_from(["\u00e9", "\u00c5", "\u1e69", "\uac01", "\u00f1", "a", "e", "z"])
                         | texts.map(nfc), max_size=40, unique=True))
    spelled = {spelling for key in base for spelling in (key, unicodedata.normalize("NFD", key))}
    return draw(st.permutations(sorted(spelled)))


@given(keys_with_respellings())
def test_equal_normalised_keys_keep_input_order(key_order):
    payload = {key: index for index, key in enumerate(key_order)}
    assert canonical_bytes(payload).decode() == reference(payload)
