#pragma once
// The record envelope: seven fields around a free-form JSON payload.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "json/value.hpp"
#include "platform/result.hpp"

namespace velkin::agentlog {

enum class Kind : uint8_t {
    Metadata,
    ChatRequest,
    ChatResponse,
    ToolCall,
    ToolResult,
    Error,
    ReplaySummary,
    Chunk,
    HarnessEvent,
    BlobRef,
};
inline constexpr size_t KIND_COUNT = 10;

std::string_view kind_name(Kind kind);
std::optional<Kind> kind_from_name(std::string_view name);

// "unknown variant `{name}`, expected one of `metadata`, ..., `blob_ref`"
std::string unknown_kind_message(std::string_view name);

// The seven envelope fields, in declared order (also the positional order).
enum class Field : uint8_t { Version, Id, Kind, Ts, Parent, Meta, Payload };
inline constexpr size_t FIELD_COUNT = 7;
inline constexpr Field REQUIRED_FIELDS[] = {Field::Version, Field::Id, Field::Kind, Field::Ts, Field::Payload};
std::string_view field_name(Field field);
std::optional<Field> field_from_name(std::string_view name);

// V is the payload / meta representation: json::Value in the core; the
// Python boundary decodes straight into Python objects with its own V.
template <class V>
struct BasicRecord {
    std::string version;
    std::string id;
    Kind kind = Kind::Metadata;
    std::string ts;
    std::optional<std::string> parent;
    std::optional<V> meta;  // always an object when present
    V payload;
};

using Record = BasicRecord<json::Value>;

// Decoding from an already-built value: messages carry no position suffix.
// Its objects hold each key once, as the reader and the conversion from
// Python build them, so a field cannot repeat (the text decoder reports one).
Result<Record> decode_record(json::Value value);

// One compact line ending in "\n": version, id, kind, ts, parent (null when
// absent), meta (left out when absent), payload.
void write_record_line(const Record& record, std::string& out);
// The line up to its meta and payload members: "{" and version, id, kind, ts, parent.
void write_envelope_head(std::string_view version, std::string_view id, Kind kind, std::string_view ts,
                         std::optional<std::string_view> parent, std::string& out);

}  // namespace velkin::agentlog
