#pragma once
// Decoding one record from a JSON text in a single left-to-right pass: the
// first error the pass meets, schema or syntax, is the one reported, with its
// position in the line. Payload and meta are built by the caller's Sink.
#include <bitset>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

#include "agentlog/record.hpp"
#include "json/reader.hpp"

namespace velkin::agentlog {

// What a reader has no use for: checked as it would be read, but not built.
// The payloads of some kinds, when the kind comes before the payload (as
// written, it always does), and envelope fields other than the id and kind.
struct Unbuilt {
    std::bitset<KIND_COUNT> payloads;
    std::bitset<FIELD_COUNT> fields;
};

template <class Sink>
class RecordTextDecoder {
public:
    using V = typename Sink::Value;

    RecordTextDecoder(std::string_view line, Sink& sink, Unbuilt unbuilt = {})
        : reader_(line, sink), unbuilt_(unbuilt) {}

    Result<BasicRecord<V>, json::ReadError> decode() {
        BasicRecord<V> record;
        if (!decode_into(record)) return error();
        return record;
    }

    // Fills `record` where it lies, which saves moving it for a caller that keeps records in place; the
    // fields this line lacks keep what `record` held, so it starts as a default one. False on failure.
    bool decode_into(BasicRecord<V>& record) {
        if (!read_record(record)) return false;
        reader_.skip_whitespace();
        if (!reader_.at_end()) return reader_.fail_here(json::ErrorCode::TrailingCharacters);
        return true;
    }
    json::ReadError error() const { return reader_.error(); }
    // Where the payload's value starts in the line, once read.
    size_t payload_offset() const { return payload_offset_; }

private:
    using Code = json::ErrorCode;

    bool read_record(BasicRecord<V>& record) {
        reader_.skip_whitespace();
        if (reader_.at_end()) return reader_.fail_here(Code::EofWhileParsingValue);
        char c = reader_.peek();
        if (c == '{') return read_map_form(record);
        if (c == '[') return read_sequence_form(record);
        return invalid_type("struct Record");
    }

    bool read_map_form(BasicRecord<V>& record) {
        reader_.advance();
        bool seen[FIELD_COUNT] = {};
        bool first = true;
        for (;;) {
            reader_.skip_whitespace();
            if (reader_.at_end()) return reader_.fail_here(Code::EofWhileParsingObject);
            char c = reader_.peek();
            if (c == '}') {
                reader_.advance();
                break;
            }
            if (!first) {
                if (c != ',') return reader_.fail_here(Code::ExpectedObjectCommaOrEnd);
                reader_.advance();
                reader_.skip_whitespace();
                if (reader_.at_end()) return reader_.fail_here(Code::EofWhileParsingValue);
                c = reader_.peek();
                if (c == '}') return reader_.fail_here(Code::TrailingComma);
            }
            first = false;
            if (c != '"') return reader_.fail_here(Code::KeyMustBeAString);
            std::string_view key;
            if (!reader_.read_string(key, key_scratch_)) return false;
            std::optional<Field> field = field_from_name(key);
            if (field) {
                size_t index = static_cast<size_t>(*field);
                if (seen[index]) return reader_.fail_custom("duplicate field `" + std::string(key) + "`");
                seen[index] = true;
            }
            if (!read_colon()) return false;
            if (field) {
                if (!read_field(*field, record)) return false;
            } else if (!reader_.skip_value(1)) {
                return false;
            }
        }
        for (Field required : REQUIRED_FIELDS)
            if (!seen[static_cast<size_t>(required)])
                return reader_.fail_custom("missing field `" + std::string(field_name(required)) + "`");
        return true;
    }

    bool read_sequence_form(BasicRecord<V>& record) {
        reader_.advance();
        for (size_t i = 0; i < FIELD_COUNT; ++i) {
            reader_.skip_whitespace();
            if (reader_.at_end()) return reader_.fail_here(Code::EofWhileParsingList);
            char c = reader_.peek();
            if (c == ']') {
                reader_.advance();
                return reader_.fail_custom("invalid length " + std::to_string(i) +
                                           ", expected struct Record with 7 elements");
            }
            if (i > 0) {
                if (c != ',') return reader_.fail_here(Code::ExpectedListCommaOrEnd);
                reader_.advance();
                reader_.skip_whitespace();
                if (reader_.at_end()) return reader_.fail_here(Code::EofWhileParsingValue);
                if (reader_.peek() == ']') return reader_.fail_here(Code::TrailingComma);
            }
            if (!read_field(static_cast<Field>(i), record)) return false;
        }
        reader_.skip_whitespace();
        if (reader_.at_end()) return reader_.fail_here(Code::EofWhileParsingList);
        char c = reader_.peek();
        if (c == ']') {
            reader_.advance();
            return true;
        }
        if (c != ',') return reader_.fail_here(Code::ExpectedListCommaOrEnd);
        reader_.advance();
        reader_.skip_whitespace();
        if (!reader_.at_end() && reader_.peek() == ']') return reader_.fail_here(Code::TrailingComma);
        return reader_.fail_here(Code::TrailingCharacters);
    }

    bool read_colon() {
        reader_.skip_whitespace();
        if (reader_.at_end()) return reader_.fail_here(Code::EofWhileParsingObject);
        if (reader_.peek() != ':') return reader_.fail_here(Code::ExpectedColon);
        reader_.advance();
        return true;
    }

