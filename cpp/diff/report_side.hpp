#pragma once
// One side of a report read record by record: each response viewed as its
// record arrives and the record then let go, so that a side costs its views
// and the few texts and tool inputs they read rather than its records.
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "diff/response.hpp"

namespace velkin::diff {

// Owns what views read once their records are gone. Its texts sit in large
// chunks and its models once each; addresses stay put however the store grows
// or moves, since the views point into it.
class ResponseStore {
public:
    // Copies what `view` borrows from its record into the store and points the view at the copies.
    void hold(ResponseView& view);

private:
    std::string_view copy(std::string_view text);

    static constexpr size_t CHUNK_BYTES = size_t{1} << 20;
    std::vector<std::unique_ptr<char[]>> chunks_;
    char* free_ = nullptr;  // the unused end of the last chunk
    size_t free_bytes_ = 0;
    std::unordered_set<std::string> models_;
    std::deque<json::Value> inputs_;
};

struct ReportSide {
    Responses responses;   // in trace order, as select_responses views them
    ResponseStore store;   // what they read
    std::string trace_id;  // as trace_id_for names the records
};

class ReportSideReader {
public:
    void add(Record record);
    ReportSide take();

private:
    ReportSide side_;
    // The first record, and the first whose meta holds a trace id: all trace_id_for reads.
    std::vector<Record> naming_;
    bool named_ = false;
};

}  // namespace velkin::diff
