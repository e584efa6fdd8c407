#include "diff/report_side.hpp"

#include <algorithm>
#include <cstring>

namespace velkin::diff {

std::string_view ResponseStore::copy(std::string_view text) {
    if (text.empty()) return {};
    if (text.size() > free_bytes_) {
        const size_t size = std::max(CHUNK_BYTES, text.size());
        chunks_.push_back(std::make_unique_for_overwrite<char[]>(size));
        free_ = chunks_.back().get();
        free_bytes_ = size;
    }
    std::memcpy(free_, text.data(), text.size());
    std::string_view copied(free_, text.size());
    free_ += text.size();
    free_bytes_ -= text.size();
    return copied;
}

void ResponseStore::hold(ResponseView& view) {
    const bool text_is_a_block = !view.text_blocks.empty() && view.text.data() == view.text_blocks.front().data();
    for (std::string_view& block : view.text_blocks) block = copy(block);
    if (text_is_a_block) view.text = view.text_blocks.front();
    view.stop_reason = copy(view.stop_reason);
    if (view.model) view.model = &*models_.insert(*view.model).first;
    for (ToolCall& call : view.tool_calls) {
        call.name = copy(call.name);
        call.input = &inputs_.emplace_back(*call.input);
    }
    view.record = nullptr;
}

void ReportSideReader::add(Record record) {
    const bool names_trace = meta_trace_id(record) != nullptr;
    if (record.kind == agentlog::Kind::ChatResponse) {
        ResponseView view = read_view(record);
        side_.store.hold(view);
        side_.responses.push_back(std::move(view));
    }
    if (naming_.empty() || (names_trace && !named_)) {
        named_ = named_ || names_trace;
        record.payload = json::Value();
        naming_.push_back(std::move(record));
    }
}

ReportSide ReportSideReader::take() {
    side_.trace_id = trace_id_for(naming_);
    lower_texts(side_.responses);
    return std::move(side_);
}

}  // namespace velkin::diff
