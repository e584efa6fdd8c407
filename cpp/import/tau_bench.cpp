#include "import/tau_bench.hpp"

#include "import/chat.hpp"
#include "import/fields.hpp"
#include "json/writer.hpp"

namespace velkin::imports {

void map_tau_bench_entry(const json::Value& entry, std::string origin, Conversations& conversations, Summary& summary) {
    if (!entry.as_object()) wrong_type("entry", "an object with `task_id` and `traj`", entry);
    const json::Value* task_id = member(entry, "task_id");
    if (!task_id) bad_input("field `task_id`: expected a value, found nothing");
    const json::Array& trajectory = required_array(entry, "traj");
    const json::Value* trial = member(entry, "trial");
    const json::Value* reward = member(entry, "reward");
    if (reward && !reward->is_number()) wrong_type("reward", "a number", *reward);

    // The same task and trial get the same trace id in every import.
    std::string key = "tau-bench\n" + json::to_compact(*task_id) + "\n" + (trial ? json::to_compact(*trial) : "");
    Conversation& conversation = conversations.open("tau-bench", conversations.unused_id(derived_trace_id(key)));
    conversation.set_origin(std::move(origin));
    conversation.set_meta("task_id", *task_id);
    if (trial) conversation.set_meta("trial", *trial);
    if (reward) conversation.set_meta("reward", *reward);

    // A trajectory is the whole conversation: each assistant message answers the messages before it.
    json::Array history;
    for (const json::Value& message : trajectory) {
        if (!message.as_object()) wrong_type("traj", "an array of message objects", message);
        const std::string& role = required_string(message, "role");
        if (role != "assistant") {
            history.push_back(chat_message(message));
            continue;
        }
        conversation.add_request(std::string(NO_TIME), json::Value(), history, true, {});
        json::Array blocks = chat_response_blocks(message);
        bool calls_tools = false;
        for (const json::Value& block : blocks) {
            if (const json::Value* type = block.get("type");
                type && type->as_string() && *type->as_string() == "tool_use")
                calls_tools = true;
        }
        json::Object payload;
        payload.push_back({"content", json::Value(std::move(blocks))});
        payload.push_back({"stop_reason", json::Value(calls_tools ? "tool_use" : "end_turn")});
        conversation.add_response(std::string(NO_TIME), json::Value(std::move(payload)), {});
        ++summary.responses_without_model;  // the file does not name the model
        history.push_back(chat_message(message));
    }
    // What follows the last answer (tool results, the user's closing message) is kept as a
    // request that got no answer.
    if (history.size() > conversation.history_seen())
        conversation.add_request(std::string(NO_TIME), json::Value(), history, true, {});
}

}  // namespace velkin::imports
