// The conformance row of responses read once gives the row of the pairs themselves.
#include <string>
#include <utility>
#include <vector>

#include "check.hpp"
#include "diff/conformance.hpp"
#include "json/reader.hpp"

using namespace velkin;

namespace {

// Texts that are, look like, or are fenced JSON documents, and plain ones.
const std::vector<std::string> TEXTS = {
    "{\"a\": 1}",
    "  [1, 2]  ",
    "```json\n{\"b\": [true]}\n```",
    "```{\"c\": null}```",
    "{broken",
    "[1,",
    "",
    "plain answer",
    "\"a string\"",
    "42",
    "```\nnot json\n```",
};
// Tool-use contents: none, inputs that are not objects, and objects whose names repeat or differ in order.
const std::vector<std::string> CONTENTS = {
    "[]",
    "[{\"type\": \"tool_use\", \"name\": \"f\", \"input\": [1]}]",
    "[{\"type\": \"tool_use\", \"name\": \"f\", \"input\": {\"x\": 1, \"y\": 2}}]",
    "[{\"type\": \"tool_use\", \"name\": \"g\", \"input\": {\"y\": 0, \"x\": 5, \"x\": 6}}]",
    "[{\"type\": \"tool_use\", \"name\": \"f\", \"input\": \"s\"}, {\"type\": \"tool_use\", \"input\": {\"z\": {}}}]",
    "[{\"type\": \"tool_use\", \"name\": \"f\", \"input\": {}}]",
};

}  // namespace

TEST(conformance_of_read_responses_equals_the_row_of_their_pairs) {
    std::vector<json::Value> contents;
    for (const std::string& content : CONTENTS) contents.push_back(json::parse_document(content).value());
    std::vector<diff::ResponseView> views;
    for (const std::string& text : TEXTS) {
        for (const json::Value& content : contents) {
            diff::ResponseView& view = views.emplace_back();
            view.text = text;
            view.tool_calls = diff::read_tool_calls(*content.as_array());
        }
    }
    // Every text looks plain here, so no document is read: the reads must still agree on every pair.
    for (bool with_documents : {true, false}) {
        std::vector<const diff::ResponseView*> responses;
        for (const diff::ResponseView& view : views) {
            if (with_documents || diff::strip_markdown_fences(view.text).find_first_of("{[") != 0)
                responses.push_back(&view);
        }
        diff::ConformanceReads reads = diff::read_conformance(responses);
        diff::Pairs pairs;
        std::vector<std::pair<size_t, size_t>> indices;
        for (size_t b = 0; b < responses.size(); ++b) {
            for (size_t c = 0; c < responses.size(); ++c) {
                pairs.push_back({responses[b], responses[c]});
                indices.emplace_back(b, c);
            }
        }
        diff::AxisSamples direct = diff::conformance_samples(pairs);
        diff::AxisSamples read = diff::conformance_samples(reads, indices);
        CHECK(!direct.baseline.empty());
        CHECK(read.baseline == direct.baseline);
        CHECK(read.candidate == direct.candidate);
    }
}
