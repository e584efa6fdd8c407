// Runs read from files in two passes: each key's responses come back from
// their files as it is compared, and a file that changes between the passes
// is named, not read into a wrong comparison.
#include <array>
#include <filesystem>
#include <fstream>
#include <span>
#include <string>
#include <vector>

#include "check.hpp"
#include "compare/conversations.hpp"
#include "compare/run_files.hpp"
#include "diff/response.hpp"
#include "json/reader.hpp"
#include "json/writer.hpp"

using namespace velkin::compare;
namespace fs = std::filesystem;

namespace {

std::string response_line(const std::string& trace, int turn, const std::string& text) {
    return R"({"version":"0.1","id":")" + trace + "-r" + std::to_string(turn) +
           R"(","kind":"chat_response","ts":"2025-01-01T00:00:00Z","parent":null,"meta":{"trace_id":")" + trace +
           R"("},"payload":{"model":"m","content":[{"type":"text","text":")" + text +
           R"("}],"stop_reason":"end_turn","usage":{"input_tokens":10,"output_tokens":4}}})" + "\n";
}

std::string conversation_lines(const std::string& trace) {
    return R"({"version":"0.1","id":")" + trace +
           R"(-m","kind":"metadata","ts":"2025-01-01T00:00:00Z","parent":null,"meta":{"trace_id":")" + trace +
           R"(","task_id":1},"payload":{"source":"test"}})" + "\n" + response_line(trace, 0, "first answer") +
           R"({"version":"0.1","id":")" + trace +
           R"(-t","kind":"tool_result","ts":"2025-01-01T00:00:00Z","parent":null,"meta":{"trace_id":")" + trace +
           R"("},"payload":{"output":"a long tool output"}})" + "\n" + response_line(trace, 1, "second answer");
}

void write(const fs::path& path, const std::string& text) { std::ofstream(path, std::ios::binary) << text; }

struct Suite {
    fs::path dir;
    std::vector<fs::path> files;  // of the baseline run, the last holding its records
    fs::path candidate;
};

// A baseline run of `empty_files` empty files then one holding its conversation, and a candidate run.
Suite suite(const char* name, size_t empty_files) {
    Suite made{fs::temp_directory_path() / (std::string("velkin-run-files-") + name), {}, {}};
    fs::remove_all(made.dir);
    fs::create_directories(made.dir);
    for (size_t i = 0; i <= empty_files; ++i) {
        std::string name = std::to_string(i);
        name += ".agentlog";
        made.files.push_back(made.dir / name);
        write(made.files.back(), i == empty_files ? conversation_lines("b") : "");
    }
    made.candidate = made.dir / "c.agentlog";
    write(made.candidate, conversation_lines("c"));
    return made;
}

// A baseline and a candidate run of one file each, both holding `text`.
Suite same_runs(const char* name, const std::string& text) {
    Suite made{fs::temp_directory_path() / (std::string("velkin-run-files-") + name), {}, {}};
    fs::remove_all(made.dir);
    fs::create_directories(made.dir);
    made.files.push_back(made.dir / "b.agentlog");
    made.candidate = made.dir / "c.agentlog";
    write(made.files.back(), text);
    write(made.candidate, text);
    return made;
}

RunFileFeed feed_of(const Suite& made) {
    std::vector<RunFileFeed::Source> sources(2);
    sources[0].files = RunFiles{0, {}};
    for (const fs::path& file : made.files) sources[0].files->paths.push_back(file.string());
    sources[1].files = RunFiles{0, {made.candidate.string()}};
    return RunFileFeed(std::move(sources), true);
}

// The first pass over both runs, paired as one key.
struct Read {
    std::array<velkin::compare::Run, 2> records;  // what the conversations view
    std::vector<std::vector<Conversation>> runs;
    bool complete = true;
};

Read first_pass(RunFileFeed& feed) {
    Read read;
    for (size_t r = 0; r < 2; ++r) {
        std::optional<Run> run = feed.run(r);
        read.complete = read.complete && run.has_value();
        if (run) read.records[r] = std::move(*run);
        read.runs.push_back(run ? group_conversations(read.records[r]) : std::vector<Conversation>{});
    }
    if (read.complete) feed.paired({{{0, &read.runs[0][0]}, {1, &read.runs[1][0]}}});
    return read;
}

