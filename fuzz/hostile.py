"""Python objects built from fuzz bytes: every shape the conversion accepts, and the hostile ones it
must refuse cleanly (hooks that raise, lie, mutate what is being read or call back into the module)."""
from __future__ import annotations

import collections.abc
import math
import struct
import sys

from velkin import _core


class Bytes:
    """Reads decisions from fuzz bytes; past the end every read gives 0, so any input is complete."""

    def __init__(self, data: bytes):
        self.data, self.at = data, 0

    def byte(self) -> int:
        self.at += 1
        return self.data[self.at - 1] if self.at <= len(self.data) else 0

    def below(self, n: int) -> int:
        return (self.byte() | self.byte() << 8) % n if n > 256 else self.byte() % n

    def chance(self, one_in: int) -> bool:
        return self.below(one_in) == 0

    def pick(self, options):
        return options[self.below(len(options))]

    def raw(self, n: int) -> bytes:
        self.at += n
        return self.data[self.at - n:self.at].ljust(n, b"\0")


SPECIAL_TEXTS = ["", "a", "é", "e\u0301", "\u212b", "Σ", "\U0001f600", "\ud800", "\udfff", "\x00", "\"\\",
                 "\u200b\u2028\ufeff", "\U000e0041", "\x7f\x85", "content", "text", "type", "tool_use", "input",
                 "name", "id", "usage", "model", "input_tokens", "output_tokens", "stop_reason", "latency_ms"]
SPECIAL_INTS = [0, 1, -1, 2**31, 2**53 + 1, 2**63 - 1, 2**63, 2**64 - 1, 2**64, -(2**63), -(2**63) - 1, 2**127,
                -(2**127), 2**128, 2**200, -(2**1000)]
SPECIAL_FLOATS = [0.0, -0.0, 1.5, math.nan, math.inf, -math.inf, 5e-324, 1.7976931348623157e308, 1e16, 1e-7, 0.1]


def text(b: Bytes) -> str:
    if b.chance(2):
        return b.pick(SPECIAL_TEXTS)
    return "".join(b.pick(SPECIAL_TEXTS) if b.chance(4) else chr(b.pick([0x61, 0x20, 0xe9, 0x3a3, 0x301, 0xd800,
                                                                          0x1f600, 0x10fffd, 0x2028]) + b.below(3))
                   for _ in range(b.below(6)))


def number(b: Bytes):
    choice = b.below(4)
    if choice == 0:
        return b.pick(SPECIAL_INTS)
    if choice == 1:
        return b.pick(SPECIAL_FLOATS)
    if choice == 2:
        return struct.unpack("<d", b.raw(8))[0]
    return b.below(1000) - 500


# --- subclasses and look-alikes -------------------------------------------------------------------

class SubList(list):
    pass


class SubDict(dict):
    pass


class SubStr(str):
    pass


class SubInt(int):
    pass


class SubFloat(float):
    pass


# Hooks misbehave only while the module is called, not while the harness builds its objects.
armed = [False]


class _Armed:
    """velkin._core with the hooks armed for the duration of each call."""

    def __getattr__(self, name):
        function = getattr(_core, name)

        def call(*args, **kwargs):
            before, armed[0] = armed[0], True
            if not before:
                _reentries_left[0] = 3
            try:
                return function(*args, **kwargs)
            finally:
                armed[0] = before
        return call


core = _Armed()


class OddKey(str):
    """A str key whose hash collides with every other and whose equality may raise or lie."""
    mode = 0

    def __hash__(self):
        return 7

    def __eq__(self, other):
        if armed[0] and self.mode == 1:
            raise RuntimeError("key comparison failed")
        if armed[0] and self.mode == 2:
            return True
        return str.__eq__(self, other)


class Seq(collections.abc.Sequence):
    """A sequence whose length may lie and whose reads may fail."""

    def __init__(self, items, claimed=None, fail_at=None):
        self.items, self.claimed, self.fail_at = items, claimed, fail_at

    def __len__(self):
        return len(self.items) if self.claimed is None else self.claimed

    def __getitem__(self, index):
        if index == self.fail_at:
            raise KeyError("read failed")
        return self.items[index]


class Mapping(collections.abc.Mapping):
    def __init__(self, items, fail_keys=False):
        self.items, self.fail_keys = items, fail_keys

    def __getitem__(self, key):
        return self.items[key]

    def __iter__(self):
        if self.fail_keys:
            raise ValueError("keys failed")
        return iter(self.items)

    def __len__(self):
        return len(self.items)


