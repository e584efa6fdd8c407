#pragma once
// Which conversation of one run is compared with which of another: the key
// each conversation is paired by, and the runs holding each key.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "compare/compare.hpp"
#include "compare/conversations.hpp"
#include "platform/result.hpp"

namespace velkin::compare {

// A conversation as one run holds it.
struct Side {
    uint32_t run;
    Conversation* conversation;
};

struct KeyEntry {
    std::string key;
    std::vector<Side> baseline, candidate;
};

struct Pairing {
    KeySource source = KeySource::FirstRequest;
    std::string member;  // the metadata member that pairs, when the source is Member
    std::vector<KeyEntry> entries;
};

// The key that asks for the default key with its repeats within a run paired in file order.
inline constexpr std::string_view POSITION_KEY = "position";

// Runs are numbered baseline first. Fails when a conversation lacks the member asked to pair by.
Result<Pairing> pair_conversations(std::vector<std::vector<Conversation>>& runs, uint32_t baseline_runs,
                                   const Options& options);

}  // namespace velkin::compare
