#include "import/documents.hpp"

#include <algorithm>

#include "import/fields.hpp"
#include "platform/interrupt.hpp"
#include "text/utf8.hpp"

namespace velkin::imports {

namespace {

constexpr std::string_view BYTE_ORDER_MARK = "\xEF\xBB\xBF";

void require_utf8(std::string_view text) {
    if (!text::is_valid_utf8(text)) bad_input("not valid UTF-8");
}

}  // namespace

Documents::Documents(std::string_view text) : text_(text) {
    if (text_.substr(0, BYTE_ORDER_MARK.size()) == BYTE_ORDER_MARK) pos_ = BYTE_ORDER_MARK.size();
    size_t first = pos_;
    while (first < text_.size() && json::detail::is_json_whitespace(text_[first])) ++first;
    if (first < text_.size() && text_[first] == '[') {
        array_.emplace(text_, sink_);
        while (array_->offset() <= first) array_->advance();
    }
}

void Documents::count_lines_to(size_t offset) {
    line_ += static_cast<uint64_t>(std::count(text_.begin() + static_cast<ptrdiff_t>(counted_to_),
                                              text_.begin() + static_cast<ptrdiff_t>(offset), '\n'));
    counted_to_ = offset;
}

uint64_t Documents::line() {
    count_lines_to(document_start_);
    return line_;
}

bool Documents::next(json::Value& document) {
    if (finished_) return false;
    platform::check_interrupt();
    if (array_)
        return next_element([&](json::Reader<json::ValueSink>& reader) { return reader.read_value(document, 1); });
    std::string_view line;
    if (!next_line(line)) return false;
    auto parsed = json::parse_document(line);
    if (!parsed) bad_json(parsed.error());
    document = std::move(parsed).value();
    return true;
}

bool Documents::next_text(std::string_view& text) {
    if (finished_) return false;
    platform::check_interrupt();
    if (!array_) return next_line(text);
    size_t start = 0, end = 0;
    bool found = next_element([&](json::Reader<json::ValueSink>& reader) {
        start = reader.offset();
        bool read = reader.skip_value(1);
        end = reader.offset();
        return read;
    });
    // The element alone: the reader has moved on past the comma that follows it.
    if (found) text = text_.substr(start, end - start);
    return found;
}

bool Documents::next_line(std::string_view& out) {
    while (pos_ < text_.size()) {
        size_t end = text_.find('\n', pos_);
        if (end == std::string_view::npos) end = text_.size();
        std::string_view line = text_.substr(pos_, end - pos_);
        document_start_ = pos_;
        pos_ = std::min(end + 1, text_.size());
        while (!line.empty() && json::detail::is_json_whitespace(line.back())) line.remove_suffix(1);
        if (line.find_first_not_of(" \t") == std::string_view::npos) continue;
        require_utf8(line);
        out = line;
        return true;
    }
    finished_ = true;
    return false;
}

template <class Read>
bool Documents::next_element(Read&& read) {
    json::Reader<json::ValueSink>& reader = *array_;
    reader.skip_whitespace();
    document_start_ = reader.offset();
    if (reader.at_end()) bad_input("invalid JSON: EOF while parsing a list");
    if (reader.peek() == ']') {
        reader.advance();
        reader.skip_whitespace();
        if (!reader.at_end()) bad_input("invalid JSON: trailing characters after the array");
        finished_ = true;
        return false;
    }
    size_t start = reader.offset();
    if (!read(reader)) bad_input("invalid JSON: " + reader.error().message());
    require_utf8(text_.substr(start, reader.offset() - start));
    reader.skip_whitespace();
    if (reader.at_end()) bad_input("invalid JSON: EOF while parsing a list");
    if (reader.peek() == ',') {
        reader.advance();
        reader.skip_whitespace();
        if (!reader.at_end() && reader.peek() == ']') bad_input("invalid JSON: trailing comma");
    } else if (reader.peek() != ']') {
        bad_input("invalid JSON: expected `,` or `]` after an element");
    }
    return true;
}

}  // namespace velkin::imports
