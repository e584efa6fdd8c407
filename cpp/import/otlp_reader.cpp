#include "import/otlp_reader.hpp"

#include <charconv>
#include <optional>
#include <string>

#include "import/fields.hpp"
#include "json/reader.hpp"

namespace velkin::imports {

json::Value int_value(const json::Value& value) {
    if (value.type() == json::Type::UInt || value.type() == json::Type::Int) return value;
    if (const std::string* text = value.as_string()) {
        int64_t number = 0;
        auto [end, ec] = std::from_chars(text->data(), text->data() + text->size(), number);
        if (ec == std::errc() && end == text->data() + text->size())
            return number >= 0 ? json::Value(static_cast<uint64_t>(number)) : json::Value(number);
    }
    wrong_type("intValue", "an integer or a decimal string", value);
}

json::Value any_value(json::Value& wrapped) {
    json::Object* object = wrapped.as_object();
    if (!object) wrong_type("value", "an AnyValue object", wrapped);
    if (object->empty()) return json::Value();
    json::Member& only = object->front();
    json::Value& value = only.value;
    if (only.key == "stringValue" || only.key == "bytesValue") {
        if (!value.as_string()) wrong_type(only.key, "a string", value);
        return std::move(value);
    }
    if (only.key == "intValue") return int_value(value);
    if (only.key == "doubleValue") {
        if (value.is_number()) return json::Value(*value.as_double());
        if (const std::string* text = value.as_string()) {
            // The JSON mapping writes non-finite doubles as strings; JSON has no place for them.
            if (*text == "NaN" || *text == "Infinity" || *text == "-Infinity") return json::Value();
        }
        wrong_type("doubleValue", "a number", value);
    }
    if (only.key == "boolValue") {
        if (!value.as_bool()) wrong_type("boolValue", "a boolean", value);
        return value;
    }
    if (only.key == "arrayValue" || only.key == "kvlistValue") {
        bool list = only.key == "arrayValue";
        if (!value.as_object()) wrong_type(only.key, "an object with `values`", value);
        json::Value* values = const_cast<json::Value*>(member(value, "values"));
        if (values && !values->as_array()) wrong_type("values", "an array", *values);
        json::Array elements;
        json::Object members;
        if (values) {
            for (json::Value& element : *values->as_array()) {
                if (list) {
                    elements.push_back(any_value(element));
                    continue;
                }
                if (!element.as_object()) wrong_type("kvlistValue", "key/value objects", element);
                std::string key = required_string(element, "key");
                json::Value* inner = const_cast<json::Value*>(member(element, "value"));
                json::object_set(members, std::move(key), inner ? any_value(*inner) : json::Value());
            }
        }
        return list ? json::Value(std::move(elements)) : json::Value(std::move(members));
    }
    bad_input("field `" + only.key +
              "`: expected an AnyValue member (stringValue, intValue, doubleValue, boolValue, "
              "bytesValue, arrayValue or kvlistValue)");
}

json::Object to_object(RawAttributes attributes) {
    json::Object object;
    object.reserve(attributes.size());
    for (const RawAttribute& attribute : attributes)
        object.push_back({std::string(attribute.key), attribute.to_value()});
    return object;
}

namespace {

class LineReader {
public:
    explicit LineReader(std::string_view text) : text_(text), reader_(text, sink_) {}

