#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "check.hpp"
#include "diff/tool_calls.hpp"
#include "json/writer.hpp"
#include "text/sha256.hpp"

using namespace velkin;

namespace {

// What tool-call inputs were hashed as before the writer sorted members in place:
// a deep copy with members stably ordered by name, then written compactly.
json::Value sorted_copy(const json::Value& value) {
    if (const json::Object* members = value.as_object()) {
        json::Object sorted;
        for (const json::Member& member : *members) sorted.push_back({member.key, sorted_copy(member.value)});
        std::stable_sort(sorted.begin(), sorted.end(),
                         [](const json::Member& a, const json::Member& b) { return a.key < b.key; });
        return json::Value(std::move(sorted));
    }
    if (const json::Array* elements = value.as_array()) {
        json::Array copy;
        for (const json::Value& element : *elements) copy.push_back(sorted_copy(element));
        return json::Value(std::move(copy));
    }
    return value;
}

// Names that share prefixes, differ only past ASCII, need escapes, or repeat within one object.
const std::vector<std::string> NAMES = {
    "",
    "a",
    "ab",
    "b",
    "B",
    "\xc3\xa9",
    "e\xcc\x81",
    "\xe2\x82\xac",
    "\xf0\x9f\x98\x80",
    "\x7f",
    "\x01",
    "q\"uote",
    "back\\slash",
    "line\nfeed",
    "tab\t",
    "\xef\xbf\xbf",
    "id",
    "id2",
};

struct Generator {
    std::mt19937_64 random;

    size_t below(size_t n) { return std::uniform_int_distribution<size_t>(0, n - 1)(random); }

    std::string name() { return NAMES[below(NAMES.size())]; }

    double any_double() {
        switch (below(6)) {
            case 0: return -0.0;
            case 1: return 1e16;
            case 2: return 1.5e-7;
            case 3: return std::numeric_limits<double>::quiet_NaN();
            case 4: return std::ldexp(static_cast<double>(random() >> 11), -static_cast<int>(below(80)));
            default: return -std::ldexp(static_cast<double>(random() >> 11), static_cast<int>(below(80)));
        }
    }

    json::Value value(int depth) {
        switch (below(depth > 0 ? 9 : 6)) {
            case 0: return json::Value(nullptr);
            case 1: return json::Value(below(2) == 1);
            case 2: return json::Value(static_cast<uint64_t>(random()));
            case 3: return json::Value(-static_cast<int64_t>(below(1u << 30)) - 1);
            case 4: return json::Value(any_double());
            case 5: return json::Value(name() + name());
            case 6: {
                json::Array elements;
                for (size_t n = below(4); n > 0; --n) elements.push_back(value(depth - 1));
                return json::Value(std::move(elements));
            }
            default: return object(depth - 1, below(2) == 0 ? below(5) : below(40));
        }
    }

    json::Value object(int depth, size_t size) {
        json::Object members;
        for (size_t n = 0; n < size; ++n) members.push_back({name(), value(depth)});
        return json::Value(std::move(members));
    }

    json::Value tool_use(const json::Value& input) {
        json::Object block{{"type", json::Value("tool_use")}};
        if (below(5) > 0) block.push_back({"name", json::Value(name())});
        if (below(8) > 0) block.push_back({"input", input});
        return json::Value(std::move(block));
    }
};

}  // namespace

// Objects of up to 40 members cross the size where the writer changes its sorting method.
TEST(hashed_shapes_hash_the_sorted_copy_of_each_input) {
    Generator generate{std::mt19937_64(9)};
    for (int round = 0; round < 400; ++round) {
        json::Array content;
        std::vector<std::string> expected;
        for (size_t n = generate.below(4); n > 0; --n) {
            json::Value input = generate.below(4) == 0 ? generate.value(3) : generate.object(3, generate.below(40));
            content.push_back(generate.tool_use(input));
        }
        diff::ToolCalls calls = diff::read_tool_calls(content);
        for (const diff::ToolCall& call : calls) {
            std::string compact = json::to_compact(sorted_copy(*call.input));
            expected.push_back(call.key_shape.substr(0, call.key_shape.size() - 1) + "|" +
                               text::hex(text::sha256(compact), 8) + ")");
            std::string written;
            json::write_compact_sorted(*call.input, written);
            CHECK_EQ(written, compact);
        }
        CHECK(diff::hashed_shape_sequence(calls) == expected);
    }
}

// Reusing the output keeps no shape of a longer previous sequence.
TEST(hashed_shapes_into_a_used_vector_match_a_fresh_one) {
    Generator generate{std::mt19937_64(11)};
    std::vector<std::string> reused;
    for (int round = 0; round < 50; ++round) {
        json::Array content;
        for (size_t n = generate.below(4); n > 0; --n) content.push_back(generate.tool_use(generate.object(2, 3)));
        diff::ToolCalls calls = diff::read_tool_calls(content);
        diff::hashed_shape_sequence(calls, reused);
        CHECK(reused == diff::hashed_shape_sequence(calls));
    }
}

TEST(first_object_input_keys_are_the_distinct_names_of_the_first_object) {
    Generator generate{std::mt19937_64(13)};
    std::vector<std::string_view> keys{"stale"};
    for (int round = 0; round < 200; ++round) {
        json::Array content;
        for (size_t n = generate.below(4); n > 0; --n) content.push_back(generate.tool_use(generate.value(2)));
        diff::ToolCalls calls = diff::read_tool_calls(content);
        auto first = std::find_if(calls.begin(), calls.end(),
                                  [](const diff::ToolCall& call) { return call.input->as_object() != nullptr; });
        std::vector<std::string_view> expected;
        if (first != calls.end()) {
            for (const json::Member& member : *first->input->as_object()) expected.push_back(member.key);
            std::sort(expected.begin(), expected.end());
            expected.erase(std::unique(expected.begin(), expected.end()), expected.end());
        }
        CHECK_EQ(diff::first_object_input_keys(calls, keys), first != calls.end());
        CHECK(keys == expected);
    }
}
