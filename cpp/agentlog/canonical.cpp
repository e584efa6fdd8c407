#include "agentlog/canonical.hpp"

#include <cmath>

#include "json/decimal.hpp"
#include "json/writer.hpp"
#include "text/sha256.hpp"
#include "text/unicode.hpp"

namespace velkin::agentlog {

namespace {

struct CanonicalWriter {
    std::string& out;
    CanonicalMembers<const json::Value*> members;

    void value(const json::Value& value) {
        switch (value.type()) {
            case json::Type::Null: out.append("null"); break;
            case json::Type::Bool: out.append(*std::get_if<bool>(&value.data) ? "true" : "false"); break;
            case json::Type::UInt: json::write_integer(*std::get_if<uint64_t>(&value.data), out); break;
            case json::Type::Int: json::write_integer(*std::get_if<int64_t>(&value.data), out); break;
            case json::Type::Double: write_double(*std::get_if<double>(&value.data), out); break;
            case json::Type::String: write_string(*std::get_if<std::string>(&value.data), out); break;
            case json::Type::Array: {
                const json::Array& array = *std::get_if<json::Array>(&value.data);
                out.push_back('[');
                for (size_t i = 0; i < array.size(); ++i) {
                    if (i > 0) out.push_back(',');
                    this->value(array[i]);
                }
                out.push_back(']');
                break;
            }
            case json::Type::Object: {
                auto mark = members.mark();
                for (const json::Member& member : *std::get_if<json::Object>(&value.data))
                    members.add(member.key, &member.value);
                members.write_object(mark, out, [this](const json::Value* member_value) {
                    this->value(*member_value);
                    return true;
                });
                break;
            }
        }
    }
};

}  // namespace

std::string_view NormalisedKeys::normalise(std::string_view key) {
    if (text::is_nfc(key)) return key;
    return keys_.emplace_back(text::nfc(key));
}

void write_value(const json::Value& value, std::string& out) {
    CanonicalWriter writer{out, {}};
    writer.value(value);
}

void write_string(std::string_view text, std::string& out) {
    if (text::is_nfc(text))
        json::write_compact_string(text, out);
    else
        json::write_compact_string(text::nfc(text), out);
}

// The canonical escaping is the compact writer's.
void write_nfc_string(std::string_view text, std::string& out) { json::write_compact_string(text, out); }

void write_double(double value, std::string& out) {
    if (!std::isfinite(value)) {
        out.append("null");
        return;
    }
    if (value == 0) {
        out.push_back('0');
        return;
    }
    json::append_positional(json::shortest_digits(value), out);
}

std::string content_id_of(std::string_view canonical) { return "sha256:" + text::hex(text::sha256(canonical)); }

}  // namespace velkin::agentlog
