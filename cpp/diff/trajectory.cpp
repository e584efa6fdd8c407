#include "diff/trajectory.hpp"

#include <algorithm>
#include <utility>

namespace velkin::diff {

namespace {

template <class Symbols>
double edit_distance_over_longer(const Symbols& a, const Symbols& b) {
    size_t longest = std::max(a.size(), b.size());
    if (longest == 0) return 0.0;
    // Rows reused from call to call: a distance is taken for every pair of matched turns.
    thread_local std::vector<uint64_t> previous, current;
    previous.resize(b.size() + 1);
    current.resize(b.size() + 1);
    for (size_t k = 0; k <= b.size(); ++k) previous[k] = k;
    for (size_t r = 1; r <= a.size(); ++r) {
        current[0] = r;
        for (size_t k = 1; k <= b.size(); ++k) {
            uint64_t substitution = previous[k - 1] + (a[r - 1] == b[k - 1] ? 0 : 1);
            current[k] = std::min({substitution, current[k - 1] + 1, previous[k] + 1});
        }
        std::swap(previous, current);
    }
    return static_cast<double>(previous[b.size()]) / static_cast<double>(longest);
}

}  // namespace

double normalised_edit_distance(const std::vector<std::string>& a, const std::vector<std::string>& b) {
    return edit_distance_over_longer(a, b);
}

double normalised_edit_distance(std::span<const std::string_view> a, std::span<const std::string_view> b) {
    return edit_distance_over_longer(a, b);
}

AxisSamples trajectory_samples(const Pairs& pairs) {
    AxisSamples samples{Axis::Trajectory, Statistic::Median, Grading::Rate, std::vector<double>(pairs.size(), 0.0), {}};
    samples.candidate.reserve(pairs.size());
    std::vector<std::string> baseline_shapes, candidate_shapes;
    for (const ResponsePair& pair : pairs) {
        hashed_shape_sequence(pair.baseline->tool_calls, baseline_shapes);
        hashed_shape_sequence(pair.candidate->tool_calls, candidate_shapes);
        samples.candidate.push_back(normalised_edit_distance(baseline_shapes, candidate_shapes));
    }
    return samples;
}

}  // namespace velkin::diff
