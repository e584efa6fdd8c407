#pragma once
// Which logged API calls form one conversation. A call that sends an earlier call's
// messages back, then more, continues it, wherever the two stand in the input; so does
// a Responses API call that names an earlier response. Conversations are named from
// what they hold, so the same calls get the same names in any order.
#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace velkin::imports {

// The first 16 bytes of a SHA-256.
using Fingerprint = std::array<uint8_t, 16>;

Fingerprint fingerprint(std::string_view bytes);
// The fingerprint of `prefix` followed by `bytes`: a chain over the messages of a history.
Fingerprint extended(const Fingerprint& prefix, std::string_view bytes);

// What the grouping reads of one call.
struct CallLinks {
    std::string explicit_id;  // a conversation id the line names itself; empty when none
    std::string identifiers;  // the request's identifiers as compact JSON, to tell look-alike conversations apart
    std::string response_id, previous_response_id;
    // prefixes[k] fingerprints the history's first k messages (prefixes[0] the empty history).
    std::vector<Fingerprint> prefixes;
    // gists[k] fingerprints message k by its texts and tool call ids, the part an answer keeps when sent back.
    std::vector<Fingerprint> gists;
    Fingerprint answer_gist{};
};

struct CallGroup {
    std::string name;            // the explicit id, else 32 hexadecimal digits derived from the content
    bool named_by_line = false;  // the name is the line's own conversation id
    std::vector<size_t> calls;   // indices into the calls, earliest in the conversation first
};

// The call each call continues, or SIZE_MAX when it starts a conversation: the call of the
// longest history its own extends by at least one message (among several, the one whose answer it
// sends back, then the one with the same identifiers, then one no other call continues yet, then
// the first), or the call of the response it names.
std::vector<size_t> parent_calls(const std::vector<CallLinks>& calls);

// Groups in the order of their first call in the input. Names of look-alike conversations
// (same first request) are told apart by their identifiers, else by their whole content;
// only conversations identical in both can share a name.
std::vector<CallGroup> group_calls(const std::vector<CallLinks>& calls);

}  // namespace velkin::imports
