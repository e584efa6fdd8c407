#pragma once
// Canonical JSON bytes: NFC strings and keys, keys ordered by their UTF-8
// bytes, plain positional floats, no whitespace. Content ids hash them.
#include <string>
#include <string_view>

#include "json/value.hpp"

namespace velkin::agentlog {

void write_value(const json::Value& value, std::string& out);
void write_string(std::string_view text, std::string& out);
// "sha256:" followed by 64 lowercase hexadecimal digits of the digest of `canonical`.
std::string content_id_of(std::string_view canonical);

}  // namespace velkin::agentlog
