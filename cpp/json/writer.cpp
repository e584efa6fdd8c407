#include "json/writer.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <vector>

#include "json/decimal.hpp"
#include "json/reader.hpp"

namespace velkin::json {

namespace {

// For each byte: 0 when it is written as is, otherwise the letter that
// follows the backslash ('u' for the \u00XX form).
constexpr std::array<char, 256> escape_letters = [] {
    std::array<char, 256> table{};
    for (int c = 0; c < 0x20; ++c) table[c] = 'u';
    table['\b'] = 'b';
    table['\t'] = 't';
    table['\n'] = 'n';
    table['\f'] = 'f';
    table['\r'] = 'r';
    table['"'] = '"';
    table['\\'] = '\\';
    return table;
}();

void append_escape(unsigned char byte, std::string& out) {
    char letter = escape_letters[byte];
    if (letter != 'u') {
        char pair[2] = {'\\', letter};
        out.append(pair, 2);
        return;
    }
    static constexpr char hex_digits[] = "0123456789abcdef";
    char sequence[6] = {'\\', 'u', '0', '0', hex_digits[byte >> 4], hex_digits[byte & 0x0F]};
    out.append(sequence, 6);
}

template <class Integer>
void append_decimal(Integer value, std::string& out) {
    char buffer[24];
    auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
    out.append(buffer, result.ptr);
}

// What the buffer of to_compact may keep between calls; a larger one is given back.
constexpr size_t KEPT_BUFFER_BYTES = size_t{1} << 20;

// Objects up to this size are sorted by insertion, which is stable and needs no buffer.
constexpr size_t insertion_sort_limit = 24;

// `members` holds the members of the objects being written, a nested object's on top of its parent's.
void write_sorted(const Value& value, std::string& out, std::vector<const Member*>& members) {
    if (const Object* object = value.as_object()) {
        const size_t base = members.size();
        for (const Member& member : *object) members.push_back(&member);
        auto by_key = [](const Member* a, const Member* b) { return a->key < b->key; };
        auto first = members.begin() + static_cast<std::ptrdiff_t>(base);
        if (object->size() > insertion_sort_limit) {
            std::stable_sort(first, members.end(), by_key);
        } else {
            for (auto it = first; it < members.end(); ++it)
                std::rotate(std::upper_bound(first, it, *it, by_key), it, it + 1);
        }
        out.push_back('{');
        // Indices, not iterators: nested objects push onto the same vector.
        for (size_t i = base; i < base + object->size(); ++i) {
            if (i > base) out.push_back(',');
            write_compact_string(members[i]->key, out);
            out.push_back(':');
            write_sorted(members[i]->value, out, members);
        }
        out.push_back('}');
        members.resize(base);
        return;
    }
    if (const Array* array = value.as_array()) {
        out.push_back('[');
        for (size_t i = 0; i < array->size(); ++i) {
            if (i > 0) out.push_back(',');
            write_sorted((*array)[i], out, members);
        }
        out.push_back(']');
        return;
    }
    write_compact(value, out);
}

}  // namespace

void write_integer(uint64_t value, std::string& out) { append_decimal(value, out); }
void write_integer(int64_t value, std::string& out) { append_decimal(value, out); }

void write_compact_string(std::string_view text, std::string& out) {
    const char* data = text.data();
    size_t size = text.size();
    out.push_back('"');
    size_t run_start = 0;
    size_t i = 0;
    for (;;) {
        i = detail::skip_plain_string_bytes(data, i, size);
        while (i < size && escape_letters[static_cast<unsigned char>(data[i])] == 0) ++i;
        if (i == size) break;
        out.append(data + run_start, i - run_start);
        append_escape(static_cast<unsigned char>(data[i]), out);
        run_start = ++i;
    }
    out.append(data + run_start, size - run_start);
    out.push_back('"');
}

void write_compact_double(double value, std::string& out) {
    if (!std::isfinite(value)) {
        out.append("null");
        return;
    }
    if (value == 0) {
        out.append(std::signbit(value) ? "-0.0" : "0.0");
        return;
    }
    ShortestDigits decimal = shortest_digits(value);
    const int n = decimal.count;
    const int k = decimal.exponent;  // value lies in [10^(k-1), 10^k)
    if (-5 < k && k <= 16) {
        append_positional(decimal, out);
        if (n <= k) out.append(".0");
        return;
    }
    if (decimal.negative) out.push_back('-');
    out.push_back(decimal.digits[0]);
    if (n > 1) {
        out.push_back('.');
        out.append(decimal.digits + 1, static_cast<size_t>(n - 1));
    }
    out.push_back('e');
    write_integer(int64_t{k - 1}, out);
}

void write_compact(const Value& value, std::string& out) {
    switch (value.type()) {
        case Type::Null: out.append("null"); break;
        case Type::Bool: out.append(*std::get_if<bool>(&value.data) ? "true" : "false"); break;
        case Type::UInt: write_integer(*std::get_if<uint64_t>(&value.data), out); break;
        case Type::Int: write_integer(*std::get_if<int64_t>(&value.data), out); break;
        case Type::Double: write_compact_double(*std::get_if<double>(&value.data), out); break;
        case Type::String: write_compact_string(*std::get_if<std::string>(&value.data), out); break;
        case Type::Array: {
            const Array& array = *std::get_if<Array>(&value.data);
            out.push_back('[');
            for (size_t i = 0; i < array.size(); ++i) {
                if (i > 0) out.push_back(',');
                write_compact(array[i], out);
            }
            out.push_back(']');
            break;
        }
        case Type::Object: {
            const Object& object = *std::get_if<Object>(&value.data);
            out.push_back('{');
            for (size_t i = 0; i < object.size(); ++i) {
                if (i > 0) out.push_back(',');
                write_compact_string(object[i].key, out);
                out.push_back(':');
                write_compact(object[i].value, out);
            }
            out.push_back('}');
            break;
        }
    }
}

std::string to_compact(const Value& value) {
    // Written into a buffer kept per thread and copied once at its size: a result grown in place
    // would be allocated again at every doubling.
    thread_local std::string buffer;
    buffer.clear();
    write_compact(value, buffer);
    std::string out(buffer);
    if (buffer.capacity() > KEPT_BUFFER_BYTES) std::string().swap(buffer);
    return out;
}

void write_compact_sorted(const Value& value, std::string& out) {
    thread_local std::vector<const Member*> members;
    members.clear();
    write_sorted(value, out, members);
}

}  // namespace velkin::json
