#pragma once
// Format conformance: JSON answers stay JSON, tool calls keep their arguments.
#include <cstdint>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

#include "diff/axes.hpp"
#include "diff/response.hpp"

namespace velkin::diff {

std::string_view strip_markdown_fences(std::string_view text);

// Pairs whose baseline answered with JSON or a tool call: 1.0 where the format holds.
AxisSamples conformance_samples(const Pairs& pairs);

// What the row reads of each of many responses, read once however many pairs
// each is in (the run comparison pairs every run of a conversation with every other).
struct ConformanceRead {
    bool document_like = false;  // the text, fences stripped, opens an object or an array
    bool document = false;       // the text, fences stripped, is a JSON document (read where a pair needs it)
    bool has_keys = false;       // some tool call has an object input
    uint32_t first_key = 0, key_count = 0;  // the first object input's distinct names, ascending, in `keys`
};
struct ConformanceReads {
    std::vector<ConformanceRead> responses;
    std::vector<std::string_view> keys;
};
ConformanceReads read_conformance(const std::vector<const ResponseView*>& responses);
// The row of the pairs of read responses (baseline, candidate) named by their
// index: the samples conformance_samples gives for those responses.
AxisSamples conformance_samples(const ConformanceReads& reads, std::span<const std::pair<size_t, size_t>> pairs);

}  // namespace velkin::diff
