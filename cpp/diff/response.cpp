#include "diff/response.hpp"

#include <algorithm>
#include <cstring>
#include <span>

#include "arch/bytes.hpp"
#include "text/unicode.hpp"

namespace velkin::diff {

namespace {

const std::string* string_member(const json::Value& object, std::string_view key) {
    const json::Value* member = object.get(key);
    return member ? member->as_string() : nullptr;
}

std::string joined(const std::vector<std::string_view>& pieces, char separator) {
    size_t size = pieces.empty() ? 0 : pieces.size() - 1;
    for (std::string_view piece : pieces) size += piece.size();
    std::string text;
    text.reserve(size);
    for (size_t k = 0; k < pieces.size(); ++k) {
        if (k > 0) text.push_back(separator);
        text += pieces[k];
    }
    return text;
}

using Names = std::span<const std::string_view>;
constexpr std::string_view PAYLOAD_MEMBERS_READ[] = {"content", "stop_reason", "model", "usage", "latency_ms", "batch"};
constexpr std::string_view USAGE_MEMBERS_READ[] = {"input_tokens",           "output_tokens",
                                                   "cached_input_tokens",    "cached_write_5m_tokens",
                                                   "cached_write_1h_tokens", "thinking_tokens"};
constexpr std::string_view TEXT_MEMBERS_READ[] = {"type", "text"};
constexpr std::string_view THINKING_MEMBERS_READ[] = {"type"};  // thinking blocks are counted, never read
constexpr std::string_view TOOL_USE_MEMBERS_READ[] = {"type", "name", "input"};

bool is_member_of(Names names, std::string_view key) {
    return std::find(names.begin(), names.end(), key) != names.end();
}

// The members view_response reads from a content block; none for a block it skips.
Names block_members_read(const json::Value& block) {
    const std::string* type = string_member(block, "type");
    return type ? block_members_retained(*type) : Names{};
}

// Whether `key` is the literal `name`: a length test and a compare of known
// size, which the compiler does inline, unlike a comparison with a C string.
template <size_t N>
bool is_key(std::string_view key, const char (&name)[N]) {
    return key.size() == N - 1 && std::memcmp(key.data(), name, N - 1) == 0;
}

// The first member of an object named `name`; null for another value.
template <size_t N>
const json::Value* first_member(const json::Value& value, const char (&name)[N]) {
    const json::Object* object = value.as_object();
    if (!object) return nullptr;
    for (const json::Member& member : *object)
        if (is_key(member.key, name)) return &member.value;
    return nullptr;
}

void keep_only(json::Object& object, Names names) {
    std::erase_if(object, [&](const json::Member& member) { return !is_member_of(names, member.key); });
}

}  // namespace

PayloadMember payload_member_retained(std::string_view key) {
    if (key == "content") return PayloadMember::Content;
    if (key == "usage") return PayloadMember::Usage;
    return is_member_of(PAYLOAD_MEMBERS_READ, key) ? PayloadMember::Whole : PayloadMember::Dropped;
}

bool usage_member_retained(std::string_view key) { return is_member_of(USAGE_MEMBERS_READ, key); }

std::span<const std::string_view> block_members_retained(std::string_view type) {
    if (type == "text") return TEXT_MEMBERS_READ;
    if (type == "thinking") return THINKING_MEMBERS_READ;
    if (type == "tool_use") return TOOL_USE_MEMBERS_READ;
    return {};
}

std::string ResponseView::text_lines() const { return joined(text_blocks, '\n'); }

namespace {

// read_view into a default view. Members are read in one pass over each
// object; of repeated keys the first counts.
void read_view_into(const Record& record, ResponseView& view) {
    view.record = &record;
    const json::Object* payload = record.payload.as_object();
    if (!payload) return;
    const json::Value *content = nullptr, *stop_reason = nullptr, *model = nullptr, *usage = nullptr,
                      *latency = nullptr, *batch = nullptr;
    for (const json::Member& member : *payload) {
        const std::string_view key = member.key;
        const json::Value** slot = is_key(key, "content")       ? &content
                                   : is_key(key, "stop_reason") ? &stop_reason
                                   : is_key(key, "model")       ? &model
                                   : is_key(key, "usage")       ? &usage
                                   : is_key(key, "latency_ms")  ? &latency
                                   : is_key(key, "batch")       ? &batch
                                                                : nullptr;
        if (slot && !*slot) *slot = &member.value;
    }
    if (const json::Array* blocks = content ? content->as_array() : nullptr) {
        bool calls_tools = false;
        for (const json::Value& block : *blocks) {
            const json::Value* type_member = first_member(block, "type");
            const std::string* type = type_member ? type_member->as_string() : nullptr;
            if (!type) continue;
            if (is_key(*type, "text")) {
                const json::Value* text = first_member(block, "text");
                if (const std::string* piece = text ? text->as_string() : nullptr) view.text_blocks.push_back(*piece);
            } else if (is_key(*type, "thinking")) {
                ++view.thinking_blocks;
            } else {
                calls_tools = calls_tools || is_key(*type, "tool_use");
            }
        }
        // Most responses call no tool: their blocks need no second pass.
        if (calls_tools) view.tool_calls = read_tool_calls(*blocks);
    }
    if (view.text_blocks.size() == 1) {
        view.text = view.text_blocks.front();
    } else if (view.text_blocks.size() > 1) {
        view.joined_text = std::make_shared<const std::string>(joined(view.text_blocks, ' '));
        view.text = *view.joined_text;
    }
    if (const std::string* reason = stop_reason ? stop_reason->as_string() : nullptr) view.stop_reason = *reason;
    view.model = model ? model->as_string() : nullptr;
    if (const json::Object* numbers = usage ? usage->as_object() : nullptr) {
        view.has_usage = true;
        std::optional<double>* const slots[] = {&view.input_tokens,           &view.output_tokens,
                                                &view.cached_input_tokens,    &view.cached_write_5m_tokens,
                                                &view.cached_write_1h_tokens, &view.thinking_tokens};
        bool seen[std::size(USAGE_MEMBERS_READ)] = {};
        for (const json::Member& member : *numbers) {
            for (size_t k = 0; k < std::size(USAGE_MEMBERS_READ); ++k) {
                if (member.key != USAGE_MEMBERS_READ[k]) continue;
                if (!seen[k]) *slots[k] = member.value.as_double();
                seen[k] = true;
                break;
            }
        }
    }
    view.latency_ms = latency ? latency->as_double() : std::nullopt;
    const bool* is_batch = batch ? batch->as_bool() : nullptr;
    view.batch = is_batch && *is_batch;
}

}  // namespace

// The view of a chat_response record but for its lower-cased text.
ResponseView read_view(const Record& record) {
    ResponseView view;
    read_view_into(record, view);
    return view;
}

ResponseView view_response(const Record& record) {
    ResponseView view = read_view(record);
    view.text_is_nfc = text::is_nfc(view.text);
    view.lowered_text = std::make_shared<const std::string>(text::lowercase(view.text));
    view.lowered = *view.lowered_text;
    return view;
}

void retain_report_members(Record& record) {
    // Of the envelope the report reads the kind, the meta's trace id and the first record's id.
    record.version = std::string();
    record.ts = std::string();
    record.parent.reset();
    if (record.kind != agentlog::Kind::ChatResponse) {
        record.payload = json::Value();
        return;
    }
    json::Object* payload = record.payload.as_object();
    if (!payload) return;
    keep_only(*payload, PAYLOAD_MEMBERS_READ);
    for (json::Member& member : *payload) {
        if (json::Object* usage = member.key == "usage" ? member.value.as_object() : nullptr) {
            keep_only(*usage, USAGE_MEMBERS_READ);
        } else if (json::Array* blocks = member.key == "content" ? member.value.as_array() : nullptr) {
            std::erase_if(*blocks, [](const json::Value& block) { return block_members_read(block).empty(); });
            for (json::Value& block : *blocks) keep_only(*block.as_object(), block_members_read(block));
        }
    }
}

namespace {

// Asks for the first bytes of an array or string (its first kilobyte: the
// processor's own prefetching follows a longer one).
void prefetch(const void* data, size_t bytes) {
    const char* at = static_cast<const char*>(data);
    for (size_t offset = 0; offset < std::min<size_t>(bytes, 1024); offset += 64) arch::prefetch(at + offset);
}

template <class Visit>
void for_each_payload_member(std::span<const Record> records, Visit&& visit) {
    for (const Record& record : records) {
        const json::Object* payload = record.kind == agentlog::Kind::ChatResponse ? record.payload.as_object()
                                                                                  : nullptr;
        if (!payload) continue;
        for (const json::Member& member : *payload) visit(member);
    }
}

template <class Visit>
void for_each_content_block(std::span<const Record> records, Visit&& visit) {
    for_each_payload_member(records, [&](const json::Member& member) {
        const json::Array* blocks = is_key(member.key, "content") ? member.value.as_array() : nullptr;
        if (!blocks) return;
        for (const json::Value& block : *blocks)
            if (const json::Object* members = block.as_object()) visit(*members);
    });
}

// Asks for what read_view reads of some records one level of their
// payloads at a time: the payloads' members, then the content arrays and
// usage members, then the blocks' members, then the texts and tool inputs.
// Records kept from long before are mostly out of the cache, and a view
// reads one level to find the next: asked for level by level, the misses of
// all the responses overlap instead of coming one after another.
void prefetch_payloads(std::span<const Record> records) {
    for (const Record& record : records) {
        const json::Object* payload = record.kind == agentlog::Kind::ChatResponse ? record.payload.as_object()
                                                                                  : nullptr;
        if (payload) prefetch(payload->data(), payload->size() * sizeof(json::Member));
    }
    for_each_payload_member(records, [](const json::Member& member) {
        if (const json::Array* blocks = is_key(member.key, "content") ? member.value.as_array() : nullptr)
            prefetch(blocks->data(), blocks->size() * sizeof(json::Value));
        else if (const json::Object* usage = is_key(member.key, "usage") ? member.value.as_object() : nullptr)
            prefetch(usage->data(), usage->size() * sizeof(json::Member));
    });
    for_each_content_block(
        records, [](const json::Object& block) { prefetch(block.data(), block.size() * sizeof(json::Member)); });
    for_each_content_block(records, [](const json::Object& block) {
        for (const json::Member& member : block) {
            if (const std::string* text = member.value.as_string())
                prefetch(text->data(), text->size());
            else if (const json::Object* input = member.value.as_object())
                prefetch(input->data(), input->size() * sizeof(json::Member));
        }
    });
}

}  // namespace

Responses select_responses(std::span<const Record> records) {
    Responses responses;
    responses.reserve(std::count_if(records.begin(), records.end(),
                                    [](const Record& record) { return record.kind == agentlog::Kind::ChatResponse; }));
    // Records a few dozen at a time, so that what is asked for is still in the cache when read.
    constexpr size_t CHUNK = 32;
    for (size_t begin = 0; begin < records.size(); begin += CHUNK) {
        const std::span<const Record> chunk = std::span(records).subspan(begin,
                                                                         std::min(CHUNK, records.size() - begin));
        prefetch_payloads(chunk);
        for (const Record& record : chunk) {
            if (record.kind == agentlog::Kind::ChatResponse) read_view_into(record, responses.emplace_back());
        }
    }
    lower_texts(responses);
    return responses;
}

void lower_texts(Responses& responses) {
    size_t total = 0;
    for (const ResponseView& response : responses) total += response.text.size();
    // The lowered texts go straight into one block (lower-casing seldom changes a length).
    auto block = std::make_shared<std::string>();
    block->reserve(total);
    std::vector<size_t> ends;
    ends.reserve(responses.size());
    for (ResponseView& response : responses) {
        response.text_is_nfc = text::append_lowercase_checking_nfc(response.text, *block);
        ends.push_back(block->size());
    }
    std::string_view all = *block;
    size_t begin = 0;
    for (size_t k = 0; k < responses.size(); ++k) {
        responses[k].lowered_text = block;
        responses[k].lowered = all.substr(begin, ends[k] - begin);
        begin = ends[k];
    }
}

Pairs pair_responses(const Responses& baseline, const Responses& candidate) {
    size_t count = std::min(baseline.size(), candidate.size());
    Pairs pairs;
    pairs.reserve(count);
    for (size_t i = 0; i < count; ++i) pairs.push_back({&baseline[i], &candidate[i]});
    return pairs;
}

const std::string* meta_trace_id(const Record& record) {
    return record.meta ? string_member(*record.meta, "trace_id") : nullptr;
}

std::string trace_id_for(std::span<const Record> records) {
    if (records.empty()) return {};
    for (const Record& record : records) {
        if (const std::string* id = meta_trace_id(record)) return *id;
    }
    return records.front().id;
}

}  // namespace velkin::diff
