// Times SHA-256 of a buffer of MEGABYTES random bytes through each compression
// path this machine runs (the reference, then the SHA instructions where the
// processor has them), as the median processor time over 9 runs, in ms and MB/s.
//
//     bench_sha256 [MEGABYTES]
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "arch/kernels.hpp"
#include "text/sha256.hpp"
#include "timing.hpp"

using namespace velkin;

int main(int argc, char** argv) {
    const size_t megabytes = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 10;
    std::string message(megabytes * 1000000, '\0');
    std::mt19937_64 random(1);
    for (char& byte : message) byte = static_cast<char>(random());
    std::vector<std::pair<const char*, text::detail::Sha256Blocks>> paths = {
        {"reference", arch::sha256_blocks_reference}};
#if defined(VELKIN_WIDE_PATHS)
    if (arch::wide_paths().sha256) paths.emplace_back("sha-ni", arch::sha256_blocks_sha_ni);
#endif
#if defined(VELKIN_SHA2_INSTRUCTIONS)
    paths.emplace_back("armv8 sha2", arch::sha256_blocks_armv8);
#endif
    text::Digest first{};
    for (auto [name, path] : paths) {
        std::vector<double> times;
        text::Digest digest{};
        for (int run = 0; run < 9; ++run) {
            const double start = bench::cpu_seconds(bench::CpuClock::Process);
            digest = text::detail::sha256_through(message, path);
            times.push_back(bench::cpu_seconds(bench::CpuClock::Process) - start);
        }
        if (name == paths.front().first) first = digest;
        std::sort(times.begin(), times.end());
        const double median = times[times.size() / 2];
        std::printf("%-10s %8.1f ms %8.0f MB/s%s\n", name, median * 1e3, static_cast<double>(megabytes) / median,
                    digest == first ? "" : "  DIGEST DIFFERS");
    }
    return 0;
}