const velkin::json::Value* response_content(const Conversation& conversation, size_t response) {
    size_t seen = 0;
    for (const velkin::agentlog::Record& record : conversation.records) {
        if (record.kind != velkin::agentlog::Kind::ChatResponse) continue;
        if (seen++ == response) return record.payload.get("content");
    }
    return nullptr;
}

// The same bytes but for a byte of a response's text that no UTF-8 text holds.
std::string broken_text(const std::string& text) {
    std::string broken = text;
    broken[broken.find("second answer")] = '\xff';
    return broken;
}

// The same bytes but for a response's id.
std::string renamed_response(const std::string& text) {
    std::string renamed = text;
    renamed.replace(renamed.find("b-r1"), 4, "b-r9");
    return renamed;
}

}  // namespace

TEST(responses_are_read_again_while_their_key_is_compared) {
    for (size_t empty_files : {size_t{0}, size_t{70}}) {  // held open, and opened again for each read
        Suite made = suite("again", empty_files);
        RunFileFeed feed = feed_of(made);
        Read read = first_pass(feed);
        CHECK(read.complete);
        CHECK_EQ(read.runs[0].size(), size_t{1});
        CHECK_EQ(read.runs[0][0].records.size(), size_t{4});
        // The first pass keeps the envelope of a response but not its payload.
        CHECK(response_content(read.runs[0][0], 0) == nullptr);
        CHECK_EQ(read.runs[0][0].records[1].id, std::string("b-r0"));
        CHECK(feed.ready(0));
        for (size_t r = 0; r < 2; ++r) {
            for (size_t response = 0; response < 2; ++response) {
                const velkin::json::Value* content = response_content(read.runs[r][0], response);
                CHECK(content != nullptr);
                const velkin::json::Value* text = content ? content->as_array()->front().get("text") : nullptr;
                CHECK(text && *text->as_string() == (response == 0 ? "first answer" : "second answer"));
            }
        }
        // Nor does anything of the tool result's output reach the comparison.
        CHECK(read.runs[1][0].records[2].payload.is_null());
        feed.compared(0);
        CHECK(response_content(read.runs[0][0], 1) == nullptr);
        CHECK(!feed.failure());
        fs::remove_all(made.dir);
    }
}

TEST(a_file_changed_between_the_passes_is_named) {
    struct Change {
        const char* name;
        std::string (*rewrite)(const std::string&);
        const char* says;
    };
    const Change changes[] = {
        {"renamed", renamed_response, "changed while it was read ("},
        {"not UTF-8", broken_text, "changed while it was read ("},
        {"truncated", [](const std::string& text) { return text.substr(0, text.size() / 2); },
         "changed while it was read (it"},
        {"appended", [](const std::string& text) { return text + text; }, "changed while it was read (its size went"},
    };
    for (size_t empty_files : {size_t{0}, size_t{70}}) {
        for (const Change& change : changes) {
            Suite made = suite(change.name, empty_files);
            RunFileFeed feed = feed_of(made);
            Read read = first_pass(feed);
            CHECK(read.complete);
            std::ifstream in(made.files.back(), std::ios::binary);
            std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
            in.close();
            write(made.files.back(), change.rewrite(text));
            const bool read_again = feed.ready(0);
            std::optional<std::string> failure = feed.failure();
            CHECK(failure.has_value());
            if (failure) {
                CHECK(failure->find(made.files.back().string() + " changed while it was read (") == 0);
                if (failure->find(change.says) == std::string::npos)
                    std::fprintf(stderr, "%s, %zu files: %s\n", change.name, empty_files, failure->c_str());
                CHECK(failure->find(change.says) != std::string::npos);
            }
            // A shorter file cannot give the lines back, nor can bytes the reader would take as text;
            // a longer file still can, and is named at the end.
            if (std::string(change.name) != "appended") CHECK(!read_again);
            fs::remove_all(made.dir);
        }
    }
}

