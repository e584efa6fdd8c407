#pragma once
// Runs given as .agentlog files, read in two passes so that a suite is never
// held whole: the first reads every record but the responses' payloads, which
// are nearly all of a run, and notes where each response's line lies; once the
// runs are paired, each key's responses are read again from their files as the
// key is compared, and let go when it has been.
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "agentlog/record.hpp"
#include "compare/compare.hpp"
#include "compare/conversations.hpp"
#include "platform/file_bytes.hpp"

namespace velkin::compare {

// The comparison reads the payloads of metadata and responses, and of requests
// only to pair conversations by their first one; the others (tool results
// above all) are dropped as soon as they are checked.
bool payload_read(agentlog::Kind kind, bool requests_read);

// Of the envelope the comparison reads the kind, id, parent and meta; of a
// response's payload only what the engine's view of a response reads.
void keep_what_is_read(agentlog::Record& record, bool requests_read);

struct RunFiles {
    size_t run = 0;                  // where the run goes among its side's runs
    std::vector<std::string> paths;  // read in this order into one run
};

// Feeds a comparison runs given as files, or as records already read. Errors
// are those of reading the files in Python: "cannot read PATH: REASON" or
// "PATH: " and the parser's message; and "PATH changed while it was read
// (...)" when a file differs between the passes.
class RunFileFeed final : public RecordFeed {
public:
    // A run per entry, in the comparison's order: files, or records.
    struct Source {
        std::optional<RunFiles> files;
        Run records;
    };
    RunFileFeed(std::vector<Source> sources, bool requests_read);
    ~RunFileFeed() override;

    std::optional<Run> run(size_t r) override;
    void paired(std::vector<std::vector<Holder>> keys) override;
    bool ready(size_t key) override;
    void compared(size_t key) override;
    void close() override {}

    // Why the comparison stopped, if a file failed it: of the first run, in
    // the order given, that failed to read, else of the first key.
    std::optional<std::string> failure();

private:
    struct File;
    struct Line;
    std::optional<std::string> read_run(size_t r);
    std::optional<std::string> read_responses(const Holder& holder);

    std::vector<Source> sources_;
    bool requests_read_;
    std::vector<std::unique_ptr<File>> files_;    // of every run, in order
    std::vector<std::vector<size_t>> run_files_;  // per run: its files' indices
    std::vector<std::vector<Line>> lines_;        // per run and record
    std::vector<std::vector<Holder>> keys_;
    std::vector<std::optional<std::string>> run_errors_;
    std::mutex lock_;
    std::optional<std::pair<size_t, std::string>> key_error_;  // the first key's
};

}  // namespace velkin::compare