    void read(OtlpLine& out) {
        line_ = &out;
        object(0, [&](std::string_view key) {
            if (key == "resourceSpans") {
                out.has_spans = true;
                array(key, 1, [&] { resource_spans(out); });
            } else if (key == "resourceLogs") {
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
        if (!text_.substr(reader_.offset()).starts_with(OPEN)) return false;
        size_t key_start = reader_.offset() + OPEN.size();
        size_t key_end = plain_string_end(key_start);
        if (key_end == std::string_view::npos) return false;
        std::string_view rest = text_.substr(key_end + 1);
        bool is_string = rest.starts_with(STRING);
        size_t integer_end = std::string_view::npos;
        if (!is_string) {
            if (!rest.starts_with(INTEGER)) return false;
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
                entry.value = int_value(json::Value(std::string(text_.substr(digits, integer_end - digits))));
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
                if (key == "stringValue" && !reader_.at_end() && reader_.peek() == '"') {
                    out.text = stable_string();
                    out.is_string = true;
                    return;
                }
                if (key == "intValue") {
                    out.value = int_value(value(depth + 1));
                    return;
                }
                out.value = plain_member(key, depth + 1);
            },
            "value");
    }

    // Structured AnyValues (arrayValue, kvlistValue) are read straight into their plain value,
    // building no wrapper. What any_value would refuse, or read another way (a repeated member
    // merges into the first), is read again as a whole and unwrapped by any_value, so results
    // and messages are those of any_value.
    struct ReadAgain {};

    json::Value plain_any_or_again(int depth) {
        reader_.skip_whitespace();
        size_t start = reader_.offset();
        try {
            return plain_any(depth);
        } catch (const BadInput&) {
        } catch (const ReadAgain&) {
        }
        reader_.seek(start);
        json::Value wrapped = value(depth);
        return any_value(wrapped);
    }

    // The plain value of AnyValue member `key`, whose value is at the cursor.
    json::Value plain_member(std::string_view key, int depth) {
        if (key == "arrayValue" || key == "kvlistValue") {
            reader_.skip_whitespace();
            size_t start = reader_.offset();
            try {
                return plain_list(key == "arrayValue", depth);
            } catch (const BadInput&) {
            } catch (const ReadAgain&) {
            }
            reader_.seek(start);
        }
        json::Object members;
        members.push_back({std::string(key), value(depth)});
        json::Value wrapper(std::move(members));
        return any_value(wrapper);
    }

    // An object or array opening at `depth`, as the JSON reader checks it.
    void opening(char open, int depth) {
        reader_.skip_whitespace();
        if (reader_.at_end() || reader_.peek() != open || depth >= json::MAX_NESTING) throw ReadAgain{};
    }

    // The members of the object at the cursor, each key given to `on_key` with the cursor on its value.
    template <class OnKey>
    void each_member(int depth, OnKey&& on_key) {
        opening('{', depth);
        reader_.advance();
        reader_.skip_whitespace();
        if (reader_.at_end()) throw ReadAgain{};
        if (reader_.peek() == '}') {
            reader_.advance();
            return;
        }
        members(on_key);
    }

    // A string value copied out: what is read again must not grow the line's buffer, which others view.
    std::string owned_string() {
        std::string_view text;
        if (!reader_.read_string(text, scratch_)) fail(false);
        return std::string(text);
    }

    // {"stringValue": ...} or another AnyValue at the cursor.
    json::Value plain_any(int depth) {
        json::Value out;
        std::string first;
        bool seen = false;
        each_member(depth, [&](std::string_view key) {
            if (seen) {
                if (key == first) throw ReadAgain{};
                return skip(depth + 1);
            }
            seen = true;
            first.assign(key);
            reader_.skip_whitespace();
            if (first == "stringValue" && !reader_.at_end() && reader_.peek() == '"') {
                out = json::Value(owned_string());
                return;
            }
            out = first == "arrayValue" || first == "kvlistValue" ? plain_list(first == "arrayValue", depth + 1)
                                                                  : plain_member(first, depth + 1);
        });
        return out;
    }

    // The object of an arrayValue or kvlistValue at the cursor: {"values": [...]}.
    json::Value plain_list(bool list, int depth) {
        json::Array elements;
        json::Object members;
        bool seen = false;
        each_member(depth, [&](std::string_view key) {
            if (key != "values") return skip(depth + 1);
            if (seen) throw ReadAgain{};
            seen = true;
            reader_.skip_whitespace();
            if (!reader_.at_end() && reader_.peek() == 'n') {
                if (!value(depth + 1).is_null()) throw ReadAgain{};
                return;
            }
            opening('[', depth + 1);
            array(key, depth + 1, [&] {
                if (list) {
                    elements.push_back(plain_any(depth + 2));
                } else {
                    key_value(members, depth + 2);
                }
            });
        });
        return list ? json::Value(std::move(elements)) : json::Value(std::move(members));
    }

    // {"key": "...", "value": AnyValue} of a kvlistValue, set into `members`.
    void key_value(json::Object& members, int depth) {
        std::optional<std::string> key;
        json::Value plain;
        bool seen_value = false;
        each_member(depth, [&](std::string_view member) {
            if (member == "key") {
                reader_.skip_whitespace();
                if (key || reader_.at_end() || reader_.peek() != '"') throw ReadAgain{};
                key.emplace(owned_string());
            } else if (member == "value") {
                if (seen_value) throw ReadAgain{};
                seen_value = true;
                reader_.skip_whitespace();
                if (!reader_.at_end() && reader_.peek() == 'n') {
                    if (!value(depth + 1).is_null()) throw ReadAgain{};
                    return;
                }
                plain = plain_any(depth + 1);
            } else {
                skip(depth + 1);
            }
        });
        if (!key) throw ReadAgain{};
        json::object_set(members, std::move(*key), std::move(plain));
    }

    // [{"key": ..., "value": AnyValue}, ...]
    AttributeRun attributes(int depth) {
        std::vector<RawAttribute>& out = line_->attributes;
        AttributeRun run{out.size(), 0};
        array("attributes", depth, [&] {
            RawAttribute entry;
            bool has_key = false;
            auto on_member = [&](std::string_view member) {
                if (member == "key") {
                    reader_.skip_whitespace();
                    if (reader_.at_end() || reader_.peek() != '"') {
                        json::Value k = value(depth + 2);
                        wrong_type("key", "a string", k);
                    }
                    entry.key = stable_string();
                    has_key = true;
                } else if (member == "value") {
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
                if (key == "resource") {
                    object(
                        3,
                        [&](std::string_view member) {
                            if (member == "attributes")
                                out.resources[resource] = attributes(4);
                            else
                                skip(4);
                        },
                        "resource");
                } else if (key == "scopeSpans") {
                    array(key, 3, [&] {
                        object(
                            4,
                            [&](std::string_view member) {
                                if (member == "spans")
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
                if (key == "traceId")
                    span.trace_id = scalar(7);
                else if (key == "spanId")
                    span.span_id = scalar(7);
                else if (key == "name")
                    span.name = scalar(7);
                else if (key == "startTimeUnixNano")
                    span.start = scalar(7);
                else if (key == "endTimeUnixNano")
                    span.end = scalar(7);
                else if (key == "attributes")
                    span.attributes = attributes(7);
                else if (key == "status") {
                    object(
                        7,
                        [&](std::string_view member) {
                            if (member == "code")
                                span.status_code = value(8);
                            else
                                skip(8);
                        },
                        "status");
                } else if (key == "events") {
                    array(key, 7, [&] {
                        RawEvent event;
                        object(
                            8,
                            [&](std::string_view member) {
                                if (member == "name")
                                    event.name = scalar(9);
                                else if (member == "timeUnixNano")
                                    event.time = scalar(9);
                                else if (member == "attributes")
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
                if (key != "scopeLogs") return skip(3);
                array(key, 3, [&] {
                    object(
                        4,
                        [&](std::string_view member) {
                            if (member != "logRecords") return skip(5);
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
                if (key == "traceId")
                    event.trace_id = scalar(7);
                else if (key == "spanId")
                    event.span_id = scalar(7);
                else if (key == "eventName")
                    event.name = scalar(7);
                else if (key == "timeUnixNano")
                    event.time = scalar(7);
                else if (key == "observedTimeUnixNano")
                    event.observed_time = scalar(7);
                else if (key == "attributes")
                    event.attributes = attributes(7);
                else if (key == "body") {
                    reader_.skip_whitespace();
                    if (!reader_.at_end() && reader_.peek() == 'n') {
                        value(7);  // null: no body
                    } else {
                        event.body = plain_any_or_again(7);
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