TEST(a_file_that_fails_the_first_pass_is_named_and_stops_the_feed) {
    Suite made = suite("unreadable", 0);
    write(made.candidate, "{\"version\":\"0.1\"}\n");
    RunFileFeed feed = feed_of(made);
    Read read = first_pass(feed);
    CHECK(!read.complete);
    std::optional<std::string> failure = feed.failure();
    CHECK(failure && failure->find(made.candidate.string() + ": parse error on line 1: ") == 0);
    fs::remove_all(made.dir);
}

// A request keeps what pairing reads of it: the first user message, or, without one, its whole payload.
TEST(a_request_keeps_only_what_pairs_its_conversation) {
    const char* payloads[] = {
        R"({"model":"m","tools":[{"name":"t"}],"messages":[{"role":"system","content":"be brief"},)"
        R"({"role":"user"},{"role":"user","content":[{"type":"text","text":"hi"},{"type":"text","text":"there"}]},)"
        R"({"role":"assistant","content":"a long answer"},{"role":"user","content":"more"}]})",
        R"({"model":"m","messages":[{"role":"system","content":"be brief"},{"role":"assistant","content":"a"}]})",
        R"({"model":"m","messages":"not a list"})",
        R"(["not an object"])",
    };
    const size_t kept_messages[] = {1, 2, 0, 0};
    for (size_t i = 0; i < std::size(payloads); ++i) {
        std::vector<velkin::agentlog::Record> records(1);
        Conversation conversation{records, {0}, ""};
        velkin::agentlog::Record& request = records.front();
        request.kind = velkin::agentlog::Kind::ChatRequest;
        request.payload = velkin::json::parse_document(payloads[i]).value();
        const std::optional<std::string> before = first_request_text(conversation);
        keep_what_is_read(request, true);
        CHECK(first_request_text(conversation) == before);
        const velkin::json::Value* messages = request.payload.get("messages");
        const size_t kept = messages && messages->as_array() ? messages->as_array()->size() : 0;
        CHECK_EQ(kept, kept_messages[i]);
        // Pruned, the payload holds the messages alone; else it is as it came.
        if (i == 0)
            CHECK_EQ(velkin::json::to_compact(request.payload),
                     std::string(R"({"messages":[{"role":"user","content":[{"type":"text","text":"hi"},)"
                                 R"({"type":"text","text":"there"}]}]})"));
        if (i > 0) CHECK_EQ(velkin::json::to_compact(request.payload), std::string(payloads[i]));
    }
}

