#include "agentlog/canonical.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <list>
#include <vector>

#include "json/decimal.hpp"
#include "json/writer.hpp"
#include "text/sha256.hpp"
#include "text/unicode.hpp"

namespace velkin::agentlog {

namespace {

struct Entry {
    std::string_view key;  // NFC form
    const json::Value* value;
};

// Objects up to this size are sorted in place by insertion, which is stable
// and needs no buffer; larger ones go through std::stable_sort.
constexpr size_t insertion_sort_limit = 24;

// Reuses one entry stack and one store of normalised keys for a whole value:
// each object pushes its entries, sorts and writes them, then pops them.
struct CanonicalWriter {
    std::string& out;
    std::vector<Entry> entries;
    std::list<std::string> normalised_keys;  // a list never moves its strings, so views stay valid

    void value(const json::Value& value);
    void object(const json::Object& object);
};

void write_integer(auto value, std::string& out) {
    char buffer[24];
    out.append(buffer, std::to_chars(buffer, buffer + sizeof buffer, value).ptr);
}

// Plain positional notation: the digits of 0.d1...dn × 10^e with the point moved, never an exponent.
void write_double(double value, std::string& out) {
    if (!std::isfinite(value)) {
        out.append("null");
        return;
    }
    if (value == 0) {
        out.push_back('0');
        return;
    }
    json::ShortestDigits decimal = json::shortest_digits(value);
    const std::string_view digits(decimal.digits, static_cast<size_t>(decimal.count));
    const int n = decimal.count;
    const int e = decimal.exponent;
    if (decimal.negative) out.push_back('-');
    if (e >= n) {
        out.append(digits);
        out.append(static_cast<size_t>(e - n), '0');
    } else if (e > 0) {
        out.append(digits.substr(0, static_cast<size_t>(e)));
        out.push_back('.');
        out.append(digits.substr(static_cast<size_t>(e)));
    } else {
        out.append("0.");
        out.append(static_cast<size_t>(-e), '0');
        out.append(digits);
    }
}

void CanonicalWriter::value(const json::Value& value) {
    switch (value.type()) {
        case json::Type::Null: out.append("null"); break;
        case json::Type::Bool: out.append(*std::get_if<bool>(&value.data) ? "true" : "false"); break;
        case json::Type::UInt: write_integer(*std::get_if<uint64_t>(&value.data), out); break;
        case json::Type::Int: write_integer(*std::get_if<int64_t>(&value.data), out); break;
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
        case json::Type::Object: object(*std::get_if<json::Object>(&value.data)); break;
    }
}

void CanonicalWriter::object(const json::Object& object) {
    const size_t base = entries.size();
    const size_t own_keys = normalised_keys.size();
    for (const json::Member& member : object) {
        if (text::is_nfc(member.key)) {
            entries.push_back({member.key, &member.value});
        } else {
            normalised_keys.push_back(text::nfc(member.key));
            entries.push_back({normalised_keys.back(), &member.value});
        }
    }
    auto by_key = [](const Entry& a, const Entry& b) { return a.key < b.key; };
    auto first = entries.begin() + static_cast<std::ptrdiff_t>(base);
    if (object.size() <= insertion_sort_limit) {
        for (size_t i = base + 1; i < entries.size(); ++i) {
            auto it = entries.begin() + static_cast<std::ptrdiff_t>(i);
            std::rotate(std::upper_bound(first, it, *it, by_key), it, it + 1);
        }
    } else {
        std::stable_sort(first, entries.end(), by_key);
    }
    // Indices, not iterators: nested objects push onto the same vector.
    out.push_back('{');
    for (size_t i = base; i < base + object.size(); ++i) {
        if (i > base) out.push_back(',');
        json::write_compact_string(entries[i].key, out);
        out.push_back(':');
        value(*entries[i].value);
    }
    out.push_back('}');
    entries.resize(base);
    normalised_keys.resize(own_keys);
}

}  // namespace

void write_value(const json::Value& value, std::string& out) {
    CanonicalWriter writer{out, {}, {}};
    writer.value(value);
}

void write_string(std::string_view text, std::string& out) {
    if (text::is_nfc(text))
        json::write_compact_string(text, out);
    else
        json::write_compact_string(text::nfc(text), out);
}

std::string content_id_of(std::string_view canonical) {
    return "sha256:" + text::hex(text::sha256(canonical));
}

}  // namespace velkin::agentlog
