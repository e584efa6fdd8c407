#pragma once
// Canonical JSON bytes: NFC strings and keys, keys ordered by their UTF-8
// bytes, plain positional floats, no whitespace. Content ids hash them.
//
// The pieces below write_value are shared with the writer that reads Python
// objects directly, so that both produce the same bytes by construction.
#include <algorithm>
#include <list>
#include <string>
#include <string_view>
#include <vector>

#include "json/value.hpp"

namespace velkin::agentlog {

void write_value(const json::Value& value, std::string& out);
void write_string(std::string_view text, std::string& out);
// `text` is known to be NFC already: only escaped.
void write_nfc_string(std::string_view text, std::string& out);
// Shortest round-trip digits in plain positional notation, never an exponent;
// "0" for either zero and "null" when not finite.
void write_double(double value, std::string& out);
// "sha256:" followed by 64 lowercase hexadecimal digits of the digest of `canonical`.
std::string content_id_of(std::string_view canonical);

// The NFC forms of the keys that are not NFC already, kept until their object is written.
class NormalisedKeys {
public:
    size_t size() const { return keys_.size(); }
    // `key` itself when it is NFC (the view must then stay valid), otherwise its stored NFC form.
    std::string_view normalise(std::string_view key);
    void truncate(size_t count) { keys_.resize(count); }

private:
    std::list<std::string> keys_;  // a list never moves its strings, so views stay valid
};

// The members of the objects being written, in canonical order. Nested
// objects stack their members on top of their parent's, so one instance
// serves a whole value. `V` refers to a member's value.
template <class V>
class CanonicalMembers {
public:
    struct Member {
        std::string_view key;  // NFC
        V value;
    };
    struct Mark {
        size_t members;
        size_t keys;
    };

    Mark mark() const { return {members_.size(), keys_.size()}; }
    void add(std::string_view key, V value) { members_.push_back({keys_.normalise(key), value}); }
    // `key` is known to be NFC already.
    void add_nfc(std::string_view key, V value) { members_.push_back({key, value}); }

    // Writes the object whose members were added since `mark` and drops them.
    // `write_member_value(V)` writes one value; when it returns false the
    // writing is abandoned (the caller discards the output) and so is this instance.
    template <class WriteValue>
    bool write_object(const Mark& mark, std::string& out, WriteValue&& write_member_value) {
        sort_since(mark.members);
        const size_t end = members_.size();
        out.push_back('{');
        // Indices, not iterators: nested objects push onto the same vector.
        for (size_t i = mark.members; i < end; ++i) {
            if (i > mark.members) out.push_back(',');
            write_nfc_string(members_[i].key, out);
            out.push_back(':');
            if (!write_member_value(members_[i].value)) return false;
        }
        out.push_back('}');
        members_.resize(mark.members);
        keys_.truncate(mark.keys);
        return true;
    }

private:
    // Objects up to this size are sorted in place by insertion, which is stable
    // and needs no buffer; larger ones go through std::stable_sort.
    static constexpr size_t insertion_sort_limit = 24;

    // Stable, by the UTF-8 bytes of the NFC keys (string_view compares as unsigned bytes).
    void sort_since(size_t base) {
        auto by_key = [](const Member& a, const Member& b) { return a.key < b.key; };
        auto first = members_.begin() + static_cast<std::ptrdiff_t>(base);
        if (members_.size() - base > insertion_sort_limit) {
            std::stable_sort(first, members_.end(), by_key);
            return;
        }
        for (auto it = first; it < members_.end(); ++it)
            std::rotate(std::upper_bound(first, it, *it, by_key), it, it + 1);
    }

    std::vector<Member> members_;
    NormalisedKeys keys_;
};

}  // namespace velkin::agentlog
