#pragma once
// The documents of an input: the lines of JSON Lines, or the elements of one
// top-level JSON array, each parsed on its own.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "json/reader.hpp"
#include "json/value.hpp"

namespace velkin::imports {

class Documents {
public:
    explicit Documents(std::string_view text);
    // The next document, or false at the end; bad JSON or bad UTF-8 throws BadInput.
    bool next(json::Value& document);
    // The line the last document starts on (1-based).
    uint64_t line() const { return line_; }

private:
    bool next_line(json::Value& document);
    bool next_element(json::Value& document);
    void count_lines_to(size_t offset);

    std::string_view text_;
    size_t pos_ = 0;
    json::ValueSink sink_;
    std::optional<json::Reader<json::ValueSink>> array_;  // set when the input is one JSON array
    bool finished_ = false;
    uint64_t line_ = 1;
    size_t counted_to_ = 0;  // line_ is the line of this offset
};

}  // namespace velkin::imports
