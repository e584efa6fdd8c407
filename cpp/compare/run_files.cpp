#include "compare/run_files.hpp"

#include <algorithm>
#include <cstring>
#include <new>
#include <span>
#include <string>
#include <string_view>
#include <variant>

#include "agentlog/parser.hpp"
#include "diff/response.hpp"
#include "diff/shingles.hpp"
#include "platform/interrupt.hpp"

namespace velkin::compare {

namespace {

// The parser stops at a 1 GiB trace and reads at most 16 MiB + 1 bytes of the
// line that crosses it, so nothing beyond this many bytes can change its result.
constexpr size_t READ_LIMIT = size_t{1073741824} + 16777216 + 1;

// The first pass reads a file in pieces of about this many bytes, cut after a line's end.
constexpr size_t PIECE = size_t{4} << 20;

// Files held open between the passes; those beyond are opened again for each
// read, so that a run given as a directory of many files needs no more descriptors.
constexpr size_t FILES_HELD_OPEN = 64;

// The envelope fields the comparison never reads.
agentlog::Unbuilt unread_fields() {
    agentlog::Unbuilt unbuilt;
    unbuilt.fields.set(static_cast<size_t>(agentlog::Field::Version));
    unbuilt.fields.set(static_cast<size_t>(agentlog::Field::Ts));
    return unbuilt;
}

// The first pass leaves the responses' payloads for the second.
agentlog::Unbuilt first_pass_unbuilt(bool requests_read) {
    agentlog::Unbuilt unbuilt = unread_fields();
    for (size_t kind = 0; kind < agentlog::KIND_COUNT; ++kind) {
        const auto as_kind = static_cast<agentlog::Kind>(kind);
        unbuilt.payloads.set(kind, as_kind == agentlog::Kind::ChatResponse || !payload_read(as_kind, requests_read));
    }
    return unbuilt;
}

// What tells a response's line from any other it could have become between the passes: the second reads
// only its payload, from where the first found it, and trusts the rest to the first pass's checks.
uint32_t line_check(std::string_view line) {
    const uint64_t hash = diff::text_hash(line);
    return static_cast<uint32_t>(hash ^ (hash >> 32));
}

// Bytes read from a file: grown, never filled, since each read overwrites them.
class ReadBuffer {
public:
    char* data() { return data_.get(); }
    // Room for `size` bytes, the first `kept` as they were.
    char* room(size_t size, size_t kept) {
        if (size > capacity_ || !data_) {
            const size_t capacity = std::max({size, capacity_ * 2, size_t{1}});
            std::unique_ptr<char[]> larger(new char[capacity]);
            if (kept > 0) std::memcpy(larger.get(), data_.get(), kept);
            data_ = std::move(larger);
            capacity_ = capacity;
        }
        return data_.get();
    }

private:
    std::unique_ptr<char[]> data_;
    size_t capacity_ = 0;
};

// Room for the records of a file of `size` bytes whose first `bytes` held `read` of them. Grown by
// doubling, a large run's records would be moved, and fresh pages touched, about twice over (the
// system maps each new block anew). Only a hint: where the room cannot be had, they grow as they come.
void reserve_for(std::vector<agentlog::Record>& records, size_t read, size_t bytes, uint64_t size) {
    if (bytes == 0) return;
    const double expected = static_cast<double>(read) * static_cast<double>(size) / static_cast<double>(bytes);
    try {
        records.reserve(records.size() - read + static_cast<size_t>(expected * 1.0625) + 1);
    } catch (const std::bad_alloc&) {
    }
}

// Reads a file's records in pieces of whole lines onto the end of `records`,
// each decoded where it stays, then handed to `take` with its line, where that
// lies and where its payload starts in it; the parser's error, or the file's, as text.
template <class Take>
std::optional<std::string> read_records(const platform::OpenFile& file, const std::string& path,
                                        agentlog::Unbuilt unbuilt, std::vector<agentlog::Record>& records, Take take) {
    const agentlog::Parser parser;
    const uint64_t size = std::min<uint64_t>(file.size(), READ_LIMIT);
    json::ValueSink sink;
    agentlog::RecordLines<json::ValueSink> reader(parser, {}, sink, unbuilt);
    agentlog::ParseError error;
    ReadBuffer buffer;
    const size_t first_record = records.size();
    size_t held = 0;         // bytes of the buffer not yet parsed
    uint64_t held_from = 0;  // where they start in the file
    for (uint64_t read = 0;;) {
        platform::check_interrupt();
        const size_t wanted = static_cast<size_t>(std::min<uint64_t>(PIECE, size - read));
        char* const piece = buffer.room(held + wanted, held);
        if (std::optional<Error> failed = file.read_at(read, wanted, piece + held)) return failed->message;
        held += wanted;
        read += wanted;
        const bool at_end = read == size;
        // Whole lines only, but for the last of the file and a line longer than the parser takes, which it reports.
        size_t whole = held;
        while (whole > 0 && piece[whole - 1] != '\n') --whole;
        if (at_end || (whole == 0 && held > parser.max_line_bytes)) whole = held;
        reader.resume(std::string_view(piece, whole));
        for (;;) {
            auto step = reader.next(records.emplace_back(), error);
            if (step != agentlog::RecordLines<json::ValueSink>::Step::Record) records.pop_back();
            if (step == agentlog::RecordLines<json::ValueSink>::Step::End) break;
            if (step == agentlog::RecordLines<json::ValueSink>::Step::Error) return path + ": " + error.message();
            const std::string_view line(piece + reader.line_offset(), reader.line_length());
            take(records.back(), line, held_from + reader.line_offset(), reader.payload_offset());
        }
        if (held_from == 0 && !at_end) reserve_for(records, records.size() - first_record, whole, size);
        std::memmove(piece, piece + whole, held - whole);
        held -= whole;
        held_from += whole;
        if (at_end) break;
    }
    if (std::optional<Error> changed = file.changed()) return changed->message;
    return std::nullopt;
}

using ValueReader = json::Reader<json::ValueSink>;

// Payloads of the keys compared on a thread, kept whole for the next keys' on it to be read over: a member
// whose key is the one it replaces costs a comparison, a string that fits the one it replaces a copy,
// and neither an allocation. Each is pruned to what a payload is read into (members, blocks, strings),
// and a few keys' worth of bytes kept, so that what the thread holds once the comparison is over stays small.
struct SparePayloads {
    std::vector<std::pair<json::Value, size_t>> payloads;  // objects, and the bytes each holds
    size_t bytes = 0;
    std::string unescaped;  // a string read with escapes, before it is copied
};
constexpr size_t SPARE_BYTES = size_t{1} << 20;
constexpr size_t SPARE_ENTRIES = 16;  // members or blocks of one array or object

SparePayloads& spare_payloads() {
    thread_local SparePayloads spare;
    return spare;
}

// `value` without what no payload is read into: arrays and objects `levels` deep and below, and large
// ones; the bytes it then holds.
size_t prune(json::Value& value, int levels) {
    if (std::string* text = std::get_if<std::string>(&value.data)) return text->capacity();
    json::Array* array = value.as_array();
    json::Object* object = value.as_object();
    if (!array && !object) return 0;
    const size_t entries = array ? array->capacity() : object->capacity();
    if (levels == 0 || entries > SPARE_ENTRIES) {
        value = json::Value();
        return 0;
    }
    size_t bytes = entries * (array ? sizeof(json::Value) : sizeof(json::Member));
    if (array) {
        for (json::Value& element : *array) bytes += prune(element, levels - 1);
    } else {
        for (json::Member& member : *object) bytes += prune(member.value, levels - 1);
    }
    return bytes;
}

// A payload compared, let go: kept to be read over where there is room, else freed.
void keep_payload(json::Value& payload, SparePayloads& spare) {
    if (payload.as_object()) {
        // Its members, their blocks and usage counts, and the blocks' members.
        const size_t bytes = prune(payload, 3);
        if (payload.as_object() && spare.bytes + bytes <= SPARE_BYTES) {
            spare.bytes += bytes;
            spare.payloads.emplace_back(std::move(payload), bytes);
        }
    }
    payload = json::Value();
}

// The members of the object `out` holds, to be read over, else of a new one.
json::Object& object_in(json::Value& out, size_t reserved) {
    if (json::Object* members = out.as_object()) return *members;
    json::Object& members = out.data.emplace<json::Object>();
    members.reserve(reserved);
    return members;
}

// Members read over those of an object, the n-th read into the n-th place: a repeated key keeps its first
// place and takes the later value, as the reader builds objects. The value handed out may hold what its
// place held; each read replaces it.
class MembersReadOver {
public:
    explicit MembersReadOver(json::Object& members) : members_(members) {}

