#pragma once
// Importing traces that other tools wrote (OpenTelemetry OTLP JSON, OpenAI and
// Anthropic request/response logs, tau-bench result files) as .agentlog lines.
// Inputs are read document by document (a line, or an element of a top-level
// array); only the output records are held in memory.
#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/result.hpp"

namespace velkin::imports {

enum class Format : uint8_t { Otlp, OpenAi, Anthropic, TauBench };

std::string_view format_name(Format format);
std::optional<Format> format_from_name(std::string_view name);
// "otlp, openai, anthropic, tau-bench"
std::string format_names();

struct Input {
    std::string name;  // as the user named it, for messages
    std::string_view text;
};

// The format of one input, from its first document.
Result<Format> detect_format(const Input& input);

// Values stored otherwise than the input gave them (a count that contradicts another, a span
// that ends before it starts), each said in one line naming where, the value and what was stored.
struct Warnings {
    static constexpr size_t KEPT = 20;  // in full; the rest are counted
    std::vector<std::string> kept;
    uint64_t count = 0;

    void add(std::string message);
    // `other`'s after this one's.
    void absorb(Warnings&& other);
};

struct Summary {
    std::vector<Format> formats;  // per input, as given or detected
    uint64_t conversations = 0;
    uint64_t records = 0;
    // Spans the importer does not map, by their kind (e.g. "embeddings", "span without gen_ai attributes").
    std::map<std::string, uint64_t> skipped;
    // Model responses imported without their message texts (the instrumentation captured none).
    uint64_t responses_without_content = 0;
    // Model responses that name no model: their cost cannot be priced.
    uint64_t responses_without_model = 0;
    Warnings warnings;
};

struct Imported {
    // The .agentlog text in pieces, two per conversation: its metadata line, then its other lines
    // (each conversation is written on its own; the pieces go out in order, never joined here).
    std::vector<std::string> pieces;
    Summary summary;

    size_t size() const;
    std::string joined() const;
};

// All inputs into one trace file. With `format` every input is read as that format;
// otherwise each is detected. The first bad document fails the whole import with
// "{input}:{line}: {what}".
Result<Imported> import_inputs(std::span<const Input> inputs, std::optional<Format> format);

}  // namespace velkin::imports