class Hook(collections.abc.Sequence):
    """A one-item sequence that runs `action` when its item is read."""

    def __init__(self, action, item=0):
        self.action, self.item = action, item

    def __len__(self):
        return 1

    def __getitem__(self, index):
        if index:
            raise IndexError(index)
        self.action()
        return self.item


class BadFloat(float):
    def __float__(self):
        raise ArithmeticError("no float")


class BadIndex(int):
    def __index__(self):
        raise OverflowError("no index")


def mutate_container(b: Bytes, target):
    """An action that edits `target` (a dict or list) while it is being read."""
    def action():
        if isinstance(target, dict):
            choice = b.below(4)
            if choice == 0:
                target["grown" + str(len(target))] = 1
            elif choice == 1 and target:
                target.pop(next(iter(target)))
                target["swapped" + str(len(target))] = 2
            elif choice == 2:
                target.clear()
            else:
                target[OddKey("k")] = 3
        elif isinstance(target, list):
            if b.chance(2):
                target.clear()
            else:
                target.extend([1, 2, 3])
    return action


_reentered = [0]
_reentries_left = [0]


def reentrant(b: Bytes, payload):
    """An action that calls back into the module while a conversion is under way. One level, a few times
    per outer call: hooks that call back into calls that run them again could take exponential time."""
    def action():
        if _reentered[0] or _reentries_left[0] <= 0:
            return
        _reentered[0] += 1
        _reentries_left[0] -= 1
        try:
            if b.chance(2):
                core.canonical_bytes(payload)
            else:
                core.write_agentlog([{"version": "0.1", "id": "r", "kind": "chunk", "ts": "t", "payload": payload}])
        except Exception:  # noqa: BLE001 - the outer call's outcome is what is checked; a panic still escapes
            pass
        finally:
            _reentered[0] -= 1
    return action


def value(b: Bytes, depth: int = 0, parents=()):
    """Any object, hostile or not, for a payload; `parents` are the containers around it."""
    if depth > 6 or b.chance(3):
        return leaf(b)
    choice = b.below(22)
    if choice < 5:
        items = []
        for _ in range(b.below(4)):
            items.append(value(b, depth + 1, parents + (items,)))
        return items
    if choice < 10:
        table = {}
        for _ in range(b.below(4)):
            table[key(b)] = value(b, depth + 1, parents + (table,))
        return table
    if choice == 10:
        return tuple(value(b, depth + 1, parents) for _ in range(b.below(3)))
    if choice == 11:
        return SubList(value(b, depth + 1, parents) for _ in range(b.below(3)))
    if choice == 12:
        return SubDict({key(b): value(b, depth + 1, parents) for _ in range(b.below(3))})
    if choice == 13:
        return b.pick([set, frozenset])(leaf(b) for _ in range(b.below(3)))
    if choice == 14:
        items = [value(b, depth + 1, parents) for _ in range(b.below(3))]
        return Seq(items, claimed=b.pick([None, None, sys.maxsize, -1, 0, len(items) + 1, 2**40]),
                   fail_at=b.pick([None, None, 0, 1]))
    if choice == 15:
        return Mapping({key(b): value(b, depth + 1, parents) for _ in range(b.below(3))}, fail_keys=b.chance(4))
    if choice == 16 and parents:
        target = b.pick(parents)
        return Hook(mutate_container(b, target) if isinstance(target, (dict, list)) else (lambda: None))
    if choice == 17 and parents:
        return b.pick(parents)  # a container inside itself
    if choice == 18 and parents:
        return Hook(reentrant(b, b.pick(parents)))
    if choice == 19:
        nested = leaf(b)
        for _ in range(b.pick([10, 127, 128, 990, 1500, 5000])):
            nested = [nested] if b.chance(2) else {"k": nested}
        return nested
    if choice == 20:
        return b.pick([object(), b"bytes", bytearray(b"ba"), BadFloat(1.0), BadIndex(3), len, SubInt(5),
                       SubFloat(math.nan), SubStr("sub"), type, Ellipsis, complex(1, 2)])
    return leaf(b)


def leaf(b: Bytes):
    choice = b.below(6)
    if choice == 0:
        return None
    if choice == 1:
        return b.chance(2)
    if choice in (2, 3):
        return text(b)
    return number(b)


def key(b: Bytes):
    choice = b.below(12)
    if choice == 0:
        return b.pick([1, None, 2.5, (1,), b"k", SubInt(2)])
    if choice == 1:
        odd = OddKey(text(b))
        odd.mode = b.below(3)
        return odd
    if choice == 2:
        return SubStr(text(b))
    return text(b)