    json::Value& slot(std::string_view key) {
        // Only a key that may have been read before is looked for among those read: a bit of its length
        // and first byte sets most apart.
        const size_t first = key.empty() ? 0 : static_cast<unsigned char>(key[0]);
        const uint64_t bit = uint64_t{1} << ((key.size() * 8 + first) & 63);
        if (keys_read_ & bit) {
            for (size_t i = 0; i < used_; ++i) {
                if (members_[i].key == key) return members_[i].value;
            }
        }
        keys_read_ |= bit;
        if (used_ == members_.size()) {
            members_.emplace_back(std::string(key));
        } else if (members_[used_].key != key) {
            members_[used_].key = key;
        }
        return members_[used_++].value;
    }
    // The members of the object read over beyond those read go.
    void finish() { members_.erase(members_.begin() + static_cast<std::ptrdiff_t>(used_), members_.end()); }

private:
    json::Object& members_;
    size_t used_ = 0;
    uint64_t keys_read_ = 0;  // the bits of the keys read
};

// A value read over what `out` holds: a string into its string, where it holds one.
bool read_over(ValueReader& reader, json::Value& out, int depth, SparePayloads& spare) {
    reader.skip_whitespace();
    const char first = reader.at_end() ? '\0' : reader.peek();
    // A number is built over whatever `out` holds.
    if (first == '-' || (first >= '0' && first <= '9')) return reader.read_number(out);
    if (first != '"') {
        out = json::Value();
        return reader.read_value(out, depth);
    }
    std::string_view text;
    if (!reader.read_string(text, spare.unescaped)) return false;
    if (std::string* held = std::get_if<std::string>(&out.data)) {
        held->assign(text);
    } else {
        out.data.emplace<std::string>(text);
    }
    return true;
}

// A response's content blocks as diff::retain_report_members keeps them: of each block the members its
// type is read for, and no block of a type that is not read. A block's members are built where they stay,
// its type being known only once all are read.
bool read_blocks(ValueReader& reader, json::Value& out, SparePayloads& spare) {
    json::Array* held = out.as_array();
    json::Array& blocks = held ? *held : out.data.emplace<json::Array>();
    // A response has a few blocks of a few members: room for them at once, since each grown into would be moved.
    if (!held) blocks.reserve(4);
    size_t used = 0;
    const bool read = reader.read_elements(2, [&] {
        reader.skip_whitespace();
        if (reader.at_end() || reader.peek() != '{') return reader.skip_value(3);
        if (used == blocks.size()) blocks.emplace_back();
        json::Object& members = object_in(blocks[used], 4);
        MembersReadOver over(members);
        if (!reader.read_members(3, [&](std::string_view key) { return read_over(reader, over.slot(key), 4, spare); }))
            return false;
        over.finish();
        const json::Member* type = nullptr;
        for (const json::Member& member : members) {
            if (member.key == "type") type = &member;
        }
        const std::string* name = type ? type->value.as_string() : nullptr;
        const std::span<const std::string_view> kept = name ? diff::block_members_retained(*name)
                                                            : std::span<const std::string_view>{};
        if (kept.empty()) return true;  // the next block is read over it
        std::erase_if(members, [&](const json::Member& member) {
            return std::find(kept.begin(), kept.end(), member.key) == kept.end();
        });
        ++used;
        return true;
    });
    if (read) blocks.erase(blocks.begin() + static_cast<std::ptrdiff_t>(used), blocks.end());
    return read;
}

// A response's usage counts as diff::retain_report_members keeps them, the others checked and skipped.
bool read_usage(ValueReader& reader, json::Value& out, SparePayloads& spare) {
    MembersReadOver over(object_in(out, 4));
    const bool read = reader.read_members(2, [&](std::string_view key) {
        if (!diff::usage_member_retained(key)) return reader.skip_value(3);
        return read_over(reader, over.slot(key), 3, spare);
    });
    if (read) over.finish();
    return read;
}

// A response's payload as diff::retain_report_members would leave it, built without what it drops, over
// a payload of a key compared before where there is one.
bool read_response_payload(ValueReader& reader, json::Value& payload, SparePayloads& spare) {
    reader.skip_whitespace();
    if (reader.at_end() || reader.peek() != '{') return reader.read_value(payload, 1);
    if (!spare.payloads.empty()) {
        payload = std::move(spare.payloads.back().first);
        spare.bytes -= spare.payloads.back().second;
        spare.payloads.pop_back();
    }
    MembersReadOver over(object_in(payload, 8));  // a payload keeps at most a few members
    const bool read = reader.read_members(1, [&](std::string_view key) {
        const diff::PayloadMember kept = diff::payload_member_retained(key);
        if (kept == diff::PayloadMember::Dropped) return reader.skip_value(2);
        json::Value& value = over.slot(key);
        reader.skip_whitespace();
        const char next = reader.at_end() ? '\0' : reader.peek();
        if (kept == diff::PayloadMember::Content && next == '[') return read_blocks(reader, value, spare);
        if (kept == diff::PayloadMember::Usage && next == '{') return read_usage(reader, value, spare);
        return read_over(reader, value, 2, spare);
    });
    if (read) over.finish();
    return read;
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

namespace {

// Pairing reads of a request only its first user message with content, and
// the whole payload only where there is none: the history a request carries
// (every earlier turn, as instrumentations record it) goes.
void keep_first_user_message(json::Value& payload) {
    json::Object* members = payload.as_object();
    if (!members) return;
    json::Value* messages = nullptr;
    for (json::Member& member : *members) {
        if (member.key == "messages") messages = &member.value;
    }
    json::Array* list = messages ? messages->as_array() : nullptr;
    if (!list) return;
    for (json::Value& message : *list) {
        const json::Value* role = message.get("role");
        const std::string* name = role ? role->as_string() : nullptr;
        if (!name || *name != "user" || !message.get("content")) continue;
        json::Value kept = std::move(message);
        list->clear();
        list->push_back(std::move(kept));
        std::erase_if(*members, [](const json::Member& member) { return member.key != "messages"; });
        return;
    }
}

}  // namespace

void keep_what_is_read(agentlog::Record& record, bool requests_read) {
    if (record.kind == agentlog::Kind::ChatRequest && requests_read) keep_first_user_message(record.payload);
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

// Where a record's line lies: in which file, from where, how long; for a response, where its payload
// starts in the line and the line's check. A file is read no further than READ_LIMIT.
struct RunFileFeed::Line {
    uint32_t file = 0;
    uint32_t offset = 0;
    uint32_t length = 0;
    uint32_t payload = 0;
    uint32_t check = 0;
};
static_assert(READ_LIMIT <= UINT32_MAX);

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
    const agentlog::Unbuilt unbuilt = first_pass_unbuilt(requests_read_);
    Run& run = sources_[r].records;
    std::vector<Line>& lines = lines_[r];
    for (size_t f : run_files_[r]) {
        File& file = *files_[f];
        Result<platform::OpenFile> opened = platform::OpenFile::open(file.path);
        if (!opened) return opened.error().message;
        std::optional<std::string> failed = read_records(
            opened.value(), file.path, unbuilt, run,
            [&](agentlog::Record& record, std::string_view line, uint64_t at, size_t payload) {
                keep_what_is_read(record, requests_read_);
                const bool response = record.kind == agentlog::Kind::ChatResponse;
                lines.push_back({static_cast<uint32_t>(f), static_cast<uint32_t>(at),
                                 static_cast<uint32_t>(line.size()), static_cast<uint32_t>(payload),
                                 response ? line_check(line) : 0});
            });
        if (failed) return failed;
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
    SparePayloads& spare = spare_payloads();
    ReadBuffer bytes;
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
        bytes.room(span, 0);
        if (std::optional<Error> failed = open.read_at(first.offset, span, bytes.data())) return failed->message;
        for (size_t at = 0; j < end; ++j) {
            const Line& line = lines[conversation.positions[j]];
            const std::string_view text(bytes.data() + at, line.length);
            at += line.length;
            // The same bytes as the first pass read, checked whole there, UTF-8 included.
            if (line_check(text) != line.check) return reads_differently(file.path);
            ValueReader reader(text, sink);
            reader.seek(line.payload);
            if (!read_response_payload(reader, conversation.records[j].payload, spare))
                return reads_differently(file.path);
        }
    }
    return std::nullopt;
}

void RunFileFeed::compared(size_t key) {
    // The payloads were read on this thread: their storage goes to the next key's read on it.
    SparePayloads& spare = spare_payloads();
    for (const Holder& holder : keys_[key]) {
        if (!sources_[holder.run].files) continue;
        for (agentlog::Record& record : holder.conversation->records) {
            if (record.kind == agentlog::Kind::ChatResponse) keep_payload(record.payload, spare);
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
