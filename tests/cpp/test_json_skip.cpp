// Values skipped without a sink: the short way stops where the validating
// reader stops, takes nothing the reader refuses, and leaves to the reader
// whatever it does not take, so that skipping fails as reading does.
#include <string>
#include <vector>

#include "check.hpp"
#include "json/reader.hpp"

namespace {

using velkin::json::MAX_NESTING;
using velkin::json::NullSink;
using velkin::json::Reader;
using velkin::json::ValueSink;
namespace detail = velkin::json::detail;

// Documents the short way takes whole: compact and spaced, every kind of value, escapes, long strings.
const std::vector<std::string> PLAIN = {
    R"({"model":"m","content":[{"type":"text","text":"hello"},{"type":"tool_use","id":"t1","input":{"id":"x"}}],"usage":{"input_tokens":830,"output_tokens":49},"latency_ms":653})",
    " { \"a\" : [ 1 , -2 , 0 , -0 , 2.50 , true , false , null ] ,\n\t\"b\" : { } , \"c\" : [ ] }",
    R"(["a \"quoted\" \\ \/ \b\f\n\r\t word","\u00e9\u4e2d",")" + std::string(100, 'x') + "\"]",
    R"("just a string")",
    "12345678901234567890123",
    "[[[[[]]]]]",
};

// Documents the short way leaves to the reader, though the reader may take them.
const std::vector<std::string> LEFT = {
    "1e5",
    "2.5E-3",
    R"("\ud83d\ude00")",
    R"("\udc00")",
    R"("\ud800x")",
    "1e400",
    std::string(301, '7'),
    "[1,]",
    "{\"a\":1,}",
    "{,}",
    "[01]",
    "-",
    "1.",
    "tru",
    "nul",
    "{\"a\" 1}",
    "{1:2}",
    "\"\x01\"",
    "\"\\x\"",
    "\"\\u12G4\"",
    "[1 2]",
    "{\"a\":1]",
    "[1}",
    "",
    "   ",
    "\"open",
};

struct Outcome {
    bool ok = false;
    size_t end = 0;
    std::string error;
};

// What the validating reader makes of the value at `start` of `text`.
Outcome read_fully(const std::string& text, size_t start, int depth) {
    NullSink sink;
    Reader<NullSink> reader(text, sink);
    reader.seek(start);
    NullSink::Value ignored;
    Outcome outcome;
    outcome.ok = reader.read_value(ignored, depth);
    outcome.end = reader.offset();
    if (!outcome.ok) outcome.error = reader.error().message();
    return outcome;
}

Outcome skipped(const std::string& text, size_t start, int depth) {
    ValueSink sink;
    Reader<ValueSink> reader(text, sink);
    reader.seek(start);
    Outcome outcome;
    outcome.ok = reader.skip_value(depth);
    outcome.end = reader.offset();
    if (!outcome.ok) outcome.error = reader.error().message();
    return outcome;
}

// The short way either leaves `text` to the reader or ends where the reader's successful read does;
// skipping as a whole agrees with reading in every case.
void agrees(const std::string& text, size_t start, int depth) {
    const Outcome wanted = read_fully(text, start, depth);
    const size_t end = detail::skip_plain_value(text.data(), start, text.size(), MAX_NESTING - depth);
    if (end != detail::NOT_SKIPPED) {
        CHECK(wanted.ok);
        CHECK_EQ(end, wanted.end);
    }
    const Outcome got = skipped(text, start, depth);
    CHECK_EQ(got.ok, wanted.ok);
    if (wanted.ok) CHECK_EQ(got.end, wanted.end);
    CHECK_EQ(got.error, wanted.error);
}

}  // namespace

TEST(plain_documents_are_skipped_the_short_way_to_where_the_reader_ends) {
    for (const std::string& text : PLAIN) {
        for (const std::string& framed : {text, "[" + text + ",7]", "{\"k\": " + text + "}  "}) {
            const size_t end = detail::skip_plain_value(framed.data(), 0, framed.size(), MAX_NESTING);
            CHECK(end != detail::NOT_SKIPPED);
            agrees(framed, 0, 0);
        }
        // From inside a frame, at the depth the frame gives.
        const std::string framed = "{\"k\":" + text + ",\"next\":1}";
        agrees(framed, 5, 1);
        CHECK(detail::skip_plain_value(framed.data(), 5, framed.size(), MAX_NESTING - 1) ==
              read_fully(framed, 5, 1).end);
    }
}

TEST(what_the_short_way_leaves_is_read_as_the_reader_reads_it) {
    for (const std::string& text : LEFT) {
        CHECK(detail::skip_plain_value(text.data(), 0, text.size(), MAX_NESTING) == detail::NOT_SKIPPED);
        agrees(text, 0, 0);
        agrees("[" + text + "]", 0, 0);
    }
}

TEST(every_cut_and_every_changed_byte_of_a_document_skips_as_it_reads) {
    const std::string& text = PLAIN[0];
    const std::string spaced = PLAIN[1];
    for (const std::string& document : {text, spaced, PLAIN[2]}) {
        for (size_t cut = 0; cut <= document.size(); ++cut) agrees(document.substr(0, cut), 0, 0);
        for (size_t at = 0; at < document.size(); ++at) {
            for (char byte : {'"', '\\', ',', ':', '}', ']', '{', '[', '0', '-', 'e', ' ', '\x1f', 'n', '.'}) {
                std::string changed = document;
                changed[at] = byte;
                agrees(changed, 0, 0);
            }
        }
    }
}

TEST(nesting_is_skipped_up_to_the_readers_limit_and_fails_past_it) {
    for (int depth : {0, 1, 5}) {
        for (int levels : {MAX_NESTING - depth - 1, MAX_NESTING - depth, MAX_NESTING - depth + 1}) {
            const std::string arrays = std::string(static_cast<size_t>(levels), '[') +
                                       std::string(static_cast<size_t>(levels), ']');
            std::string objects;
            for (int i = 0; i < levels; ++i) objects += "{\"a\":";
            objects += '1';
            objects.append(static_cast<size_t>(levels), '}');
            for (const std::string& text : {arrays, objects}) {
                agrees(text, 0, depth);
                CHECK_EQ(read_fully(text, 0, depth).ok, levels <= MAX_NESTING - depth);
            }
        }
    }
}

TEST(string_scans_stop_at_quotes_backslashes_and_control_bytes_only) {
    for (int byte = 0; byte < 256; ++byte) {
        const char c = static_cast<char>(byte);
        const bool special = c == '"' || c == '\\' || byte < 0x20;
        for (size_t lane = 0; lane < 16; ++lane) {
            std::string chunk(16, 'a');
            chunk[lane] = c;
            const uint32_t mask = velkin::arch::top_bits(detail::string_special_lanes(chunk.data()));
            CHECK_EQ(mask, special ? uint32_t{1} << lane : uint32_t{0});
        }
    }
}
