// Which logged call continues which: the calls of one history are indexed by what a continuing call
// looks for, so that thousands of conversations opening alike are grouped in linear time; the
// parents must be those of the rule itself, every candidate scored in turn.
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "check.hpp"
#include "import/continuation.hpp"

using velkin::imports::CallLinks;
using velkin::imports::extended;
using velkin::imports::Fingerprint;
using velkin::imports::fingerprint;
using velkin::imports::parent_calls;

namespace {

constexpr size_t NONE = std::numeric_limits<size_t>::max();

// The rule: the longest earlier history the call extends, and of its calls the best by answer sent
// back (4), same identifiers (2), not continued yet (1), the first among equals.
std::vector<size_t> scored_parents(const std::vector<CallLinks>& calls) {
    std::vector<size_t> parent(calls.size(), NONE);
    std::vector<bool> continued(calls.size(), false);
    for (size_t i = 0; i < calls.size(); ++i) {
        if (!calls[i].previous_response_id.empty()) {
            for (size_t j = 0; j < calls.size(); ++j) {
                if (calls[j].response_id == calls[i].previous_response_id) {
                    if (j != i) parent[i] = j;
                    break;
                }
            }
            continue;
        }
        for (size_t length = calls[i].prefixes.size() - 1; length-- > 1;) {
            size_t best = NONE;
            int best_score = -1;
            for (size_t j = 0; j < calls.size(); ++j) {
                if (j == i || !calls[j].previous_response_id.empty() ||
                    calls[j].prefixes.back() != calls[i].prefixes[length])
                    continue;
                int score = (calls[j].answer_gist == calls[i].gists[length] ? 4 : 0) +
                            (calls[j].identifiers == calls[i].identifiers ? 2 : 0) + (continued[j] ? 0 : 1);
                if (score > best_score) {
                    best = j;
                    best_score = score;
                }
            }
            if (best == NONE) continue;
            parent[i] = best;
            continued[best] = true;
            break;
        }
    }
    return parent;
}

struct Draw {
    uint64_t state = 0x2545f4914f6cdd1du;
    uint64_t operator()(uint64_t below) {
        state = state * 6364136223846793005u + 1442695040888963407u;
        return (state >> 33) % below;
    }
};

// A call whose history is `messages` (each a small number), answering `answer`.
CallLinks call_of(const std::vector<uint64_t>& messages, uint64_t answer, std::string identifiers) {
    CallLinks call;
    call.identifiers = std::move(identifiers);
    call.prefixes.push_back(fingerprint("openai"));
    for (uint64_t message : messages) {
        call.prefixes.push_back(extended(call.prefixes.back(), std::to_string(message)));
        call.gists.push_back(fingerprint(std::to_string(message)));
    }
    call.answer_gist = fingerprint(std::to_string(answer));
    return call;
}

}  // namespace

TEST(parents_are_those_of_the_rule_on_look_alike_histories) {
    Draw draw;
    for (int round = 0; round < 300; ++round) {
        // Few message values and answers, so that histories, answers and identifiers collide often.
        std::vector<CallLinks> calls;
        size_t count = 1 + draw(25);
        for (size_t c = 0; c < count; ++c) {
            std::vector<uint64_t> messages(1 + draw(5));
            for (uint64_t& message : messages) message = draw(3);
            calls.push_back(call_of(messages, draw(3), draw(2) ? "{}" : "{\"user\":\"u\"}"));
            if (draw(8) == 0) calls.back().response_id = "r" + std::to_string(draw(4));
            if (draw(8) == 0) calls.back().previous_response_id = "r" + std::to_string(draw(4));
        }
        CHECK(parent_calls(calls) == scored_parents(calls));
    }
}

TEST(each_follow_up_continues_the_call_whose_answer_it_sends_back) {
    // Conversations opening with the same request, answered differently, then followed up in reverse order.
    std::vector<CallLinks> calls;
    for (uint64_t k = 0; k < 50; ++k) calls.push_back(call_of({1, 2}, 100 + k, "{}"));
    for (uint64_t k = 50; k-- > 0;) calls.push_back(call_of({1, 2, 100 + k, 3}, 7, "{}"));
    std::vector<size_t> parent = parent_calls(calls);
    for (size_t k = 0; k < 50; ++k) {
        CHECK_EQ(parent[k], NONE);
        CHECK_EQ(parent[50 + k], 49 - k);
    }
}
