"""Generate cpp/text/unicode_tables.cpp from the Unicode Character Database.

The core's Unicode services (NFC, lower case, character classes) read these
tables instead of a system library. The output is committed, so a build needs
no UCD files; rerun this only to move to another Unicode version, and update
UCD_VERSION with it.

    apt-get install unicode-data      # Debian ships the UCD in /usr/share/unicode
    python tools/make_unicode_tables.py [UCD_DIR]

Per-code-point facts are kept as two-stage tables: the code point's high bits
pick a block, and identical blocks are stored once.
"""
from __future__ import annotations

import os
import re
import sys

UCD_VERSION = "15.0.0"
ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
OUT = os.path.join(ROOT, "cpp", "text", "unicode_tables.cpp")
CODE_POINTS = 0x110000
BLOCK_SHIFT = 7

# Flags of a code point's record; unicode_tables.hpp names the same bits.
NFC_MAYBE, NFC_NO, WHITE_SPACE, ALPHABETIC, NUMERIC, ESCAPED_IN_DEBUG, LOWERCASE_EXPANDS = (1 << k for k in range(7))
# Shown as \u{...} by a debug representation: not printable, or a grapheme extender.
ESCAPED_CATEGORIES = {"Cc", "Cf", "Cs", "Co", "Cn", "Zl", "Zp"}


def data_lines(path):
    """Fields of each data line of a UCD file, comments dropped."""
    with open(path, encoding="utf-8") as f:
        for line in f:
            line = line.split("#", 1)[0].strip()
            if line:
                yield [field.strip() for field in line.split(";")]


def code_points(field):
    first, _, last = field.partition("..")
    return range(int(first, 16), int(last or first, 16) + 1)


def property_values(path, name=None):
    """{code point: value} of a UCD property file: of the one property of an
    extracted file (`code points; value`), or of the property `name` of a file
    of several (`code points; name; value`, value True for binary properties)."""
    values = {}
    for fields in data_lines(path):
        if name is None:
            value = fields[1]
        elif fields[1] == name:
            value = fields[2] if len(fields) > 2 else True
        else:
            continue
        for cp in code_points(fields[0]):
            values[cp] = value
    return values


def check_version(ucd):
    with open(os.path.join(ucd, "DerivedCoreProperties.txt"), encoding="utf-8") as f:
        header = f.readline()
    found = re.search(r"-(\d+\.\d+\.\d+)\.txt", header)
    if not found or found.group(1) != UCD_VERSION:
        sys.exit(f"{ucd} holds UCD {found.group(1) if found else 'of unknown version'}, expected {UCD_VERSION}: "
                 "point to that version, or change UCD_VERSION (and review the cross-check test's results)")


def read_unicode_data(ucd):
    """Canonical decompositions and simple lower-case mappings from UnicodeData.txt."""
    decompositions, lowercase = {}, {}
    for fields in data_lines(os.path.join(ucd, "UnicodeData.txt")):
        cp = int(fields[0], 16)
        if fields[5] and not fields[5].startswith("<"):
            decompositions[cp] = [int(part, 16) for part in fields[5].split()]
        if fields[13]:
            lowercase[cp] = [int(fields[13], 16)]
    # Unconditional full mappings; conditional ones (final sigma, language-specific) apply only in context.
    for fields in data_lines(os.path.join(ucd, "SpecialCasing.txt")):
        if len(fields) > 4 and fields[4]:
            continue
        cp = int(fields[0], 16)
        lowercase[cp] = [int(part, 16) for part in fields[1].split()]
    return decompositions, lowercase


def full_decomposition(cp, decompositions):
    if cp not in decompositions:
        return [cp]
    return [part for first in decompositions[cp] for part in full_decomposition(first, decompositions)]


def two_stage(values, name, value_type):
    """C++ for a two-stage table of `values` (one per code point) and its lookup."""
    size = 1 << BLOCK_SHIFT
    blocks, index = {}, []
    for start in range(0, CODE_POINTS, size):
        block = tuple(values[start:start + size])
        index.append(blocks.setdefault(block, len(blocks)))
    index_type = "uint8_t" if len(blocks) <= 0x100 else "uint16_t"
    flat = [value for block in blocks for value in block]
    return (array(f"{name}_blocks", index_type, index) + array(f"{name}_values", value_type, flat) +
            f"{value_type} {name}(char32_t cp) {{\n"
            f"    return {name}_values[{name}_blocks[cp >> {BLOCK_SHIFT}] << {BLOCK_SHIFT} | (cp & {size - 1})];\n"
            "}\n\n")


def array(name, value_type, values, width=116):
    lines, line = [], "   "
    for value in values:
        item = f" {value},"
        if len(line) + len(item) > width:
            lines.append(line)
            line = "   "
        line += item
    lines.append(line)
    body = "\n".join(lines)
    return f"constexpr {value_type} {name}[{len(values)}] = {{\n{body}\n}};\n\n"


