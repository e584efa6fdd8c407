#pragma once
// Every SHA-256 compression path this machine runs, the reference first, for
// the tests that hold each to the same digests.
#include <vector>

#include "arch/kernels.hpp"
#include "text/sha256.hpp"

inline std::vector<velkin::text::detail::Sha256Blocks> sha256_paths() {
    using namespace velkin::arch;
    std::vector<velkin::text::detail::Sha256Blocks> paths = {sha256_blocks_reference, sha256_blocks};
#if defined(VELKIN_WIDE_PATHS)
    if (wide_paths().sha256) paths.push_back(sha256_blocks_sha_ni);
#endif
#if defined(VELKIN_SHA2_INSTRUCTIONS)
    paths.push_back(sha256_blocks_armv8);
#endif
    return paths;
}
