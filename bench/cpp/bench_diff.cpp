// Times the diff report on two .agentlog files: parsing, the response views,
// each of the nine rows alone, the alignment's turn features, the alignment
// (with the cost per computed cell), the drill-down and the full
// compute_report, in processor time. The views and the full report split the
// work as compute_diff_report does: each side read record by record as the
// Python records arrive (pruned, viewed, let go), then the report on those views.
//
//     bench_diff BASELINE.agentlog CANDIDATE.agentlog [REPEAT]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <variant>
#include <vector>

#include "agentlog/parser.hpp"
#include "diff/alignment.hpp"
#include "diff/bootstrap.hpp"
#include "diff/conformance.hpp"
#include "diff/cost.hpp"
#include "diff/diff.hpp"
#include "diff/drill_down.hpp"
#include "diff/reasoning.hpp"
#include "diff/report_side.hpp"
#include "diff/safety.hpp"
#include "diff/semantic.hpp"
#include "diff/trajectory.hpp"
#include "timing.hpp"

using namespace velkin;
using Clock = std::chrono::steady_clock;

namespace {

std::vector<agentlog::Record> read_trace(const char* path) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        std::fprintf(stderr, "cannot open %s\n", path);
        std::exit(2);
    }
    std::stringstream bytes;
    bytes << file.rdbuf();
    auto parsed = agentlog::parse_records(agentlog::Parser{}, bytes.str());
    if (auto* error = std::get_if<agentlog::ParseError>(&parsed)) {
        std::fprintf(stderr, "%s: %s\n", path, error->message().c_str());
        std::exit(2);
    }
    return std::get<std::vector<agentlog::Record>>(std::move(parsed));
}

// Processor time of this process, which other work on a shared machine does not inflate.
// Best of `repeat` runs, in processor seconds.
double best_of(int repeat, const std::function<void()>& run) {
    double best = 1e300;
    for (int i = 0; i < repeat; ++i) {
        double start = bench::cpu_seconds(bench::CpuClock::Process);
        run();
        best = std::min(best, bench::cpu_seconds(bench::CpuClock::Process) - start);
    }
    return best;
}

// What the Python conversion hands the side reader: each record pruned to
// the members the report reads.
std::vector<agentlog::Record> pruned(const std::vector<agentlog::Record>& records) {
    std::vector<agentlog::Record> copies = records;
    for (agentlog::Record& record : copies) diff::retain_report_members(record);
    return copies;
}

diff::ReportSide read_side(std::vector<agentlog::Record> records) {
    diff::ReportSideReader reader;
    for (agentlog::Record& record : records) reader.add(std::move(record));
    return reader.take();
}

