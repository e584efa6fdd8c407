#pragma once
// The semantic axis computed with a caller-supplied embedding function.
#include <string>
#include <vector>

#include "diff/report.hpp"

namespace velkin::diff {

using Embedding = std::vector<float>;

class Embedder {
public:
    virtual ~Embedder() = default;
    // One embedding per text on success; an empty list on any failure. Never throws.
    virtual std::vector<Embedding> embed(const std::vector<std::string>& texts) = 0;
};

AxisStat compute_semantic_axis_with_embedder(const std::vector<Record>& baseline, const std::vector<Record>& candidate,
                                             Embedder& embedder, Seed seed);

}  // namespace velkin::diff
