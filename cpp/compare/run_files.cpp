#include "compare/run_files.hpp"

#include "agentlog/parser.hpp"
#include "diff/response.hpp"

namespace velkin::compare {

namespace {

// The parser stops at a 1 GiB trace and reads at most 16 MiB + 1 bytes of the
// line that crosses it, so nothing beyond this many bytes can change its result.
constexpr size_t READ_LIMIT = size_t{1073741824} + 16777216 + 1;

// Files held open between the passes; those beyond are opened again for each
// read, so that a run given as a directory of many files needs no more descriptors.
constexpr size_t FILES_HELD_OPEN = 64;

agentlog::SkippedPayloads first_pass_skips(bool requests_read) {
    agentlog::SkippedPayloads skipped;
    for (size_t kind = 0; kind < agentlog::KIND_COUNT; ++kind) {
        const auto as_kind = static_cast<agentlog::Kind>(kind);
        skipped.set(kind, as_kind == agentlog::Kind::ChatResponse || !payload_read(as_kind, requests_read));
    }
    return skipped;
}

std::string reads_differently(const std::string& path) {
    return path +
           " changed while it was read (a response reads differently the second time): read it again once "
           "nothing writes to it";
}

}  // namespace

bool payload_read(agentlog::Kind kind, bool requests_read) {
    return kind == agentlog::Kind::Metadata || kind == agentlog::Kind::ChatResponse ||
           (requests_read && kind == agentlog::Kind::ChatRequest);
}

void keep_what_is_read(agentlog::Record& record, bool requests_read) {
    if (record.kind == agentlog::Kind::ChatResponse) {
        std::optional<std::string> parent = std::move(record.parent);
        diff::retain_report_members(record);
        record.parent = std::move(parent);
        return;
    }
    record.version = std::string();
    record.ts = std::string();
    if (!payload_read(record.kind, requests_read)) record.payload = nullptr;
}

struct RunFileFeed::File {
    std::string path;
    std::optional<platform::OpenFile> open;  // while held open
    platform::FileStamp stamp;               // as the first pass read it
};

// Where a response's line lies: in which file, from where, how long.
struct RunFileFeed::Line {
    uint32_t file = 0;
    uint32_t length = 0;
    uint64_t offset = 0;
};

RunFileFeed::RunFileFeed(std::vector<Source> sources, bool requests_read)
    : sources_(std::move(sources)),
      requests_read_(requests_read),
      run_files_(sources_.size()),
      lines_(sources_.size()),
      run_errors_(sources_.size()) {
    for (size_t r = 0; r < sources_.size(); ++r) {
        if (!sources_[r].files) continue;
        for (const std::string& path : sources_[r].files->paths) {
            run_files_[r].push_back(files_.size());
            files_.push_back(std::make_unique<File>(File{path, std::nullopt, {}}));
        }
    }
}

RunFileFeed::~RunFileFeed() = default;

std::optional<Run> RunFileFeed::run(size_t r) {
    if (!sources_[r].files) return std::move(sources_[r].records);
    run_errors_[r] = read_run(r);
    if (run_errors_[r]) return std::nullopt;
    return std::move(sources_[r].records);
}

std::optional<std::string> RunFileFeed::read_run(size_t r) {
    const agentlog::SkippedPayloads skipped = first_pass_skips(requests_read_);
    Run& run = sources_[r].records;
    std::vector<Line>& lines = lines_[r];
    for (size_t f : run_files_[r]) {
        File& file = *files_[f];
        Result<platform::OpenFile> opened = platform::OpenFile::open(file.path);
        if (!opened) return opened.error().message;
        Result<platform::FileBytes> bytes = platform::FileBytes::read(opened.value(), READ_LIMIT);
        if (!bytes) return bytes.error().message;
        json::ValueSink sink;
        agentlog::RecordLines<json::ValueSink> reader(agentlog::Parser{}, bytes.value().text(), sink, skipped);
        agentlog::Record record;
        agentlog::ParseError error;
        for (;;) {
            auto step = reader.next(record, error);
            if (step == agentlog::RecordLines<json::ValueSink>::Step::End) break;
            if (step == agentlog::RecordLines<json::ValueSink>::Step::Error) return file.path + ": " + error.message();
            keep_what_is_read(record, requests_read_);
            lines.push_back({static_cast<uint32_t>(f), static_cast<uint32_t>(reader.line_length()),
                             static_cast<uint64_t>(reader.line_offset())});
            run.push_back(std::move(record));
        }
        file.stamp = opened.value().stamp();
        if (f < FILES_HELD_OPEN) file.open = std::move(opened).value();
    }
    return std::nullopt;
}

void RunFileFeed::paired(std::vector<std::vector<Holder>> keys) { keys_ = std::move(keys); }

bool RunFileFeed::ready(size_t key) {
    for (const Holder& holder : keys_[key]) {
        if (std::optional<std::string> failed = read_responses(holder)) {
            std::lock_guard<std::mutex> guard(lock_);
            if (!key_error_ || key < key_error_->first) key_error_.emplace(key, std::move(*failed));
            return false;
        }
    }
    return true;
}

// Reads the lines of a conversation's responses again, each run of lines that
// follow one another in a file at once.
std::optional<std::string> RunFileFeed::read_responses(const Holder& holder) {
    if (!sources_[holder.run].files) return std::nullopt;
    Conversation& conversation = *holder.conversation;
    const std::vector<Line>& lines = lines_[holder.run];
    json::ValueSink sink;
    std::string bytes;
    const size_t count = conversation.records.size();
    for (size_t j = 0; j < count;) {
        if (conversation.records[j].kind != agentlog::Kind::ChatResponse) {
            ++j;
            continue;
        }
        const Line& first = lines[conversation.positions[j]];
        size_t end = j + 1;
        uint64_t span = first.length;
        while (end < count && conversation.records[end].kind == agentlog::Kind::ChatResponse) {
            const Line& next = lines[conversation.positions[end]];
            if (next.file != first.file || next.offset != first.offset + span) break;
            span += next.length;
            ++end;
        }
        File& file = *files_[first.file];
        std::optional<platform::OpenFile> reopened;
        if (!file.open) {
            Result<platform::OpenFile> opened = platform::OpenFile::open(file.path);
            if (!opened) return opened.error().message;
            reopened = std::move(opened).value();
            if (std::optional<Error> changed = reopened->changed_since(file.stamp)) return changed->message;
        }
        const platform::OpenFile& open = file.open ? *file.open : *reopened;
        bytes.resize(span);
        if (std::optional<Error> failed = open.read_at(first.offset, span, bytes.data())) return failed->message;
        for (size_t at = 0; j < end; ++j) {
            const Line& line = lines[conversation.positions[j]];
            std::string_view text(bytes.data() + at, line.length);
            at += line.length;
            while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.remove_suffix(1);
            auto decoded = agentlog::decode_record_text(text, sink);
            agentlog::Record& record = conversation.records[j];
            if (!decoded || decoded.value().kind != agentlog::Kind::ChatResponse || decoded.value().id != record.id)
                return reads_differently(file.path);
            keep_what_is_read(decoded.value(), requests_read_);
            record.payload = std::move(decoded.value().payload);
        }
    }
    return std::nullopt;
}

void RunFileFeed::compared(size_t key) {
    // The payloads were read on this thread: letting them go here hands their memory to the next key's.
    for (const Holder& holder : keys_[key]) {
        if (!sources_[holder.run].files) continue;
        for (agentlog::Record& record : holder.conversation->records) {
            if (record.kind == agentlog::Kind::ChatResponse) record.payload = json::Value();
        }
    }
}

std::optional<std::string> RunFileFeed::failure() {
    for (std::optional<std::string>& error : run_errors_) {
        if (error) return std::move(error);
    }
    for (const std::unique_ptr<File>& file : files_) {
        if (!file->open) continue;
        if (std::optional<Error> changed = file->open->changed_since(file->stamp)) return changed->message;
    }
    std::lock_guard<std::mutex> guard(lock_);
    if (key_error_) return std::move(key_error_->second);
    return std::nullopt;
}

}  // namespace velkin::compare
