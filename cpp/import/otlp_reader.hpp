#pragma once
// Reading one OTLP JSON line straight from its text: the request's envelope
// (resources, scopes) is walked without building it, and only what the
// importer maps is built: ids, times, names, status, and attribute and body
// values already taken out of their AnyValue wrappers.
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "json/value.hpp"

namespace velkin::imports {

// A scalar member or attribute value as read. Strings (nearly all of them) stay views of
// the line, or of their unescaped copy in OtlpLine::unescaped; other values are built.
struct RawScalar {
    bool is_string = false;
    std::string_view text;  // the value when is_string
    json::Value value;      // the value otherwise; null when absent

    bool is_null() const { return !is_string && value.is_null(); }
    json::Value to_value() const { return is_string ? json::Value(std::string(text)) : value; }
};

struct RawAttribute : RawScalar {
    std::string_view key;
};
using RawAttributes = std::span<const RawAttribute>;
// The attributes of a resource, span, event or record: a run of OtlpLine::attributes.
struct AttributeRun {
    size_t begin = 0, count = 0;
};

// The attributes as one JSON object, in input order.
json::Object to_object(RawAttributes attributes);

// Scalar members are kept as read (null when absent) so the mapper checks their types.
struct RawEvent {
    RawScalar trace_id, span_id;  // log records only
    RawScalar name;               // span events: "name"; log records: "eventName"
    RawScalar time, observed_time;
    AttributeRun attributes;
    json::Value body;  // log records only
};

struct RawSpan {
    RawScalar trace_id, span_id, name, start, end;
    json::Value status_code;
    AttributeRun attributes;
    std::vector<RawEvent> events;
    size_t resource = 0;  // index into OtlpLine::resources
};

struct OtlpLine {
    bool has_spans = false, has_logs = false;
    std::vector<AttributeRun> resources;  // resource attributes, per resourceSpans entry
    std::vector<RawSpan> spans;
    std::vector<RawEvent> logs;
    // Every attribute of the line, each list a run of them: one buffer, kept from line to line.
    std::vector<RawAttribute> attributes;
    RawAttributes of(AttributeRun run) const { return RawAttributes(attributes).subspan(run.begin, run.count); }
    // String values that held escapes, unescaped, one after the other; what views them lives no
    // longer than the line. Unescaping only shortens a string, so with the line's length reserved
    // the buffer never moves while the line is read.
    std::string unescaped;
};

// `text` must outlive `out`; what `out` held before is dropped, its buffers kept. Throws BadInput for bad JSON
// ("invalid JSON: ... at column N") or members of the wrong type.
void read_otlp_line(std::string_view text, OtlpLine& out);

// Integers that travel as decimal strings.
json::Value int_value(const json::Value& value);

}  // namespace velkin::imports
