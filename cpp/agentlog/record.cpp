#include "agentlog/record.hpp"

#include <array>

#include "json/writer.hpp"

namespace velkin::agentlog {

namespace {

constexpr std::array<std::string_view, KIND_COUNT> kind_names = {
    "metadata", "chat_request",   "chat_response", "tool_call",     "tool_result",
    "error",    "replay_summary", "chunk",         "harness_event", "blob_ref",
};

constexpr std::array<std::string_view, FIELD_COUNT> field_names = {"version", "id",   "kind",   "ts",
                                                                   "parent",  "meta", "payload"};

std::string invalid_type(const json::Value& found, std::string_view expected) {
    return json::invalid_type_message(json::describe(found), expected);
}

// Each field of a value-form record, decoded by its type.
struct ValueDecoder {
    Record record;

    std::optional<Error> take_string(json::Value& value, std::string& out) {
        if (std::string* s = std::get_if<std::string>(&value.data)) {
            out = std::move(*s);
            return std::nullopt;
        }
        return Error{invalid_type(value, "a string")};
    }

    // A name, or the enumeration form {"chat_response": null}.
    std::optional<Error> take_kind(const json::Value& value) {
        std::string_view name;
        const json::Value* unit = nullptr;
        if (const std::string* s = value.as_string()) {
            name = *s;
        } else if (const json::Object* object = value.as_object()) {
            if (object->size() != 1) return Error{"invalid value: map, expected map with a single key"};
            name = object->front().key;
            unit = &object->front().value;
        } else {
            return Error{invalid_type(value, "string or map")};
        }
        std::optional<Kind> kind = kind_from_name(name);
        if (!kind) return Error{unknown_kind_message(name)};
        if (unit && !unit->is_null()) return Error{invalid_type(*unit, "unit")};
        record.kind = *kind;
        return std::nullopt;
    }

    std::optional<Error> take(Field field, json::Value& value) {
        switch (field) {
            case Field::Version: return take_string(value, record.version);
            case Field::Id: return take_string(value, record.id);
            case Field::Kind: return take_kind(value);
            case Field::Ts: return take_string(value, record.ts);
            case Field::Parent:
                if (value.is_null()) return std::nullopt;
                record.parent.emplace();
                return take_string(value, *record.parent);
            case Field::Meta:
                if (value.is_null()) return std::nullopt;
                if (!value.as_object()) return Error{invalid_type(value, "a map")};
                record.meta = std::move(value);
                return std::nullopt;
            case Field::Payload: record.payload = std::move(value); return std::nullopt;
        }
        return std::nullopt;
    }
};

}  // namespace

std::string_view kind_name(Kind kind) { return kind_names[static_cast<size_t>(kind)]; }

std::optional<Kind> kind_from_name(std::string_view name) {
    for (size_t i = 0; i < KIND_COUNT; ++i)
        if (kind_names[i] == name) return static_cast<Kind>(i);
    return std::nullopt;
}

std::string unknown_kind_message(std::string_view name) {
    std::string message = "unknown variant `" + std::string(name) + "`, expected one of ";
    for (size_t i = 0; i < KIND_COUNT; ++i) {
        if (i) message += ", ";
        message += "`";
        message += kind_names[i];
        message += "`";
    }
    return message;
}

std::string_view field_name(Field field) { return field_names[static_cast<size_t>(field)]; }

std::optional<Field> field_from_name(std::string_view name) {
    for (size_t i = 0; i < FIELD_COUNT; ++i)
        if (field_names[i] == name) return static_cast<Field>(i);
    return std::nullopt;
}

Result<Record> decode_record(json::Value value) {
    ValueDecoder decoder;
    if (json::Object* object = value.as_object()) {
        bool seen[FIELD_COUNT] = {};
        for (json::Member& member : *object) {
            std::optional<Field> field = field_from_name(member.key);
            if (!field) continue;
            seen[static_cast<size_t>(*field)] = true;
            if (auto error = decoder.take(*field, member.value)) return std::move(*error);
        }
        for (Field required : REQUIRED_FIELDS)
            if (!seen[static_cast<size_t>(required)])
                return Error{"missing field `" + std::string(field_name(required)) + "`"};
        return std::move(decoder.record);
    }
    if (json::Array* array = value.as_array()) {
        for (size_t i = 0; i < FIELD_COUNT; ++i) {
            if (i >= array->size())
                return Error{"invalid length " + std::to_string(i) + ", expected struct Record with 7 elements"};
            if (auto error = decoder.take(static_cast<Field>(i), (*array)[i])) return std::move(*error);
        }
        if (array->size() > FIELD_COUNT)
            return Error{"invalid length " + std::to_string(array->size()) + ", expected fewer elements in array"};
        return std::move(decoder.record);
    }
    return Error{invalid_type(value, "struct Record")};
}

void write_envelope_head(std::string_view version, std::string_view id, Kind kind, std::string_view ts,
                         std::optional<std::string_view> parent, std::string& out) {
    out += "{\"version\":";
    json::write_compact_string(version, out);
    out += ",\"id\":";
    json::write_compact_string(id, out);
    out += ",\"kind\":\"";
    out += kind_name(kind);
    out += "\",\"ts\":";
    json::write_compact_string(ts, out);
    out += ",\"parent\":";
    if (parent) {
        json::write_compact_string(*parent, out);
    } else {
        out += "null";
    }
}

void write_record_line(const Record& record, std::string& out) {
    std::optional<std::string_view> parent;
    if (record.parent) parent = *record.parent;
    write_envelope_head(record.version, record.id, record.kind, record.ts, parent, out);
    if (record.meta) {
        out += ",\"meta\":";
        json::write_compact(*record.meta, out);
    }
    out += ",\"payload\":";
    json::write_compact(record.payload, out);
    out += "}\n";
}

}  // namespace velkin::agentlog
