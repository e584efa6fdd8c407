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
    // The next document's text, checked for UTF-8 only, for readers of their own.
    bool next_text(std::string_view& text);
    bool is_array() const { return array_.has_value(); }
    // The line the last document starts on (1-based); counted only when asked, for messages.
    uint64_t line();

private:
    bool next_line(std::string_view& line);
    template <class Read>
    bool next_element(Read&& read);
    void count_lines_to(size_t offset);

    std::string_view text_;
    size_t pos_ = 0;
    json::ValueSink sink_;
    std::optional<json::Reader<json::ValueSink>> array_;  // set when the input is one JSON array
    bool finished_ = false;
    size_t document_start_ = 0;
    uint64_t line_ = 1;
    size_t counted_to_ = 0;  // line_ is the line of this offset
};

}  // namespace velkin::imports
