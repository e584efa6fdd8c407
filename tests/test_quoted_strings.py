"""A string value quoted in an "invalid type" message shows every character a reader could not see:
the same from JSON text and from Python objects."""
import json

import pytest

from velkin._core import compute_diff_report, parse_agentlog, write_agentlog

QUOTED = [
    ("plain text", "plain text"),
    ("é Σ 😀 \u0903", "é Σ 😀 \u0903"),  # a spacing mark is printable and no grapheme extender
    ('say "hi" \\ bye', 'say \\"hi\\" \\\\ bye'),
    ("\x00\t\r\n", "\\0\\t\\r\\n"),
    ("\x1b\x7f\x85", "\\u{1b}\\u{7f}\\u{85}"),  # controls, C1 included
    ("a\u200bb\u200d\ufeff", "a\\u{200b}b\\u{200d}\\u{feff}"),  # format characters
    ("\U000e0041", "\\u{e0041}"),  # a tag character
    ("\u2028\u2029", "\\u{2028}\\u{2029}"),  # line and paragraph separators
    ("\xa0\u3000 ", "\\u{a0}\\u{3000} "),  # spaces other than the ASCII one
    ("e\u0301\u09be", "e\\u{301}\\u{9be}"),  # grapheme extenders, one of them a spacing mark
    ("\ue000\U0010fffd", "\\u{e000}\\u{10fffd}"),  # private use
    ("\u0378\U0010ffff", "\\u{378}\\u{10ffff}"),  # unassigned
]


def record(**fields):
    return {"version": "0.1", "id": "r", "kind": "chunk", "ts": "t", "parent": None, "payload": None, **fields}


def error_of(call):
    with pytest.raises(ValueError) as info:
        call()
    return str(info.value)


@pytest.mark.parametrize("text, shown", QUOTED)
def test_strings_in_type_mismatch_messages(text, shown):
    expected = f'invalid type: string "{shown}", expected a map'
    from_text = error_of(lambda: parse_agentlog(json.dumps(record(meta=text)).encode() + b"\n"))
    assert from_text.startswith(f"parse error on line 1: {expected} at line 1 column ")
    assert error_of(lambda: write_agentlog([record(meta=text)])) == expected
    assert error_of(lambda: compute_diff_report([], [], {"m": text})) == \
        f'pricing value: invalid type: string "{shown}", expected struct ModelPricing'
