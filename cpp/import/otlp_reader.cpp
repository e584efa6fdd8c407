#include "import/otlp_reader.hpp"

#include <charconv>
#include <cstring>
#include <optional>
#include <string>

#include "import/fields.hpp"
#include "json/reader.hpp"

namespace velkin::imports {

namespace {

// An integer written as a decimal string, or nothing.
std::optional<json::Value> decimal_int(std::string_view digits) {
    int64_t number = 0;
    auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), number);
    if (ec != std::errc() || end != digits.data() + digits.size()) return std::nullopt;
    return number >= 0 ? json::Value(static_cast<uint64_t>(number)) : json::Value(number);
}

}  // namespace

json::Value int_value(const json::Value& value) {
    if (value.type() == json::Type::UInt || value.type() == json::Type::Int) return value;
    if (const std::string* text = value.as_string()) {
        if (std::optional<json::Value> number = decimal_int(*text)) return std::move(*number);
    }
    wrong_type("intValue", "an integer or a decimal string", value);
}

json::Object to_object(RawAttributes attributes) {
    json::Object object;
    object.reserve(attributes.size());
    for (const RawAttribute& attribute : attributes)
        object.push_back({std::string(attribute.key), attribute.to_value()});
    return object;
}

namespace {

// Whether a member's name is `name`: compared in place, as the compiler does not always inline a
// view's comparison and these run for every member of the line.
template <size_t N>
bool is(std::string_view key, const char (&name)[N]) {
    return key.size() == N - 1 && std::memcmp(key.data(), name, N - 1) == 0;
}

class LineReader {
public:
    explicit LineReader(std::string_view text) : text_(text), reader_(text, sink_) {}

    void read(OtlpLine& out) {
        line_ = &out;
        object(0, [&](std::string_view key) {
            if (is(key, "resourceSpans")) {
                out.has_spans = true;
                array(key, 1, [&] { resource_spans(out); });
            } else if (is(key, "resourceLogs")) {
                out.has_logs = true;
                array(key, 1, [&] { resource_logs(out); });
            } else {
                skip(1);
            }
        });
        reader_.skip_whitespace();
        if (!reader_.at_end()) {
            reader_.advance();
            fail(reader_.fail_after(json::ErrorCode::TrailingCharacters));
        }
    }

private:
    [[noreturn]] void fail(bool) { bad_json(reader_.error()); }

    json::Value value(int depth) {
        json::Value out;
        if (!reader_.read_value(out, depth)) fail(false);
        return out;
    }

    void skip(int depth) {
        if (!reader_.skip_value(depth)) fail(false);
    }

    // Null stands for an absent member; another non-matching value is bad input.
    bool opens(char open, std::string_view key, std::string_view expected, int depth) {
        reader_.skip_whitespace();
        if (reader_.at_end()) fail(reader_.fail_here(json::ErrorCode::EofWhileParsingValue));
        if (reader_.peek() == open) return true;
        json::Value found = value(depth);
        if (!found.is_null()) wrong_type(key, expected, found);
        return false;
    }

    template <class OnKey>
    void object(int depth, OnKey&& on_key, std::string_view name = "line") {
        if (!opens('{', name, "an object", depth)) return;
        reader_.advance();
        reader_.skip_whitespace();
        if (reader_.at_end()) fail(reader_.fail_here(json::ErrorCode::EofWhileParsingObject));
        if (reader_.peek() == '}') {
            reader_.advance();
            return;
        }
        members(on_key);
    }

    // An object's members from the next key on, through its closing brace.
    template <class OnKey>
    void members(OnKey&& on_key) {
        for (;;) {
            if (reader_.peek() != '"') fail(reader_.fail_here(json::ErrorCode::KeyMustBeAString));
            std::string_view key;
            if (!reader_.read_string(key, scratch_)) fail(false);
            // A key without escapes views the line itself; only an escaped one needs a copy.
            std::string escaped;
            if (key.data() == scratch_.data()) {
                escaped.assign(key);
                key = escaped;
            }
            reader_.skip_whitespace();
            if (reader_.at_end()) fail(reader_.fail_here(json::ErrorCode::EofWhileParsingObject));
            if (reader_.peek() != ':') fail(reader_.fail_here(json::ErrorCode::ExpectedColon));
            reader_.advance();
            on_key(key);
            if (!more_members()) return;
        }
    }