def generate(ucd):
    check_version(ucd)
    combining_class = {cp: int(value) for cp, value in
                       property_values(os.path.join(ucd, "extracted", "DerivedCombiningClass.txt")).items()}
    category = property_values(os.path.join(ucd, "extracted", "DerivedGeneralCategory.txt"))
    core = os.path.join(ucd, "DerivedCoreProperties.txt")
    alphabetic = property_values(core, "Alphabetic")
    grapheme_extend = property_values(core, "Grapheme_Extend")
    white_space = property_values(os.path.join(ucd, "PropList.txt"), "White_Space")
    normalization = os.path.join(ucd, "DerivedNormalizationProps.txt")
    nfc_quick_check = property_values(normalization, "NFC_QC")
    excluded = property_values(normalization, "Full_Composition_Exclusion")
    decompositions, lowercase = read_unicode_data(ucd)

    # Lower-case mappings to one code point are kept as differences, which repeat
    # (+32, +1, ...); the few to several code points are listed.
    deltas = [0]
    expansions = {}
    records, record_of = [], {}
    record_index = [0] * CODE_POINTS
    for cp in range(CODE_POINTS):
        flags = 0
        quick = nfc_quick_check.get(cp, "Y")
        flags |= NFC_MAYBE if quick == "M" else NFC_NO if quick == "N" else 0
        flags |= WHITE_SPACE if cp in white_space else 0
        flags |= ALPHABETIC if cp in alphabetic else 0
        gc = category.get(cp, "Cn")
        flags |= NUMERIC if gc in ("Nd", "Nl", "No") else 0
        if gc in ESCAPED_CATEGORIES or (gc == "Zs" and cp != 0x20) or cp in grapheme_extend:
            flags |= ESCAPED_IN_DEBUG
        lower = lowercase.get(cp, [cp])
        delta = 0
        if len(lower) > 1:
            flags |= LOWERCASE_EXPANDS
            expansions[cp] = lower
        else:
            delta = lower[0] - cp
            if delta not in deltas:
                deltas.append(delta)
        record = (combining_class.get(cp, 0), flags, deltas.index(delta))
        record_index[cp] = record_of.setdefault(record, len(record_of))
        if record_index[cp] == len(records):
            records.append(record)
    assert len(records) <= 0x100 and len(deltas) <= 0x100

    # Full canonical decompositions, concatenated; a code point's entry is its
    # offset << 3 | its length (0: no decomposition). Hangul syllables are computed.
    flat, entries = [], [0] * CODE_POINTS
    for cp in sorted(decompositions):
        parts = full_decomposition(cp, decompositions)
        entries[cp] = len(flat) << 3 | len(parts)
        flat.extend(parts)
    assert len(flat) < 1 << 13 and max(map(len, decompositions.values())) < 8

    composites = sorted((parts[0] << 21 | parts[1], cp) for cp, parts in decompositions.items()
                        if len(parts) == 2 and cp not in excluded)

    out = [f"// Generated by tools/make_unicode_tables.py from the Unicode Character Database {UCD_VERSION}; "
           "do not edit.\n"
           '#include "text/unicode_tables.hpp"\n\n'
           "#include <algorithm>\n#include <iterator>\n\n"
           "namespace velkin::text::tables {\n\n"
           "static_assert(unicode_version == std::string_view(\"" + UCD_VERSION + "\"));\n\n"
           "namespace {\n\n"]
    out.append(array("records", "Record", [f"{{{c}, {f}, {d}}}" for c, f, d in records]))
    out.append(array("lowercase_deltas", "int32_t", deltas))
    out.append(two_stage(record_index, "record_index", "uint8_t"))
    out.append(two_stage(entries, "decomposition_entry", "uint16_t"))
    out.append(array("decomposition_parts", "char32_t", [f"0x{cp:X}" for cp in flat]))
    out.append(array("composite_pairs", "uint64_t", [f"0x{key:X}" for key, _ in composites]))
    out.append(array("composites", "char32_t", [f"0x{cp:X}" for _, cp in composites]))
    expansion_list = sorted(expansions.items())
    out.append(array("expanding_lowercase", "char32_t", [f"0x{cp:X}" for cp, _ in expansion_list]))
    out.append(array("lowercase_expansions", "LowercaseExpansion",
                     [f"{{{len(parts)}, {{{', '.join(f'0x{p:X}' for p in parts)}}}}}" for _, parts in expansion_list]))
    out.append("""}  // namespace

Record record(char32_t cp) {
    // Beyond the code space, the facts of U+10FFFF: a noncharacter with no property.
    return records[record_index(std::min<char32_t>(cp, 0x10FFFF))];
}

int32_t lowercase_delta(const Record& record) { return lowercase_deltas[record.lowercase]; }

std::u32string_view lowercase_expansion(char32_t cp) {
    const auto* found = std::lower_bound(std::begin(expanding_lowercase), std::end(expanding_lowercase), cp);
    if (found == std::end(expanding_lowercase) || *found != cp) return {};
    const LowercaseExpansion& expansion = lowercase_expansions[found - std::begin(expanding_lowercase)];
    return {expansion.parts, expansion.length};
}

std::u32string_view canonical_decomposition(char32_t cp) {
    const uint16_t entry = cp < 0x110000 ? decomposition_entry(cp) : 0;
    return {decomposition_parts + (entry >> 3), static_cast<size_t>(entry & 7)};
}

char32_t primary_composite(char32_t first, char32_t second) {
    const uint64_t key = uint64_t{first} << 21 | second;
    const auto* found = std::lower_bound(std::begin(composite_pairs), std::end(composite_pairs), key);
    return found != std::end(composite_pairs) && *found == key ? composites[found - std::begin(composite_pairs)] : 0;
}

}  // namespace velkin::text::tables
""")
    return "".join(out)


def main():
    ucd = sys.argv[1] if len(sys.argv) > 1 else "/usr/share/unicode"
    text = generate(ucd)
    with open(OUT, "w", encoding="utf-8") as f:
        f.write(text)
    print(f"wrote {os.path.relpath(OUT, ROOT)} ({len(text) // 1024} KiB)")


if __name__ == "__main__":
    main()
