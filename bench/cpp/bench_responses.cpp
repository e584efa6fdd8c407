// Times what the run comparison reads of the responses of one conversation
// key, in the shape bench/compare.py gives it: four runs of ten responses of
// about two hundred ASCII characters. Per key: the views of each run
// (select_responses), the terms of all forty responses (response_terms), the
// semantic samples of each of the six pairs of runs, the abstention test of
// every response. In processor time of one thread, median of the repeats,
// microseconds per key.
//
//     bench_responses [KEYS] [REPEAT]
//
// Built beside the library it measures (-DVELKIN_BUILD_BENCH=ON); to compare
// two versions, build each and run both binaries one after the other.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <variant>
#include <vector>

#include "agentlog/parser.hpp"
#include "diff/response.hpp"
#include "diff/safety.hpp"
#include "diff/semantic.hpp"
#include "timing.hpp"

using namespace velkin;

namespace {

constexpr size_t RUNS = 4;
constexpr size_t RESPONSES = 10;
constexpr const char* WORDS[] = {"flight",    "booking",   "seat",   "change",      "refund",      "baggage",
                                 "economy",   "business",  "window", "aisle",       "reservation", "date",
                                 "passenger", "payment",   "card",   "certificate", "upgrade",     "cancel",
                                 "confirm",   "itinerary", "delay",  "gate"};
constexpr size_t WORD_COUNT = std::size(WORDS);

struct SplitMix {
    uint64_t state;
    uint64_t next() {
        uint64_t z = (state += 0x9e3779b97f4a7c15ull);
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
        return z ^ (z >> 31);
    }
    size_t below(size_t n) { return static_cast<size_t>(next() % n); }
};

// One run of one key as .agentlog lines: a request, then ten responses whose
// words the key fixes and the run rewords a little; every other one calls a tool.
std::string conversation(SplitMix& run_rng, size_t run, size_t key) {
    const std::string trace = "r" + std::to_string(run) + "-" + std::to_string(key);
    std::string lines = R"({"version":"0.1","id":")" + trace +
                        R"(-q","kind":"chat_request","ts":"t","parent":null,)"
                        R"("meta":{"trace_id":")" +
                        trace +
                        R"("},"payload":{"messages":[]}})"
                        "\n";
    SplitMix key_rng{key};
    for (size_t turn = 0; turn < RESPONSES; ++turn) {
        std::vector<size_t> words(30);
        for (size_t& word : words) word = key_rng.below(WORD_COUNT);
        for (int k = 0; k < 3; ++k) words[run_rng.below(words.size())] = run_rng.below(WORD_COUNT);
        std::string text;
        for (size_t word : words) text += (text.empty() ? "" : " ") + std::string(WORDS[word]);
        std::string content = R"([{"type":"text","text":")" + text + R"("})";
        if (turn % 2 == 0)
            content += R"(,{"type":"tool_use","id":"u)" + std::to_string(turn) +
                       R"(","name":"get_reservation_details",)"
                       R"("input":{"id":"id-)" +
                       std::to_string(key) + "-" + std::to_string(turn) + R"("}})";
        content += "]";
        lines += R"({"version":"0.1","id":")" + trace + "-r" + std::to_string(turn) +
                 R"(","kind":"chat_response","ts":"t","parent":null,"meta":{"trace_id":")" + trace +
                 R"("},"payload":{"model":"nimbus-pro","content":)" + content + R"(,"stop_reason":")" +
                 (turn % 2 == 0 ? "tool_use" : "end_turn") + R"(","usage":{"input_tokens":)" +
                 std::to_string(800 + run_rng.below(100)) + R"(,"output_tokens":)" +
                 std::to_string(40 + run_rng.below(20)) + R"(},"latency_ms":)" +
                 std::to_string(500 + run_rng.below(300)) + "}}\n";
    }
    return lines;
}

}  // namespace

int main(int argc, char** argv) {
    const size_t keys = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 2000;
    const int repeat = argc > 2 ? std::atoi(argv[2]) : 7;
    // records[key][run]: what one comparison of that key reads.
    std::vector<std::vector<std::vector<agentlog::Record>>> records(keys);
    SplitMix run_rng{1};
    for (size_t key = 0; key < keys; ++key) {
        for (size_t run = 0; run < RUNS; ++run) {
            auto parsed = agentlog::parse_records(agentlog::Parser{}, conversation(run_rng, run, key));
            if (auto* error = std::get_if<agentlog::ParseError>(&parsed)) {
                std::fprintf(stderr, "%s\n", error->message().c_str());
                return 2;
            }
            records[key].push_back(std::get<std::vector<agentlog::Record>>(std::move(parsed)));
            for (agentlog::Record& record : records[key].back()) diff::retain_report_members(record);
        }
    }

    std::vector<double> views_s, terms_s, semantic_s, abstention_s;
    double checksum = 0.0;
    for (int r = 0; r < repeat; ++r) {
        double views = 0.0, terms = 0.0, semantic = 0.0, abstention = 0.0;
        for (size_t key = 0; key < keys; ++key) {
            double start = bench::cpu_seconds(bench::CpuClock::Thread);
            std::vector<diff::Responses> runs;
            for (const auto& run : records[key]) runs.push_back(diff::select_responses(run));
            double after_views = bench::cpu_seconds(bench::CpuClock::Thread);
            std::vector<const diff::ResponseView*> all;
            for (const diff::Responses& run : runs)
                for (const diff::ResponseView& response : run) all.push_back(&response);
            diff::ResponseTerms read = diff::response_terms(all);
            double after_terms = bench::cpu_seconds(bench::CpuClock::Thread);
            for (size_t a = 0; a < RUNS; ++a) {
                for (size_t b = a + 1; b < RUNS; ++b) {
                    std::vector<diff::DocumentPair> pairs;
                    for (size_t i = 0; i < RESPONSES; ++i) pairs.push_back({a * RESPONSES + i, b * RESPONSES + i});
                    diff::AxisSamples samples = diff::semantic_samples(read, pairs);
                    checksum += samples.candidate.front();
                }
            }
            double after_semantic = bench::cpu_seconds(bench::CpuClock::Thread);
            for (const diff::ResponseView* response : all) checksum += diff::is_abstention_with(*response);
            double end = bench::cpu_seconds(bench::CpuClock::Thread);
            // Letting go of what each stage made is part of its cost.
            read = {};
            double after_terms_freed = bench::cpu_seconds(bench::CpuClock::Thread);
            runs.clear();
            double after_views_freed = bench::cpu_seconds(bench::CpuClock::Thread);
            views += after_views - start + (after_views_freed - after_terms_freed);
            terms += after_terms - after_views + (after_terms_freed - end);
            semantic += after_semantic - after_terms;
            abstention += end - after_semantic;
        }
        views_s.push_back(views), terms_s.push_back(terms), semantic_s.push_back(semantic),
            abstention_s.push_back(abstention);
    }
    const double per_key = 1e6 / static_cast<double>(keys);
    const double views = bench::median(views_s) * per_key, terms = bench::median(terms_s) * per_key,
                 semantic = bench::median(semantic_s) * per_key, abstention = bench::median(abstention_s) * per_key;
    std::printf("%zu keys x %zu runs x %zu responses, median of %d, us per key (checksum %.6f)\n", keys, RUNS,
                RESPONSES, repeat, checksum);
    std::printf("views %7.2f  terms %7.2f  semantic %7.2f  abstention %7.2f  total %7.2f\n", views, terms, semantic,
                abstention, views + terms + semantic + abstention);
    return 0;
}