    // After a member's value: false past the object's closing brace, true before the next key.
    bool more_members() {
        reader_.skip_whitespace();
        if (reader_.at_end()) fail(reader_.fail_here(json::ErrorCode::EofWhileParsingObject));
        char c = reader_.peek();
        reader_.advance();
        if (c == '}') return false;
        if (c != ',') fail(reader_.fail_after(json::ErrorCode::ExpectedObjectCommaOrEnd));
        reader_.skip_whitespace();
        if (reader_.at_end()) fail(reader_.fail_here(json::ErrorCode::EofWhileParsingValue));
        if (reader_.peek() == '}') fail(reader_.fail_here(json::ErrorCode::TrailingComma));
        return true;
    }

    template <class OnElement>
    void array(std::string_view key, int depth, OnElement&& on_element) {
        if (!opens('[', key, "an array", depth)) return;
        reader_.advance();
        reader_.skip_whitespace();
        if (reader_.at_end()) fail(reader_.fail_here(json::ErrorCode::EofWhileParsingList));
        if (reader_.peek() == ']') {
            reader_.advance();
            return;
        }
        for (;;) {
            on_element();
            reader_.skip_whitespace();
            if (reader_.at_end()) fail(reader_.fail_here(json::ErrorCode::EofWhileParsingList));
            char c = reader_.peek();
            reader_.advance();
            if (c == ']') return;
            if (c != ',') fail(reader_.fail_after(json::ErrorCode::ExpectedListCommaOrEnd));
            reader_.skip_whitespace();
            if (reader_.at_end()) fail(reader_.fail_here(json::ErrorCode::EofWhileParsingValue));
            if (reader_.peek() == ']') fail(reader_.fail_here(json::ErrorCode::TrailingComma));
        }
    }

    // A string value as a view of the line, or of its unescaped copy kept with the line.
    std::string_view stable_string() {
        std::string_view text;
        if (!reader_.read_string_onto(text, line_->unescaped)) fail(false);
        return text;
    }

    RawScalar scalar(int depth) {
        RawScalar out;
        reader_.skip_whitespace();
        if (!reader_.at_end() && reader_.peek() == '"') {
            out.is_string = true;
            out.text = stable_string();
        } else {
            out.value = value(depth);
        }
        return out;
    }

    // Whether the line holds `expected` from offset `at` on (`at` is at most the line's length).
    bool text_at(size_t at, std::string_view expected) const {
        return text_.size() - at >= expected.size() &&
               std::memcmp(text_.data() + at, expected.data(), expected.size()) == 0;
    }

    // The end of the string whose text starts at `start` when it holds no escape, else npos.
    size_t plain_string_end(size_t start) const {
        size_t end = json::detail::skip_plain_string_bytes(text_.data(), start, text_.size());
        while (end < text_.size() && !json::detail::is_string_special(text_[end])) ++end;
        return end < text_.size() && text_[end] == '"' ? end : std::string_view::npos;
    }

    // The forms exporters write, {"key":"...","value":{"stringValue":"..."}} or {..."intValue":"5"}}
    // without spaces, read up to the attribute object's end; or nothing read and false.
    bool plain_attribute(RawAttribute& entry, int depth) {
        constexpr std::string_view OPEN = "{\"key\":\"", STRING = ",\"value\":{\"stringValue\":\"",
                                   INTEGER = ",\"value\":{\"intValue\":\"";
        if (!text_at(reader_.offset(), OPEN)) return false;
        size_t key_start = reader_.offset() + OPEN.size();
        size_t key_end = plain_string_end(key_start);
        if (key_end == std::string_view::npos) return false;
        bool is_string = text_at(key_end + 1, STRING);
        size_t integer_end = std::string_view::npos;
        if (!is_string) {
            if (!text_at(key_end + 1, INTEGER)) return false;
            integer_end = plain_string_end(key_end + 1 + INTEGER.size());
            if (integer_end == std::string_view::npos) return false;
        }
        entry.key = text_.substr(key_start, key_end - key_start);
        try {
            if (is_string) {
                // The cursor onto the value's opening quote.
                reader_.seek(key_end + STRING.size());
                entry.text = stable_string();
                entry.is_string = true;
                entry.value = json::Value();
            } else {
                size_t digits = key_end + 1 + INTEGER.size();
                reader_.seek(integer_end + 1);
                entry.is_string = false;
                std::string_view text = text_.substr(digits, integer_end - digits);
                std::optional<json::Value> number = decimal_int(text);
                entry.value = number ? std::move(*number) : int_value(json::Value(std::string(text)));
            }
            while (more_members()) skip_member(depth + 2);  // an AnyValue holds one member
        } catch (BadInput& bad) {
            bad.message = "attribute `" + std::string(entry.key) + "`: " + bad.message;
            throw;
        }
        return true;
    }

