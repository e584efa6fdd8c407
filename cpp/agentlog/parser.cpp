#include "agentlog/parser.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

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
        if (*p < 0x80) {
            // ASCII runs, sixteen bytes at a time.
#if defined(__SSE2__)
            while (end - p >= 16) {
                __m128i chunk = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
                int high_bits = _mm_movemask_epi8(chunk);
                if (high_bits) {
                    p += __builtin_ctz(static_cast<unsigned>(high_bits));
                    break;
                }
                p += 16;
            }
#endif
            while (p < end && *p < 0x80) ++p;
            continue;
        }
        unsigned char c = *p;
        size_t remaining = static_cast<size_t>(end - p);
        auto continuation = [](unsigned char b) { return (b & 0xC0) == 0x80; };
        if (c >= 0xC2 && c <= 0xDF) {
            if (remaining < 2 || !continuation(p[1])) return false;
            p += 2;
        } else if (c >= 0xE0 && c <= 0xEF) {
            if (remaining < 3 || !continuation(p[1]) || !continuation(p[2])) return false;
            if (c == 0xE0 && p[1] < 0xA0) return false;   // overlong
            if (c == 0xED && p[1] >= 0xA0) return false;  // surrogate
            p += 3;
        } else if (c >= 0xF0 && c <= 0xF4) {
            if (remaining < 4 || !continuation(p[1]) || !continuation(p[2]) || !continuation(p[3])) return false;
            if (c == 0xF0 && p[1] < 0x90) return false;   // overlong
            if (c == 0xF4 && p[1] >= 0x90) return false;  // above U+10FFFF
            p += 4;
        } else {
            return false;
        }
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
