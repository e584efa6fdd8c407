// Times the shingle work of a run comparison on generated conversations shaped
// like bench/compare.py's suite: per key, four runs of RESPONSES responses of
// 30 words each, the runs rewording a few words. Prints the median processor
// time over REPEAT runs of
//   shingle ids   ShingleIds::add_text over each key's texts (a table per key)
//   features      turn_features over each key's four runs (all the interning)
//   index         ShingleIndex for each of the six pairs of runs of a key
//   align         diff::align for each of those pairs (index included)
// Run the binary of two builds one after the other to compare them. On an
// AVX2 processor without AVX-512, the AVX2 paths of the shared bit counts and
// the pair costs took `align` from 4.1 to 3.4 us per pair (6000 keys, medians
// of four interleaved runs of each build on a busy machine).
//
//     bench_shingles [KEYS] [REPEAT]
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "diff/alignment.hpp"
#include "diff/shingles.hpp"

using namespace velkin;

namespace {

constexpr int RUNS = 4;
constexpr int RESPONSES = 10;
constexpr int WORDS_PER_TEXT = 30;
const char* const WORDS[] = {"flight",    "booking",   "seat",   "change",      "refund",      "baggage",
                             "economy",   "business",  "window", "aisle",       "reservation", "date",
                             "passenger", "payment",   "card",   "certificate", "upgrade",     "cancel",
                             "confirm",   "itinerary", "delay",  "gate"};
constexpr size_t WORD_COUNT = sizeof WORDS / sizeof WORDS[0];

double cpu_seconds() {
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

double median_of(int repeat, const std::function<void()>& run) {
    std::vector<double> times;
    for (int i = 0; i < repeat; ++i) {
        double start = cpu_seconds();
        run();
        times.push_back(cpu_seconds() - start);
    }
    std::sort(times.begin(), times.end());
    return times[times.size() / 2];
}

struct Key {
    std::vector<std::string> texts;  // run-major
    std::vector<diff::Responses> runs;
};

std::vector<Key> generate(size_t keys) {
    std::mt19937_64 rng(1);
    std::vector<Key> out(keys);
    for (size_t k = 0; k < keys; ++k) {
        Key& key = out[k];
        std::mt19937_64 task_rng(k);
        std::vector<std::vector<size_t>> asked(RESPONSES);
        for (auto& words : asked)
            for (int w = 0; w < WORDS_PER_TEXT; ++w) words.push_back(task_rng() % WORD_COUNT);
        key.texts.reserve(RUNS * RESPONSES);
        for (int run = 0; run < RUNS; ++run) {
            for (int turn = 0; turn < RESPONSES; ++turn) {
                std::vector<size_t> words = asked[turn];
                for (int change = 0; change < 3; ++change) words[rng() % words.size()] = rng() % WORD_COUNT;
                std::string text;
                for (size_t w : words) {
                    if (!text.empty()) text.push_back(' ');
                    text.append(WORDS[w]);
                }
                key.texts.push_back(std::move(text));
            }
        }
        key.runs.resize(RUNS);
        for (int run = 0; run < RUNS; ++run) {
            for (int turn = 0; turn < RESPONSES; ++turn) {
                diff::ResponseView view;
                view.text = key.texts[run * RESPONSES + turn];
                view.text_blocks = {view.text};
                view.stop_reason = turn % 2 == 0 ? "tool_use" : "end_turn";
                key.runs[run].push_back(std::move(view));
            }
        }
    }
    return out;
}

// The turns of runs a and b of a key's interned features, as the run comparison lends them.
diff::AlignedTurns pair_of(const diff::TurnFeatureSets& sets, int a, int b) {
    diff::AlignedTurns turns;
    turns.baseline = sets.lists[a];
    turns.candidate = sets.lists[b];
    turns.distinct_shingles = sets.distinct_shingles;
    return turns;
}

}  // namespace

int main(int argc, char** argv) {
    const size_t keys = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 2000;
    const int repeat = argc > 2 ? std::atoi(argv[2]) : 5;
    const std::vector<Key> suite = generate(keys);
    size_t chars = 0;
    for (const Key& key : suite)
        for (const std::string& text : key.texts) chars += text.size();

    uint64_t sink = 0;
    diff::ShingleIds ids;
    std::vector<uint32_t> buffer;
    const double shingle_ids = median_of(repeat, [&] {
        for (const Key& key : suite) {
            ids.clear();
            for (const std::string& text : key.texts) {
                buffer.clear();
                ids.add_text(text, buffer);
                sink += buffer.size();
            }
        }
    });

    std::vector<const diff::Responses*> lists(RUNS);
    const double features = median_of(repeat, [&] {
        for (const Key& key : suite) {
            for (int run = 0; run < RUNS; ++run) lists[run] = &key.runs[run];
            sink += diff::turn_features(lists).distinct_shingles;
        }
    });

    std::vector<diff::TurnFeatureSets> sets;
    for (const Key& key : suite) {
        for (int run = 0; run < RUNS; ++run) lists[run] = &key.runs[run];
        sets.push_back(diff::turn_features(lists));
    }
    size_t distinct = 0, listed = 0;
    for (const diff::TurnFeatureSets& set : sets) {
        distinct += set.distinct_shingles;
        for (const auto& list : set.lists)
            for (const diff::TurnFeatures& turn : list) listed += turn.shingle_count;
    }
    std::vector<diff::AlignedTurns> pairs;
    for (const diff::TurnFeatureSets& set : sets)
        for (int a = 0; a < RUNS; ++a)
            for (int b = a + 1; b < RUNS; ++b) pairs.push_back(pair_of(set, a, b));
    const double index = median_of(repeat, [&] {
        for (const diff::AlignedTurns& turns : pairs) sink += diff::ShingleIndex(turns).cursors().size();
    });
    const double align = median_of(repeat, [&] {
        for (const diff::AlignedTurns& turns : pairs) sink += diff::align(turns).size();
    });

    std::printf("%zu keys, %zu texts, %.1f chars per text, %zu pairs (medians of %d, processor time)\n", keys,
                keys * RUNS * RESPONSES, static_cast<double>(chars) / static_cast<double>(keys * RUNS * RESPONSES),
                pairs.size(), repeat);
    std::printf("%.0f distinct shingles per key, %.0f per text\n", static_cast<double>(distinct) / keys,
                static_cast<double>(listed) / static_cast<double>(keys * RUNS * RESPONSES));
    std::printf("shingle ids %8.1f ms  %5.2f ns per char\n", shingle_ids * 1e3, shingle_ids * 1e9 / chars);
    std::printf("features    %8.1f ms  %5.2f ns per char\n", features * 1e3, features * 1e9 / chars);
    std::printf("index       %8.1f ms  %5.2f us per pair\n", index * 1e3, index * 1e6 / pairs.size());
    std::printf("align       %8.1f ms  %5.2f us per pair\n", align * 1e3, align * 1e6 / pairs.size());
    return sink == 0;
}