    // A member after the first of an AnyValue, read and dropped.
    void skip_member(int depth) {
        if (reader_.peek() != '"') fail(reader_.fail_here(json::ErrorCode::KeyMustBeAString));
        std::string_view key;
        if (!reader_.read_string(key, scratch_)) fail(false);
        reader_.skip_whitespace();
        if (reader_.at_end()) fail(reader_.fail_here(json::ErrorCode::EofWhileParsingObject));
        if (reader_.peek() != ':') fail(reader_.fail_here(json::ErrorCode::ExpectedColon));
        reader_.advance();
        skip(depth);
    }

    // An AnyValue read straight into its plain value: a string builds nothing.
    void any(int depth, RawAttribute& out) {
        out.is_string = false;
        out.value = json::Value();
        bool seen = false;
        object(
            depth,
            [&](std::string_view key) {
                if (seen) return skip(depth + 1);  // an AnyValue holds one member
                seen = true;
                reader_.skip_whitespace();
                if (is(key, "stringValue") && !reader_.at_end() && reader_.peek() == '"') {
                    out.text = stable_string();
                    out.is_string = true;
                    return;
                }
                if (is(key, "intValue")) {
                    out.value = int_value(value(depth + 1));
                    return;
                }
                out.value = whole_json_first(depth + 1, [&] { return member_value(key, depth + 1); });
            },
            "value");
    }

    // An AnyValue ({"stringValue": ...}, {"intValue": "5"}, arrayValue, kvlistValue, ...) is read straight
    // into its plain value, building no wrapper, with the meaning of the JSON object it is: a repeated
    // member counts with its last value, at its first place. So a member's value is read on trust, and
    // what it would fail for is kept until no later member replaces it. A value judged wrong is
    // refused only once all of it is known to be JSON: bad JSON is what a reader reports first.
    template <class Read>
    json::Value whole_json_first(int depth, Read&& read) {
        reader_.skip_whitespace();
        size_t start = reader_.offset();
        try {
            return read();
        } catch (const BadInput&) {
            reader_.seek(start);
            skip(depth);  // throws for bad JSON
            throw;
        }
    }

    // A member's value read by `read` into `out`; what `read` fails for is kept in `failure`, the
    // value skipped, and dropped when a later member of the same name replaces this one.
    template <class Read>
    void tentatively(json::Value& out, std::optional<BadInput>& failure, int depth, Read&& read) {
        reader_.skip_whitespace();
        size_t start = reader_.offset();
        try {
            out = read();
            failure.reset();
        } catch (BadInput& bad) {
            failure = std::move(bad);
            reader_.seek(start);
            skip(depth);
        }
    }

    // The members of the object at `depth` under the cursor, each key given to `on_key` with the cursor
    // on its value; false, nothing read, when no object opens there.
    template <class OnKey>
    bool object_members(int depth, OnKey&& on_key) {
        reader_.skip_whitespace();
        if (reader_.at_end() || reader_.peek() != '{') return false;
        if (depth >= json::MAX_NESTING) value(depth);  // fails as the JSON reader does
        reader_.advance();
        reader_.skip_whitespace();
        if (reader_.at_end()) fail(reader_.fail_here(json::ErrorCode::EofWhileParsingObject));
        if (reader_.peek() == '}') {
            reader_.advance();
            return true;
        }
        members(on_key);
        return true;
    }

    // A string value copied out: what may be read again must not grow the line's buffer, which others view.
    std::string owned_string() {
        std::string_view text;
        if (!reader_.read_string(text, scratch_)) fail(false);
        return std::string(text);
    }

    bool at_null() {
        reader_.skip_whitespace();
        return !reader_.at_end() && reader_.peek() == 'n';
    }

    // The AnyValue object at the cursor.
    json::Value any_object(int depth) {
        json::Value out;
        std::optional<BadInput> failure;
        std::string first;
        bool seen = false;
        bool is_object = object_members(depth, [&](std::string_view key) {
            if (!seen) {
                seen = true;
                first.assign(key);
            } else if (key != first) {
                return skip(depth + 1);  // an AnyValue holds one member
            }
            tentatively(out, failure, depth + 1, [&] { return member_value(first, depth + 1); });
        });
        if (!is_object) wrong_type("value", "an AnyValue object", value(depth));
        if (failure) throw std::move(*failure);
        return out;
    }

