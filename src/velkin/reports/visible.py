"""Trace text made safe for a reader's display: the one policy of every report format and of the
messages on stderr."""
from __future__ import annotations

import unicodedata

# Bidirectional overrides, isolates and marks can make a line read differently from what it holds.
BIDI_CONTROLS = frozenset([*range(0x202A, 0x202F), *range(0x2066, 0x206A), 0x200E, 0x200F, 0x061C])
# Format characters, separators and surrogates draw nothing or move the cursor; the joiner is kept
# because emoji sequences need it.
INVISIBLE_CATEGORIES = frozenset(("Cc", "Cf", "Cs", "Zl", "Zp"))
ZERO_WIDTH_JOINER = "\u200d"
# Blocks kept for characters that draw nothing (some not yet assigned), and the Hangul fillers, which
# draw blank.
INVISIBLE_BLOCKS = ((0x2060, 0x206F), (0xFFF0, 0xFFF8), (0xE0000, 0xE0FFF))
HANGUL_FILLERS = frozenset((0x115F, 0x1160, 0x3164, 0xFFA0))


def is_hidden(ch: str) -> bool:
    """A character that acts on the reader's display instead of showing: a control, a bidi or other
    format character, a line separator, a lone surrogate, a noncharacter or one that draws nothing."""
    code = ord(ch)
    if code < 0x7F:
        return code < 0x20
    return (code in BIDI_CONTROLS or (unicodedata.category(ch) in INVISIBLE_CATEGORIES and ch != ZERO_WIDTH_JOINER)
            or code & 0xFFFE == 0xFFFE or 0xFDD0 <= code <= 0xFDEF or code in HANGUL_FILLERS
            or any(low <= code <= high for low, high in INVISIBLE_BLOCKS))


def escape_char(ch: str) -> str:
    code = ord(ch)
    if 0xDC80 <= code <= 0xDCFF:  # a byte of a name that is not UTF-8, as os.fsdecode keeps it
        return f"\\x{code - 0xDC00:02x}"
    return f"\\x{code:02x}" if code < 0x100 else f"\\u{code:04x}" if code < 0x10000 else f"\\U{code:08x}"


def visible(text: str, keep_newlines: bool = True) -> str:
    """Trace text made safe for a reader's display, the one policy of every format: control characters
    (an escape sequence in a tool argument could recolour or clear the screen), bidi controls and
    invisible characters are shown as escapes such as `\\x1b` or `\\u202e`; newlines are kept when
    asked for, tabs become four spaces."""
    text = text.replace("\r\n", "\n").replace("\t", "    ")
    if text.isascii() and text.isprintable():
        return text
    return "".join(escape_char(ch) if is_hidden(ch) and not (keep_newlines and ch == "\n") else ch for ch in text)


def message(text: str) -> str:
    """A message for stderr as one line of visible text, whatever trace values it quotes."""
    return visible(str(text), keep_newlines=False)
