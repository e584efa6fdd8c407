#include "agentlog/parser.hpp"

namespace velkin::agentlog {

std::string ParseError::message() const {
    switch (variant) {
        case Variant::Io:
            return "io error on line " + std::to_string(line) +
                   ": stream did not contain valid UTF-8\nhint: check that the file is readable and not truncated "
                   "mid-line";
        case Variant::Parse:
            return "parse error on line " + std::to_string(line) + ": " + decode.message() +
                   "\nhint: verify the record matches the envelope schema (SPEC §3)";
        case Variant::LineTooLong:
            return "line " + std::to_string(line) + " exceeds byte limit (" + std::to_string(read) + " > " +
                   std::to_string(limit) + ")\nhint: raise via Parser::with_max_line_bytes or check for corrupt input";
        case Variant::TraceTooLarge:
            return "trace exceeds total byte limit (" + std::to_string(total) + " > " + std::to_string(limit) +
                   ")\nhint: raise via Parser::with_max_total_bytes or split the trace";
    }
    return {};
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
