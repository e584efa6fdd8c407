#pragma once
// The .agentlog line parser: strict, fail-fast, bounded per line and per trace.
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "agentlog/record.hpp"
#include "agentlog/record_text.hpp"
#include "text/utf8.hpp"

namespace velkin::agentlog {

struct ParseError {
    enum class Variant : uint8_t { Io, Parse, LineTooLong, TraceTooLarge };
    Variant variant = Variant::Parse;
    uint64_t line = 0;
    uint64_t read = 0;   // LineTooLong: bytes read for the line
    uint64_t total = 0;  // TraceTooLarge: bytes read so far
    uint64_t limit = 0;
    json::ReadError decode;  // Parse: why the line is not a record, and where

    std::string message() const;
};

struct Parser {
    uint64_t max_line_bytes = 16777216;
    uint64_t max_total_bytes = 1073741824;

    // Limits of at most UINT64_MAX - 1 bytes per line: one byte more than the limit is read.
    Parser with_max_line_bytes(uint64_t limit) const {
        Parser copy = *this;
        copy.max_line_bytes = limit;
        return copy;
    }
    Parser with_max_total_bytes(uint64_t limit) const {
        Parser copy = *this;
        copy.max_total_bytes = limit;
        return copy;
    }
};

// Iterates over the records of one input. Lines are views into the input,
// which is read once front to back; nothing beyond one line is held. An input
// may come in pieces of whole lines (`resume`), its line numbers and byte
// limits counting on across them.
template <class Sink>
class RecordLines {
public:
    using Record = BasicRecord<typename Sink::Value>;
    enum class Step : uint8_t { Record, Error, End };

    RecordLines(const Parser& parser, std::string_view input, Sink& sink, Unbuilt unbuilt = {})
        : input_(input), limits_(parser), sink_(sink), unbuilt_(unbuilt) {}

    // Where the last record's line lies in the input, its line ending included.
    size_t line_offset() const { return line_offset_; }
    size_t line_length() const { return position_ - line_offset_; }
    // Where its payload's value starts in its line.
    size_t payload_offset() const { return payload_offset_; }

    // Goes on with the input's next piece once the last has been read to its end.
    void resume(std::string_view input) {
        input_ = input;
        position_ = 0;
        finished_ = false;
    }

    // The next record, decoded into `record` where it lies.
    Step next(Record& record, ParseError& error) {
        while (!finished_) {
            size_t available = input_.size() - position_;
            if (available == 0) {
                finished_ = true;
                return Step::End;
            }
            ++line_number_;
            uint64_t window_limit = limits_.max_line_bytes + 1;
            size_t window = available < window_limit ? available : static_cast<size_t>(window_limit);
            line_offset_ = position_;
            const char* start = input_.data() + position_;
            const void* newline = std::memchr(start, '\n', window);
            size_t taken = newline ? static_cast<size_t>(static_cast<const char*>(newline) - start) + 1 : window;
            std::string_view line(start, taken);
            position_ += taken;

            if (!text::is_valid_utf8(line)) {
                return fail(error, ParseError{ParseError::Variant::Io, line_number_, 0, 0, 0, {}});
            }
            total_ = total_ + taken < total_ ? UINT64_MAX : total_ + taken;
            if (taken > limits_.max_line_bytes) {
                return fail(
                    error,
                    ParseError{ParseError::Variant::LineTooLong, line_number_, taken, 0, limits_.max_line_bytes, {}});
            }
            if (total_ > limits_.max_total_bytes) {
                return fail(error,
                            ParseError{ParseError::Variant::TraceTooLarge, 0, 0, total_, limits_.max_total_bytes, {}});
            }
            while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.remove_suffix(1);
            if (line.empty()) continue;

            record = Record();
            RecordTextDecoder<Sink> decoder(line, sink_, unbuilt_);
            if (!decoder.decode_into(record)) {
                return fail(error, ParseError{ParseError::Variant::Parse, line_number_, 0, 0, 0, decoder.error()});
            }
            payload_offset_ = decoder.payload_offset();
            return Step::Record;
        }
        return Step::End;
    }

private:
    Step fail(ParseError& out, ParseError error) {
        finished_ = true;
        out = std::move(error);
        return Step::Error;
    }

    std::string_view input_;
    size_t position_ = 0;
    size_t line_offset_ = 0;
    size_t payload_offset_ = 0;
    uint64_t line_number_ = 0;
    uint64_t total_ = 0;
    Parser limits_;
    Sink& sink_;
    Unbuilt unbuilt_;
    bool finished_ = false;
};

// All records of the input as json::Value records, or the first error.
std::variant<std::vector<agentlog::Record>, ParseError> parse_records(const Parser& parser, std::string_view input);

}  // namespace velkin::agentlog