    // The plain value of AnyValue member `key`, whose value is at the cursor.
    json::Value member_value(std::string_view key, int depth) {
        if (is(key, "stringValue") || is(key, "bytesValue")) {
            reader_.skip_whitespace();
            if (!reader_.at_end() && reader_.peek() == '"') return json::Value(owned_string());
            wrong_type(key, "a string", value(depth));
        }
        if (is(key, "arrayValue") || is(key, "kvlistValue")) return list_value(key, depth);
        if (is(key, "intValue")) return int_value(value(depth));
        if (is(key, "doubleValue")) {
            json::Value number = value(depth);
            if (number.is_number()) return json::Value(*number.as_double());
            if (const std::string* text = number.as_string()) {
                // The JSON mapping writes non-finite doubles as strings; JSON has no place for them.
                if (*text == "NaN" || *text == "Infinity" || *text == "-Infinity") return json::Value();
            }
            wrong_type("doubleValue", "a number", number);
        }
        if (is(key, "boolValue")) {
            json::Value flag = value(depth);
            if (!flag.as_bool()) wrong_type("boolValue", "a boolean", flag);
            return flag;
        }
        bad_input("field `" + std::string(key) +
                  "`: expected an AnyValue member (stringValue, intValue, doubleValue, boolValue, "
                  "bytesValue, arrayValue or kvlistValue)");
    }

    // The object of an arrayValue or kvlistValue at the cursor: {"values": [...]}.
    json::Value list_value(std::string_view key, int depth) {
        const bool list = is(key, "arrayValue");
        json::Value out = list ? json::Value(json::Array{}) : json::Value(json::Object{});
        std::optional<BadInput> failure;
        bool is_object = object_members(depth, [&](std::string_view member) {
            if (!is(member, "values")) return skip(depth + 1);
            tentatively(out, failure, depth + 1, [&] {
                json::Array elements;
                json::Object members;
                if (at_null()) {
                    value(depth + 1);
                } else {
                    if (depth + 1 >= json::MAX_NESTING && !reader_.at_end() && reader_.peek() == '[') value(depth + 1);
                    array("values", depth + 1, [&] {
                        if (list)
                            elements.push_back(any_object(depth + 2));
                        else
                            key_value(members, depth + 2);
                    });
                }
                return list ? json::Value(std::move(elements)) : json::Value(std::move(members));
            });
        });
        if (!is_object) wrong_type(key, "an object with `values`", value(depth));
        if (failure) throw std::move(*failure);
        return out;
    }

    // {"key": "...", "value": AnyValue} of a kvlistValue, set into `members`.
    void key_value(json::Object& members, int depth) {
        std::optional<json::Value> key;  // the last one; null counts as none
        json::Value plain;
        std::optional<BadInput> failure;
        bool is_object = object_members(depth, [&](std::string_view member) {
            if (is(member, "key")) {
                reader_.skip_whitespace();
                key = !reader_.at_end() && reader_.peek() == '"' ? json::Value(owned_string()) : value(depth + 1);
            } else if (is(member, "value")) {
                tentatively(plain, failure, depth + 1,
                            [&] { return at_null() ? value(depth + 1) : any_object(depth + 1); });
            } else {
                skip(depth + 1);
            }
        });
        if (!is_object) wrong_type("kvlistValue", "key/value objects", value(depth));
        if (!key || key->is_null()) bad_input("field `key`: expected a string, found nothing");
        if (!key->as_string()) wrong_type("key", "a string", *key);
        if (failure) throw std::move(*failure);
        json::object_set(members, std::move(*std::get_if<std::string>(&key->data)), std::move(plain));
    }

    // [{"key": ..., "value": AnyValue}, ...]
    AttributeRun attributes(int depth) {
        std::vector<RawAttribute>& out = line_->attributes;
        AttributeRun run{out.size(), 0};
        array("attributes", depth, [&] {
            RawAttribute entry;
            bool has_key = false;
            auto on_member = [&](std::string_view member) {
                if (is(member, "key")) {
                    reader_.skip_whitespace();
                    if (reader_.at_end() || reader_.peek() != '"') {
                        json::Value k = value(depth + 2);
                        wrong_type("key", "a string", k);
                    }
                    entry.key = stable_string();
                    has_key = true;
                } else if (is(member, "value")) {
                    try {
                        any(depth + 2, entry);
                    } catch (BadInput& bad) {
                        bad.message = "attribute `" + std::string(entry.key) + "`: " + bad.message;
                        throw;
                    }
                } else {
                    skip(depth + 2);
                }
            };
            if (plain_attribute(entry, depth + 1)) {
                has_key = true;
                if (more_members()) members(on_member);
            } else {
                object(depth + 1, on_member, "attributes");
            }
            if (!has_key) bad_input("field `key`: expected a string, found nothing");
            out.push_back(std::move(entry));
        });
        run.count = out.size() - run.begin;
        return run;
    }