// Best of `repeat` runs of `run`, each given a fresh `prepare()` made outside the timing.
template <class Prepare, class Run>
double best_of_prepared(int repeat, Prepare prepare, Run run) {
    double best = 1e300;
    for (int i = 0; i < repeat; ++i) {
        auto input = prepare();
        double start = bench::cpu_seconds(bench::CpuClock::Process);
        run(std::move(input));
        best = std::min(best, bench::cpu_seconds(bench::CpuClock::Process) - start);
    }
    return best;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s BASELINE.agentlog CANDIDATE.agentlog [REPEAT]\n", argv[0]);
        return 2;
    }
    const int repeat = argc > 3 ? std::atoi(argv[3]) : 3;
    auto parse_start = Clock::now();
    std::vector<agentlog::Record> baseline = read_trace(argv[1]);
    std::vector<agentlog::Record> candidate = read_trace(argv[2]);
    double parse_seconds = std::chrono::duration<double>(Clock::now() - parse_start).count();

    double views = best_of_prepared(
        repeat, [&] { return std::pair(pruned(baseline), pruned(candidate)); },
        [](auto records) { read_side(std::move(records.first)), read_side(std::move(records.second)); });
    const diff::ReportSide baseline_side = read_side(pruned(baseline));
    const diff::ReportSide candidate_side = read_side(pruned(candidate));
    const diff::Responses& baseline_responses = baseline_side.responses;
    const diff::Responses& candidate_responses = candidate_side.responses;
    diff::Pairs pairs = diff::pair_responses(baseline_responses, candidate_responses);
    diff::PricingTable pricing = {{"nimbus-pro", {3e-6, 1.5e-5, 3e-7, 3.75e-6, 6e-6, 0.0, 0.5}}};
    const diff::Seed seed = 42;

    std::printf("responses %zu / %zu, pairs %zu, parse %.3f s\n", baseline_responses.size(), candidate_responses.size(),
                pairs.size(), parse_seconds);
    std::printf("views          %8.1f ms  (each side read record by record, as the Python call reads it)\n",
                views * 1e3);

    // Each row alone (its samples and its own bootstrap), then all nine rows
    // together, where rows of equal length share their index draws.
    struct Row {
        const char* name;
        std::function<diff::AxisSamples()> samples;
    };
    const std::vector<Row> rows = {
        {"semantic", [&] { return diff::semantic_samples(pairs); }},
        {"trajectory", [&] { return diff::trajectory_samples(pairs); }},
        {"safety", [&] { return diff::safety_samples(pairs); }},
        {"verbosity", [&] { return diff::verbosity_samples(pairs); }},
        {"latency", [&] { return diff::latency_samples(pairs); }},
        {"cost", [&] { return diff::cost_samples(pairs, pricing); }},
        {"reasoning", [&] { return diff::reasoning_samples(pairs); }},
        {"conformance", [&] { return diff::conformance_samples(pairs); }},
    };
    for (const Row& row : rows) {
        diff::AxisSamples samples;
        double gather = best_of(repeat, [&] { samples = row.samples(); });
        double statistic = best_of(repeat, [&] { diff::axis_stat(samples, seed); });
        std::printf("  %-12s samples %7.1f ms   statistic %7.1f ms\n", row.name, gather * 1e3, statistic * 1e3);
    }
    double nine_rows = best_of(repeat, [&] {
        std::vector<diff::AxisSamples> all;
        for (const Row& row : rows) all.push_back(row.samples());
        diff::axis_stats(all, seed);
    });
    std::printf("nine rows      %8.1f ms\n", nine_rows * 1e3);
    if (!baseline_responses.empty()) {
        const uint64_t n = baseline_responses.size(), m = candidate_responses.size();
        const bool full = std::max(n, m) <= diff::FULL_MATRIX_LIMIT;
        const uint64_t w = full ? std::max(n, m) : diff::band_half_width(n, m);
        uint64_t cells = 0;
        for (uint64_t i = 1; i <= n; ++i) {
            uint64_t lo = i > w ? i - w : 1, hi = std::min(m, i + w);
            if (hi >= lo) cells += hi - lo + 1;
        }
        diff::AlignedTurns turns;
        double features = best_of(repeat,
                                  [&] { turns = diff::turn_features(baseline_responses, candidate_responses); });
        std::vector<diff::Step> path;
        double alignment = best_of(repeat, [&] { path = diff::align(turns); });
        double walks = best_of(
            repeat, [&] { diff::walk_collecting(path, turns, baseline_responses, candidate_responses, n + m); });
        std::printf("turn features  %8.1f ms\n", features * 1e3);
        std::printf("alignment      %8.1f ms  (%s, %llu cells, %.1f ns per pair_cost cell)\n", alignment * 1e3,
                    full ? "full" : "banded", static_cast<unsigned long long>(cells),
                    cells ? alignment * 1e9 / static_cast<double>(cells) : 0.0);
        std::printf("divergences    %8.1f ms\n", walks * 1e3);
    }
    double drill = best_of(repeat, [&] { diff::drill_down(pairs, pricing); });
    if (!baseline_responses.empty()) {
        diff::AlignedTurns turns = diff::turn_features(baseline_responses, candidate_responses);
        double reused = best_of(repeat, [&] { diff::drill_down(pairs, pricing, &turns); });
        std::printf("drill-down     %8.1f ms  (reusing the turn features)\n", reused * 1e3);
    }
    std::printf("drill-down     %8.1f ms\n", drill * 1e3);
    double report = best_of_prepared(
        repeat, [&] { return std::pair(baseline_responses, candidate_responses); },
        [&](auto responses) {
            diff::compute_report(std::move(responses.first), std::move(responses.second), baseline_side.trace_id,
                                 candidate_side.trace_id, pricing, seed);
        });
    std::printf("full report    %8.1f ms  (%.2f us per pair, on the views)\n", report * 1e3,
                pairs.empty() ? 0.0 : report * 1e6 / static_cast<double>(pairs.size()));
    return 0;
}
