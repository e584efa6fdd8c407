#pragma once
// Affine-gap alignment of the two response sequences and the divergences along it.
#include <algorithm>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "diff/payload.hpp"
#include "diff/report.hpp"
#include "json/value.hpp"

namespace velkin::diff {

struct Step {
    enum class Kind : uint8_t { Match, Insert, Delete };
    Kind kind;
    uint64_t baseline = 0;   // i of Match / Delete
    uint64_t candidate = 0;  // j of Match / Insert
};

inline constexpr double GAP_OPEN = 0.6;
inline constexpr double GAP_EXTEND = 0.15;
inline constexpr double TIE_TOLERANCE = 1e-12;
inline constexpr uint64_t FULL_MATRIX_LIMIT = 1000;
inline constexpr uint64_t MIN_BAND_HALF_WIDTH = 100;
inline constexpr double UNREACHABLE = 1e18;
// A matched pair costing more than this is a divergence.
inline constexpr double DIVERGENCE_THRESHOLD = 0.12;

// Rows 0..n by columns 0..m of which row i stores only columns
// max(0, i - w) ..= min(m, i + w); every other cell reads as the fill value.
template <class T>
struct Banded {
    uint64_t rows = 0;
    uint64_t columns = 0;  // m: the last column index
    uint64_t half_width = 0;
    T fill{};
    std::vector<uint64_t> row_start;  // offset of each row's first stored cell; one extra at the end
    std::vector<T> cells;

    Banded(uint64_t n, uint64_t m, uint64_t w, T fill_value)
        : rows(n), columns(m), half_width(w), fill(fill_value), row_start(n + 2) {
        for (uint64_t i = 0; i <= n; ++i) row_start[i + 1] = row_start[i] + (hi(i) - lo(i) + 1);
        cells.assign(row_start[n + 1], fill);
    }

    uint64_t lo(uint64_t i) const { return i > half_width ? i - half_width : 0; }
    uint64_t hi(uint64_t i) const { return std::min(columns, i + half_width); }
    bool contains(uint64_t i, uint64_t j) const { return i <= rows && j >= lo(i) && j <= hi(i); }
    T get(uint64_t i, uint64_t j) const { return contains(i, j) ? cells[row_start[i] + (j - lo(i))] : fill; }
    // Only for cells inside the band.
    T& at(uint64_t i, uint64_t j) { return cells[row_start[i] + (j - lo(i))]; }
};

// |A ∩ B| / |A ∪ B| from the sizes: 1.0 when both sets are empty.
inline double jaccard_of_counts(uint64_t common, uint64_t size_a, uint64_t size_b) {
    if (size_a == 0 && size_b == 0) return 1.0;
    return static_cast<double>(common) / static_cast<double>(size_a + size_b - common);
}

template <class T>
uint64_t count_common(const std::vector<T>& a, const std::vector<T>& b) {
    uint64_t common = 0;
    size_t i = 0, j = 0;
    while (i < a.size() && j < b.size()) {
        if (a[i] < b[j]) {
            ++i;
        } else if (b[j] < a[i]) {
            ++j;
        } else {
            ++common, ++i, ++j;
        }
    }
    return common;
}

// Jaccard index of two ordered sets (ascending, no duplicates).
template <class T>
double jaccard(const std::vector<T>& a, const std::vector<T>& b) {
    return jaccard_of_counts(count_common(a, b), a.size(), b.size());
}

// "{name}({keys})" of one tool_use block: "_" for a missing name, input keys ascending, joined by ",".
std::string tool_use_shape(const json::Value& block);

// The alignment's tool shape: the distinct "{name}({keys})" of the tool_use blocks, ascending.
std::vector<std::string> tool_shape(const Record& record);
// Number of tool_use blocks, repeats included.
uint64_t tool_call_count(const Record& record);

std::string normalise_whitespace(std::string_view text);
double text_similarity(std::string_view a, std::string_view b);

// Tool name -> the input of its first tool_use block (null when absent).
std::map<std::string, json::Value> tool_use_inputs(const Record& record);
std::optional<std::string> arg_value_diff(const Record& baseline, const Record& candidate);

double pair_cost(const Record& baseline, const Record& candidate);

// Band half-width used beyond the full-matrix limit.
uint64_t band_half_width(uint64_t n, uint64_t m);
std::vector<Step> align(const Responses& baseline, const Responses& candidate);

// Names in backquotes, separated by ", ".
std::string list(const std::vector<std::string>& names);

std::vector<FirstDivergence> walk_collecting(const std::vector<Step>& path, const Responses& baseline,
                                             const Responses& candidate, uint64_t limit);

}  // namespace velkin::diff
