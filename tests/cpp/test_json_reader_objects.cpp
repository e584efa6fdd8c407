// Objects read into json::Value: a repeated key keeps the place it first had
// and takes the last value it is given, whatever the values' kinds, in objects
// small and large (the reader indexes the keys of a large one), with objects
// nested in them.
#include <random>
#include <string>
#include <vector>

#include "check.hpp"
#include "json/reader.hpp"
#include "json/writer.hpp"

namespace {

// The values a member may take: scalars are built in place, containers beside the object.
const char* const VALUES[] = {"1",
                              "-2",
                              "2.5",
                              "true",
                              "null",
                              R"("s")",
                              R"("a long string, past any short form")",
                              R"({"x":[1,{"y":2}]})",
                              "[]",
                              R"([{"k":"v"}])",
                              "{}"};

struct Member {
    std::string key;
    std::string value;
};

// The object as it should read: members in order of first appearance, each with its last value.
std::string expected_object(const std::vector<Member>& members) {
    std::vector<Member> kept;
    for (const Member& member : members) {
        bool seen = false;
        for (Member& earlier : kept) {
            if (earlier.key == member.key) {
                earlier.value = member.value;
                seen = true;
            }
        }
        if (!seen) kept.push_back(member);
    }
    std::string text = "{";
    for (const Member& member : kept) {
        if (text.size() > 1) text += ",";
        text += '"';
        text += member.key;
        text += "\":";
        text += velkin::json::to_compact(velkin::json::parse_document(member.value).value());
    }
    return text + "}";
}

std::string within(const char* before, const std::string& text, const char* after) {
    std::string whole = before;
    whole += text;
    whole += after;
    return whole;
}

}  // namespace

TEST(repeated_keys_keep_their_first_place_and_take_the_last_value) {
    std::mt19937 random(7);
    for (size_t keys : {size_t{1}, size_t{3}, size_t{15}, size_t{16}, size_t{40}}) {
        for (int round = 0; round < 50; ++round) {
            std::vector<Member> members;
            const size_t count = 1 + random() % (keys * 2 + 3);
            for (size_t i = 0; i < count; ++i) {
                std::string key = "k";
                key += std::to_string(random() % keys);
                members.push_back({key, VALUES[random() % (sizeof(VALUES) / sizeof(VALUES[0]))]});
            }
            std::string text = "{";
            for (const Member& member : members) {
                if (text.size() > 1) text += ", ";
                text += '"';
                text += member.key;
                text += "\": ";
                text += member.value;
            }
            text += "}";
            // Alone, and as a member of an object and an element of an array holding others.
            const std::string documents[] = {text, within(R"({"before":1,"it":)", text, R"(,"after":[2]})"),
                                             within("[0,", text, ",{}]")};
            const std::string wanted = expected_object(members);
            const std::string wanted_documents[] = {wanted, within(R"({"before":1,"it":)", wanted, R"(,"after":[2]})"),
                                                    within("[0,", wanted, ",{}]")};
            for (size_t d = 0; d < 3; ++d) {
                auto read = velkin::json::parse_document(documents[d]);
                CHECK(read.ok());
                if (read.ok()) CHECK_EQ(velkin::json::to_compact(read.value()), wanted_documents[d]);
            }
        }
    }
}