    bool read_field(Field field, BasicRecord<V>& record) {
        switch (field) {
            case Field::Version: return read_string(record.version, built(field));
            case Field::Id: return read_string(record.id);
            case Field::Kind: kind_read_ = read_kind(record.kind); return kind_read_;
            case Field::Ts: return read_string(record.ts, built(field));
            case Field::Parent: {
                if (!at_value()) return false;
                if (reader_.peek() == 'n') return reader_.read_ident("null");
                if (!built(field)) return read_string(value_scratch_, false);
                record.parent.emplace();
                return read_string(*record.parent);
            }
            case Field::Meta: {
                if (!at_value()) return false;
                char c = reader_.peek();
                if (c == 'n') return reader_.read_ident("null");
                if (c != '{') return invalid_type("a map");
                if (!built(field)) return reader_.skip_value(1);
                if constexpr (std::is_same_v<V, json::Value>) return read_meta_members(record);
                V meta{};
                if (!reader_.read_value(meta, 1)) return false;
                record.meta = std::move(meta);
                return true;
            }
            case Field::Payload:
                reader_.skip_whitespace();
                payload_offset_ = reader_.offset();
                if (kind_read_ && unbuilt_.payloads[static_cast<size_t>(record.kind)]) return reader_.skip_value(1);
                return reader_.read_value(record.payload, 1);
        }
        return true;
    }

    // A meta's members read straight into their places, as the reader would build them; a meta of many
    // members, where looking for a repeated key one by one would be slow, is read again by the reader.
    bool read_meta_members(BasicRecord<json::Value>& record) {
        constexpr size_t MEMBERS_LOOKED_THROUGH = 16;
        const size_t start = reader_.offset();
        json::Object& members = record.meta.emplace().data.template emplace<json::Object>();
        bool many = false;
        const bool read = reader_.read_members(1, [&](std::string_view key) {
            for (json::Member& member : members) {
                if (member.key == key) return reader_.read_value(member.value, 2);
            }
            if (members.size() == MEMBERS_LOOKED_THROUGH) {
                many = true;
                return false;
            }
            // A new member's string, a trace id most often, is built with it.
            reader_.skip_whitespace();
            if (reader_.at_end() || reader_.peek() != '"')
                return reader_.read_value(members.emplace_back(json::Member{std::string(key), json::Value()}).value, 2);
            std::string_view text;
            if (!reader_.read_string(text, value_scratch_)) return false;
            members.push_back(json::Member{std::string(key), json::Value(std::string(text))});
            return true;
        });
        if (read || !many) return read;
        reader_.seek(start);
        json::Value meta;
        if (!reader_.read_value(meta, 1)) return false;
        record.meta = std::move(meta);
        return true;
    }

    // Skips whitespace; fails when the input ends where a value must start.
    bool at_value() {
        reader_.skip_whitespace();
        if (reader_.at_end()) return reader_.fail_here(Code::EofWhileParsingValue);
        return true;
    }

    bool built(Field field) const { return !unbuilt_.fields[static_cast<size_t>(field)]; }

    bool read_string(std::string& out, bool keep = true) {
        if (!at_value()) return false;
        if (reader_.peek() != '"') return invalid_type("a string");
        std::string_view text;
        if (!reader_.read_string(text, value_scratch_)) return false;
        if (keep) out.assign(text);
        return true;
    }

    bool read_kind(Kind& kind) {
        if (!at_value()) return false;
        char c = reader_.peek();
        if (c == '"') return read_kind_name(kind);
        if (c != '{') return reader_.fail_here(Code::ExpectedValue);
        // The enumeration form: {"chat_response": null}.
        reader_.advance();
        if (!at_value()) return false;
        if (reader_.peek() != '"') return invalid_type("variant identifier");
        if (!read_kind_name(kind)) return false;
        if (!read_colon()) return false;
        if (!at_value()) return false;
        if (reader_.peek() != 'n') return invalid_type("unit");
        if (!reader_.read_ident("null")) return false;
        reader_.skip_whitespace();
        if (reader_.at_end()) return reader_.fail_here(Code::EofWhileParsingObject);
        if (reader_.peek() != '}') return reader_.fail_here(Code::ExpectedValue);
        reader_.advance();
        return true;
    }

    bool read_kind_name(Kind& kind) {
        std::string_view name;
        if (!reader_.read_string(name, value_scratch_)) return false;
        std::optional<Kind> found = kind_from_name(name);
        if (!found) return reader_.fail_custom(unknown_kind_message(name));
        kind = *found;
        return true;
    }

    // "invalid type: {found}, expected {expected}" for the value under the
    // cursor. Scalars are read to be described (their own syntax errors win);
    // arrays and objects are reported at their opening bracket.
    bool invalid_type(std::string_view expected) {
        char c = reader_.peek();
        if (c == '[' || c == '{')
            return reader_.fail_custom_at(json::invalid_type_message(c == '[' ? "sequence" : "map", expected),
                                          reader_.offset() + 1);
        if (c != 'n' && c != 't' && c != 'f' && c != '"' && c != '-' && !(c >= '0' && c <= '9'))
            return reader_.fail_here(Code::ExpectedValue);
        json::ValueSink value_sink;
        json::Value value;
        if (!reader_.read_value_with(value_sink, value, 1)) return false;
        return reader_.fail_custom(json::invalid_type_message(json::describe(value), expected));
    }

    json::Reader<Sink> reader_;
    Unbuilt unbuilt_;
    bool kind_read_ = false;
    size_t payload_offset_ = 0;
    std::string key_scratch_;
    std::string value_scratch_;
};

template <class Sink>
Result<BasicRecord<typename Sink::Value>, json::ReadError> decode_record_text(std::string_view line, Sink& sink,
                                                                              Unbuilt unbuilt = {}) {
    return RecordTextDecoder<Sink>(line, sink, unbuilt).decode();
}

}  // namespace velkin::agentlog