// The second pass builds a response's payload without what no part of the report reads; it must come
// out as the whole payload pruned after it was built, also when read again into the storage that the
// payloads of the key compared before left.
TEST(a_response_payload_is_built_as_the_report_prunes_it) {
    const char* payloads[] = {
        // Read again, each payload is read over the storage of the one as far from the other end of the list:
        // this one over the last object, fewer blocks over more and fewer members over more, and back.
        R"({"content":[{"type":"text","text":"one"},{"type":"text","text":"two"},{"type":"text","text":"3"}]})",
        // Strings too long to live in their value, of several lengths, in several places.
        R"({"model":"a model name longer than any kept inline","content":[{"type":"text","text":"a first )"
        R"(answer, long enough to need storage of its own"},{"type":"text","text":"and a second one, )"
        R"(shorter"}],"stop_reason":"a stop reason that is long too"})",
        R"({"model":"m","id":"x","content":[{"type":"text","text":"hi","extra":1},)"
        R"({"type":"tool_use","id":"u1","name":"get","input":{"id":"a","deep":[[{"k":[1,2.5,-3]}]]}}],)"
        R"("stop_reason":"tool_use","usage":{"input_tokens":10,"cache":{"x":1},"output_tokens":4},"latency_ms":1.5})",
        // Repeated keys keep their first place and take the later value, whatever its type.
        R"({"content":[{"type":"text","text":"a"}],"model":"m","content":"plain","usage":{"input_tokens":1},)"
        R"("usage":[1,2],"model":"n","batch":true,"batch":false})",
        R"({"usage":7,"usage":{"thinking_tokens":3,"input_tokens":1,"input_tokens":2},"content":7,)"
        R"("content":[{"type":"thinking","thinking":"t"}]})",
        // Blocks that are not objects, have no string type or a type never read go; a type may come last.
        R"({"content":["s",3,null,{"text":"no type"},{"type":5,"text":"x"},{"type":"image","data":"..."},)"
        R"({"text":"late","name":"n","type":"text"},{"type":"tool_use","input":null,"text":"t","name":"f"},)"
        R"({"type":"text","type":"thinking","text":"gone"},{"\u0074ype":"text","te\u0078t":"escaped \"key\""}]})",
        R"( { "model" : "m" , "content" : [ { "type" : "text" , "text" : "spaced" } ] , "other" : { } } )",
        R"({"content":[],"usage":{},"stop_reason":null})",
        R"({})",
        R"({"content":[{"type":"text"}]})",
        R"(["not an object"])",
        R"("text")",
        R"(null)",
    };
    std::string lines;
    for (size_t i = 0; i < std::size(payloads); ++i) {
        lines += R"({"version":"0.1","id":"p)" + std::to_string(i) +
                 R"(","kind":"chat_response","ts":"t","parent":null,"meta":{"trace_id":"p"},"payload":)" + payloads[i] +
                 "}\n";
    }
    const Suite made = same_runs("pruned", lines);
    RunFileFeed feed = feed_of(made);
    Read read = first_pass(feed);
    CHECK(read.complete);
    for (int reading = 0; reading < 2 && read.complete; ++reading) {
        CHECK(feed.ready(0));
        for (size_t r = 0; r < 2; ++r) {
            const std::span<velkin::agentlog::Record> records = read.runs[r][0].records;
            CHECK_EQ(records.size(), std::size(payloads));
            for (size_t i = 0; i < records.size(); ++i) {
                velkin::agentlog::Record whole;
                whole.kind = velkin::agentlog::Kind::ChatResponse;
                whole.payload = velkin::json::parse_document(payloads[i]).value();
                velkin::diff::retain_report_members(whole);
                CHECK_EQ(velkin::json::to_compact(records[i].payload), velkin::json::to_compact(whole.payload));
            }
        }
        feed.compared(0);
    }
    CHECK(!feed.failure());
    fs::remove_all(made.dir);
}

// The second pass reads a response's payload from where the first found it in the line, whatever the
// line's form: each answer must come back as its own.
TEST(a_response_payload_is_found_again_in_any_form_of_line) {
    auto payload = [](int i) {
        return R"({"content":[{"type":"text","text":"answer )" + std::to_string(i) + R"("}],"model":"m"})";
    };
    const std::string meta = R"("meta":{"trace_id":"f"})";
    const std::string lines[] = {
        // The payload first: the kind, read after it, cannot tell the first pass to skip it.
        R"({"payload":)" + payload(0) + R"(,"version":"0.1","id":"f0","kind":"chat_response","ts":"t",)" + meta + "}\n",
        R"({ "version" : "0.1" , "id" : "f1" , "kind" : "chat_response" , "ts" : "t" , "parent" : null , )" + meta +
            R"( , "payload" :   )" + payload(1) + " }\n",
        R"(["0.1","f2","chat_response","t",null,{"trace_id":"f"},)" + payload(2) + "]\n",
        R"({"version":"0.1","id":"f\u0033","kind":"chat_response","ts":"t",)" + meta + R"(,"payload":)" + payload(3) +
            "}\r\n",
        // The last line, with no line ending, after a blank one.
        R"({"version":"0.1","id":"f4","kind":{"chat_response":null},"ts":"t",)" + meta + R"(,"payload":)" + payload(4) +
            "}",
    };
    std::string text;
    for (const std::string& line : lines) text += (&line == &lines[4] ? "\n" : "") + line;
    const Suite made = same_runs("forms", text);
    RunFileFeed feed = feed_of(made);
    Read read = first_pass(feed);
    CHECK(read.complete);
    CHECK(feed.ready(0));
    for (size_t r = 0; r < 2 && read.complete; ++r) {
        CHECK_EQ(read.runs[r][0].records.size(), std::size(lines));
        for (size_t i = 0; i < std::size(lines); ++i) {
            const velkin::json::Value* content = response_content(read.runs[r][0], i);
            const velkin::json::Value* text = content ? content->as_array()->front().get("text") : nullptr;
            CHECK(text && *text->as_string() == "answer " + std::to_string(i));
        }
    }
    CHECK(!feed.failure());
    fs::remove_all(made.dir);
}
