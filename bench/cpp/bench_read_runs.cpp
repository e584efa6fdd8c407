// Times the reading of runs given as .agentlog files, both passes, on one
// thread: the first reads every record of each run but the responses'
// payloads and groups them into conversations; the second reads each key's
// responses again (conversation i of every run is key i, as in
// bench/data's suites) and lets them go, as the comparison does around its
// work. Processor time, median of the repeats, microseconds per key.
//
//     bench_read_runs [REPEAT] FILE...
//     bench_read_runs 5 bench/data/suite-1000-{b1,b2,c1,c2}.agentlog
//
// Built beside the library it measures (-DVELKIN_BUILD_BENCH=ON); to compare
// two versions, build each and run both binaries one after the other. Under
// callgrind, REPEAT 1 gives the instruction counts of one reading.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include "compare/conversations.hpp"
#include "compare/run_files.hpp"
#include "timing.hpp"

using namespace velkin;

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: bench_read_runs REPEAT FILE...\n");
        return 2;
    }
    const int repeat = std::max(1, std::atoi(argv[1]));
    std::vector<double> first_s, second_s;
    size_t keys = 0, responses = 0;
    for (int r = 0; r < repeat; ++r) {
        std::vector<compare::RunFileFeed::Source> sources;
        for (int a = 2; a < argc; ++a) {
            compare::RunFileFeed::Source source;
            source.files = compare::RunFiles{sources.size(), {argv[a]}};
            sources.push_back(std::move(source));
        }
        const size_t run_count = sources.size();
        compare::RunFileFeed feed(std::move(sources), true);

        double start = bench::cpu_seconds(bench::CpuClock::Thread);
        std::vector<compare::Run> stored(run_count);  // what the conversations view
        std::vector<std::vector<compare::Conversation>> runs;
        for (size_t run = 0; run < run_count; ++run) {
            std::optional<compare::Run> read = feed.run(run);
            if (!read) {
                std::fprintf(stderr, "%s\n", feed.failure().value_or("stopped").c_str());
                return 1;
            }
            stored[run] = std::move(*read);
            runs.push_back(compare::group_conversations(stored[run]));
        }
        first_s.push_back(bench::cpu_seconds(bench::CpuClock::Thread) - start);

        keys = runs.front().size();
        for (const auto& run : runs) keys = std::min(keys, run.size());
        std::vector<std::vector<compare::RecordFeed::Holder>> holders(keys);
        for (size_t key = 0; key < keys; ++key) {
            for (size_t run = 0; run < run_count; ++run)
                holders[key].push_back({static_cast<uint32_t>(run), &runs[run][key]});
        }
        feed.paired(std::move(holders));

        start = bench::cpu_seconds(bench::CpuClock::Thread);
        responses = 0;
        for (size_t key = 0; key < keys; ++key) {
            if (!feed.ready(key)) {
                std::fprintf(stderr, "%s\n", feed.failure().value_or("stopped").c_str());
                return 1;
            }
            for (const auto& run : runs) {
                for (const agentlog::Record& record : run[key].records)
                    responses += record.kind == agentlog::Kind::ChatResponse && !record.payload.is_null();
            }
            feed.compared(key);
        }
        second_s.push_back(bench::cpu_seconds(bench::CpuClock::Thread) - start);
    }
    const double per_key = 1e6 / static_cast<double>(std::max<size_t>(keys, 1));
    const double first = bench::median(first_s) * per_key, second = bench::median(second_s) * per_key;
    std::printf("%zu keys, %zu responses read again, median of %d, us per key\n", keys, responses, repeat);
    std::printf("first pass %8.2f  second pass %8.2f  total %8.2f\n", first, second, first + second);
    return 0;
}
