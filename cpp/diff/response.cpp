#include "diff/response.hpp"

#include <algorithm>
#include <span>

#include "text/unicode.hpp"

namespace velkin::diff {

namespace {

const std::string* string_member(const json::Value& object, std::string_view key) {
    const json::Value* member = object.get(key);
    return member ? member->as_string() : nullptr;
}

std::optional<double> number_member(const json::Value& object, std::string_view key) {
    const json::Value* member = object.get(key);
    return member ? member->as_double() : std::nullopt;
}

bool has_type(const json::Value& block, std::string_view type) {
    const std::string* name = string_member(block, "type");
    return name && *name == type;
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
constexpr std::string_view USAGE_MEMBERS_READ[] = {"input_tokens",        "output_tokens",
                                                   "cached_input_tokens", "cached_write_5m_tokens",
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

ResponseView view_response(const Record& record) {
    ResponseView view;
    view.record = &record;
    const json::Value& payload = record.payload;
    const json::Value* content = payload.get("content");
    if (const json::Array* blocks = content ? content->as_array() : nullptr) {
        for (const json::Value& block : *blocks) {
            if (has_type(block, "text")) {
                if (const std::string* piece = string_member(block, "text")) view.text_blocks.push_back(*piece);
            } else if (has_type(block, "thinking")) {
                ++view.thinking_blocks;
            }
        }
        view.tool_calls = read_tool_calls(*blocks);
    }
    if (view.text_blocks.size() == 1) {
        view.text = view.text_blocks.front();
    } else if (view.text_blocks.size() > 1) {
        view.joined_text = std::make_shared<const std::string>(joined(view.text_blocks, ' '));
        view.text = *view.joined_text;
    }
    view.lowered_text = std::make_shared<const std::string>(text::lowercase(view.text));
    view.lowered = *view.lowered_text;
    if (const std::string* reason = string_member(payload, "stop_reason")) view.stop_reason = *reason;
    view.model = string_member(payload, "model");
    const json::Value* usage = payload.get("usage");
    if (usage && usage->as_object()) {
        view.has_usage = true;
        view.input_tokens = number_member(*usage, "input_tokens");
        view.output_tokens = number_member(*usage, "output_tokens");
        view.cached_input_tokens = number_member(*usage, "cached_input_tokens");
        view.cached_write_5m_tokens = number_member(*usage, "cached_write_5m_tokens");
        view.cached_write_1h_tokens = number_member(*usage, "cached_write_1h_tokens");
        view.thinking_tokens = number_member(*usage, "thinking_tokens");
    }
    view.latency_ms = number_member(payload, "latency_ms");
    const json::Value* batch = payload.get("batch");
    const bool* is_batch = batch ? batch->as_bool() : nullptr;
    view.batch = is_batch && *is_batch;
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

Responses select_responses(const std::vector<Record>& records) {
    Responses responses;
    for (const Record& record : records) {
        if (record.kind == agentlog::Kind::ChatResponse) responses.push_back(view_response(record));
    }
    size_t total = 0;
    for (const ResponseView& response : responses) total += response.lowered.size();
    auto block = std::make_shared<std::string>();
    block->reserve(total);
    for (const ResponseView& response : responses) block->append(response.lowered);
    std::string_view all = *block;
    size_t offset = 0;
    for (ResponseView& response : responses) {
        const size_t size = response.lowered.size();
        response.lowered_text = block;
        response.lowered = all.substr(offset, size);
        offset += size;
    }
    return responses;
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

std::string trace_id_for(const std::vector<Record>& records) {
    if (records.empty()) return {};
    for (const Record& record : records) {
        if (const std::string* id = meta_trace_id(record)) return *id;
    }
    return records.front().id;
}

void ReportRecords::add(Record record) {
    const bool names_trace = !trace_id_kept_ && meta_trace_id(record);
    if (!records_.empty() && !names_trace && record.kind != agentlog::Kind::ChatResponse) return;
    trace_id_kept_ = trace_id_kept_ || names_trace;
    retain_report_members(record);
    records_.push_back(std::move(record));
}

}  // namespace velkin::diff
