#pragma once
// How the records of a run fall into conversations, and what a conversation
// is called across runs.
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "agentlog/record.hpp"
#include "json/value.hpp"

namespace velkin::compare {

struct Conversation {
    std::span<agentlog::Record> records;  // in the run's order, where they lie together in the run
    std::vector<size_t> positions;        // of each record in the run as it was read
    std::string id;                       // its trace id, or the id of its first record
};

// A record carrying meta "trace_id" (a string) belongs to that trace; any other
// record belongs to the conversation of its parent, and a record without a
// parent in the run (or on a parent cycle) starts a conversation of its own.
// Conversations come in the order of their first record. The run's records are
// reordered in place so that each conversation's lie together, which the
// conversations view: the run must outlive them, and not grow.
std::vector<Conversation> group_conversations(std::vector<agentlog::Record>& run);

// A member of the conversation's metadata: the payload of a metadata record,
// else the meta of any record, each in record order.
const json::Value* metadata_member(const Conversation& conversation, std::string_view name);

// A member value as a key: a string as it is, anything else as compact JSON.
std::string key_text(const json::Value& value);

// The content of the first user message of the first chat_request (its text
// blocks joined by a space when it is a list); without one, the first
// request's payload as compact JSON; without a request, nothing.
std::optional<std::string> first_request_text(const Conversation& conversation);

}  // namespace velkin::compare