    void resource_spans(OtlpLine& out) {
        size_t resource = out.resources.size();
        out.resources.emplace_back();
        object(
            2,
            [&](std::string_view key) {
                if (is(key, "resource")) {
                    object(
                        3,
                        [&](std::string_view member) {
                            if (is(member, "attributes"))
                                out.resources[resource] = attributes(4);
                            else
                                skip(4);
                        },
                        "resource");
                } else if (is(key, "scopeSpans")) {
                    array(key, 3, [&] {
                        object(
                            4,
                            [&](std::string_view member) {
                                if (is(member, "spans"))
                                    array(member, 5, [&] { span(out, resource); });
                                else
                                    skip(5);
                            },
                            "scopeSpans");
                    });
                } else {
                    skip(3);
                }
            },
            "resourceSpans");
    }

    void span(OtlpLine& out, size_t resource) {
        RawSpan span;
        span.resource = resource;
        object(
            6,
            [&](std::string_view key) {
                if (is(key, "traceId"))
                    span.trace_id = scalar(7);
                else if (is(key, "spanId"))
                    span.span_id = scalar(7);
                else if (is(key, "name"))
                    span.name = scalar(7);
                else if (is(key, "startTimeUnixNano"))
                    span.start = scalar(7);
                else if (is(key, "endTimeUnixNano"))
                    span.end = scalar(7);
                else if (is(key, "attributes"))
                    span.attributes = attributes(7);
                else if (is(key, "status")) {
                    object(
                        7,
                        [&](std::string_view member) {
                            if (is(member, "code"))
                                span.status_code = value(8);
                            else
                                skip(8);
                        },
                        "status");
                } else if (is(key, "events")) {
                    array(key, 7, [&] {
                        RawEvent event;
                        object(
                            8,
                            [&](std::string_view member) {
                                if (is(member, "name"))
                                    event.name = scalar(9);
                                else if (is(member, "timeUnixNano"))
                                    event.time = scalar(9);
                                else if (is(member, "attributes"))
                                    event.attributes = attributes(9);
                                else
                                    skip(9);
                            },
                            "events");
                        span.events.push_back(std::move(event));
                    });
                } else {
                    skip(7);
                }
            },
            "spans");
        out.spans.push_back(std::move(span));
    }

    void resource_logs(OtlpLine& out) {
        object(
            2,
            [&](std::string_view key) {
                if (!is(key, "scopeLogs")) return skip(3);
                array(key, 3, [&] {
                    object(
                        4,
                        [&](std::string_view member) {
                            if (!is(member, "logRecords")) return skip(5);
                            array(member, 5, [&] { log_record(out); });
                        },
                        "scopeLogs");
                });
            },
            "resourceLogs");
    }

    void log_record(OtlpLine& out) {
        RawEvent event;
        object(
            6,
            [&](std::string_view key) {
                if (is(key, "traceId"))
                    event.trace_id = scalar(7);
                else if (is(key, "spanId"))
                    event.span_id = scalar(7);
                else if (is(key, "eventName"))
                    event.name = scalar(7);
                else if (is(key, "timeUnixNano"))
                    event.time = scalar(7);
                else if (is(key, "observedTimeUnixNano"))
                    event.observed_time = scalar(7);
                else if (is(key, "attributes"))
                    event.attributes = attributes(7);
                else if (is(key, "body")) {
                    reader_.skip_whitespace();
                    if (!reader_.at_end() && reader_.peek() == 'n') {
                        value(7);  // null: no body
                    } else {
                        event.body = whole_json_first(7, [&] { return any_object(7); });
                    }
                } else {
                    skip(7);
                }
            },
            "logRecords");
        out.logs.push_back(std::move(event));
    }

    std::string_view text_;
    json::ValueSink sink_;
    json::Reader<json::ValueSink> reader_;
    std::string scratch_;
    OtlpLine* line_ = nullptr;
};

}  // namespace

void read_otlp_line(std::string_view text, OtlpLine& out) {
    out.has_spans = out.has_logs = false;
    out.resources.clear();
    out.spans.clear();
    out.logs.clear();
    out.unescaped.clear();
    out.attributes.clear();
    out.unescaped.reserve(text.size());
    LineReader(text).read(out);
}

}  // namespace velkin::imports
