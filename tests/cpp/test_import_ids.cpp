// Conversations that want a taken trace id get the first free one of `base`, `base-2`,
// `base-3`, ...: the names are stored in users' files, so the search that remembers where it
// stopped must give exactly the names the search from `base` each time gives.
#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "check.hpp"
#include "import/conversations.hpp"

using velkin::imports::Conversations;

namespace {

// The rule itself, searched from the start on every call.
std::string first_free(const std::set<std::string>& taken, const std::string& base) {
    if (!taken.count(base)) return base;
    for (size_t n = 2;; ++n) {
        std::string id = base + "-" + std::to_string(n);
        if (!taken.count(id)) return id;
    }
}

}  // namespace

TEST(repeated_bases_count_up_past_names_taken_otherwise) {
    Conversations conversations;
    // Names a line gave itself, which unused ids must step over.
    conversations.open("openai", "x-3");
    conversations.open("openai", "x-2-2");
    std::vector<std::string> given;
    for (const char* base : {"x", "x", "x", "x-2", "x", "x-2", "y"}) {
        given.push_back(conversations.unused_id(base));
        conversations.open("openai", given.back());
    }
    // x, then x-2 (free), x-3 taken so x-4; the base x-2 is taken (by the second x), and its -2 by a line,
    // so x-2-3; x-5; x-2-4; y is free.
    std::vector<std::string> expected{"x", "x-2", "x-4", "x-2-3", "x-5", "x-2-4", "y"};
    CHECK(given == expected);
}

TEST(an_id_not_opened_is_given_again) {
    Conversations conversations;
    conversations.open("openai", "a");
    CHECK_EQ(conversations.unused_id("a"), std::string("a-2"));
    CHECK_EQ(conversations.unused_id("a"), std::string("a-2"));
    conversations.open("openai", "a-2");
    CHECK_EQ(conversations.unused_id("a"), std::string("a-3"));
}

TEST(names_match_the_search_from_the_start_on_random_sequences) {
    // Bases and explicit names drawn from a few look-alike strings, so that they collide often.
    const std::vector<std::string> names{"a", "a-2", "a-3", "a-2-2", "b", "b-2", "a-4", "b-3-2"};
    uint64_t state = 0x9e3779b97f4a7c15u;
    auto draw = [&](uint64_t below) {
        state = state * 6364136223846793005u + 1442695040888963407u;
        return (state >> 33) % below;
    };
    for (int round = 0; round < 200; ++round) {
        Conversations conversations;
        std::set<std::string> taken;
        for (int step = 0; step < 60; ++step) {
            const std::string& name = names[draw(names.size())];
            if (draw(3) == 0) {
                conversations.open("openai", name);  // a line's own id, taken or not
                taken.insert(name);
                continue;
            }
            std::string id = conversations.unused_id(name);
            CHECK_EQ(id, first_free(taken, name));
            conversations.open("openai", id);
            taken.insert(id);
        }
    }
}
