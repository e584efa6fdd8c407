#include "agentlog/parser.hpp"

namespace velkin::agentlog {

std::string ParseError::message() const {
    switch (variant) {
        case Variant::Io:
            return "io error on line " + std::to_string(line) + ": " + cause +
                   "\nhint: check that the file is readable and not truncated mid-line";
        case Variant::Parse:
            return "parse error on line " + std::to_string(line) + ": " + cause +
                   "\nhint: verify the record matches the envelope schema (SPEC §3)";
        case Variant::LineTooLong:
            return "line " + std::to_string(line) + " exceeds byte limit (" + std::to_string(read) + " > " +
                   std::to_string(limit) + ")\nhint: raise via Parser::with_max_line_bytes or check for corrupt input";
        case Variant::TraceTooLarge:
            return "trace exceeds total byte limit (" + std::to_string(total) + " > " + std::to_string(limit) +
                   ")\nhint: raise via Parser::with_max_total_bytes or split the trace";
    }
    return cause;
}

bool is_valid_utf8(std::string_view bytes) {
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    const auto* end = p + bytes.size();
    while (p < end) {
        // ASCII runs, eight bytes at a time.
        while (end - p >= 8) {
            uint64_t word;
            std::memcpy(&word, p, 8);
            if (word & 0x8080808080808080ull) break;
            p += 8;
        }
        if (p >= end) break;
        unsigned char c = *p;
        if (c < 0x80) {
            ++p;
            continue;
        }
        size_t length;
        uint32_t min_cp;
        uint32_t cp;
        if (c >= 0xC2 && c <= 0xDF) {
            length = 2;
            cp = c & 0x1F;
            min_cp = 0x80;
        } else if (c >= 0xE0 && c <= 0xEF) {
            length = 3;
            cp = c & 0x0F;
            min_cp = 0x800;
        } else if (c >= 0xF0 && c <= 0xF4) {
            length = 4;
            cp = c & 0x07;
            min_cp = 0x10000;
        } else {
            return false;
        }
        if (static_cast<size_t>(end - p) < length) return false;
        for (size_t i = 1; i < length; ++i) {
            if ((p[i] & 0xC0) != 0x80) return false;
            cp = (cp << 6) | (p[i] & 0x3F);
        }
        if (cp < min_cp || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
        p += length;
    }
    return true;
}

std::variant<std::vector<Record>, ParseError> parse_records(const Parser& parser, std::string_view input) {
    json::ValueSink sink;
    RecordLines<json::ValueSink> lines(parser, input, sink);
    std::vector<Record> records;
    Record record;
    ParseError error;
    for (;;) {
        switch (lines.next(record, error)) {
            case RecordLines<json::ValueSink>::Step::Record: records.push_back(std::move(record)); break;
            case RecordLines<json::ValueSink>::Step::Error: return error;
            case RecordLines<json::ValueSink>::Step::End: return records;
        }
    }
}

}  // namespace velkin::agentlog
