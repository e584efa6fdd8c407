#pragma once
// Affine-gap alignment of the two response sequences and the divergences along it.
#include <algorithm>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "diff/report.hpp"
#include "diff/response.hpp"

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

    Banded(uint64_t n, uint64_t m, uint64_t w, T fill_value) { reshape(n, m, w, fill_value); }

    // Another shape, every cell the fill value, in the memory already held.
    void reshape(uint64_t n, uint64_t m, uint64_t w, T fill_value) {
        rows = n, columns = m, half_width = w, fill = fill_value;
        row_start.assign(n + 2, 0);
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

// What the pair cost reads of one turn, as ids interned over both sides:
// equal ids are equal values.
struct TurnFeatures {
    std::vector<uint32_t> shapes;  // distinct key shapes, ascending
    uint64_t calls = 0;            // tool calls, repeats included
    uint32_t stop_reason = 0;
    std::vector<uint32_t> input_classes;  // per tool name, names ascending: its first input
    // The distinct shingles of the whitespace-normalised text, `shingle_count`
    // of them. Turns with equal texts share one list; once a ShingleIndex is
    // built the lists are dropped and the count stays.
    std::shared_ptr<const uint32_t[]> shingles;
    uint32_t shingle_count = 0;
    // The same shingles as bits numbered by id, (distinct shingles + 63) / 64
    // words, where the features of several lists are interned together and
    // their ids are few (see turn_features); dropped with the lists.
    std::shared_ptr<const uint64_t[]> shingle_bits;
    uint32_t text = 0;       // equal for equal response texts
    uint32_t shape_set = 0;  // equal for equal `shapes`
    uint32_t input_set = 0;  // equal for equal `input_classes`
    // At most one text block, already whitespace-normalised: the shingles are
    // also those of the text joined by line feeds.
    bool text_is_normal = false;

    std::span<const uint32_t> shingle_ids() const { return {shingles.get(), shingles ? shingle_count : 0}; }
};

struct AlignedTurns;

// The shingles of both sides arranged for counting what any baseline turn
// shares with any candidate turn. Shingles held by both sides in many turns
// go into per-turn bit sets (one AND per 64 shingles per pair), the others
// into per-shingle lists of the candidate turns that hold them, so that a pair
// pays only for the rare shingles it shares. Shingles of one side only are
// left out: they are never common.
class ShingleIndex {
public:
    ShingleIndex() = default;
    explicit ShingleIndex(const AlignedTurns& turns) { build(turns); }
    // Indexes the turns anew, in the memory already held.
    void build(const AlignedTurns& turns);

    // Per rare shingle: the first of its candidate turns not yet passed. Rows
    // are counted in increasing order with a band that only moves right.
    using Cursors = std::vector<uint64_t>;
    Cursors cursors() const;
    void reset(Cursors& cursors) const;
    // Shingles each of the baseline turns i..i + rows - 1 shares with each
    // candidate turn first..last, into common[r * (last - first + 1) + j - first]
    // for turn i + r and candidate turn j.
    void count_rows(uint64_t i, uint64_t rows, uint64_t first, uint64_t last, Cursors& cursors,
                    std::vector<uint32_t>& common) const;
    // Shingles baseline turn i shares with candidate turn j.
    uint64_t count(uint64_t i, uint64_t j) const;

private:
    size_t words_ = 0;                     // 64-bit words per turn bit set
    std::vector<uint64_t> baseline_bits_;  // turn-major
    std::vector<uint64_t> candidate_bits_;
    std::vector<uint64_t> rare_start_;     // per baseline turn: its rare shingles in rare_ (one extra at the end)
    std::vector<uint32_t> rare_;           // as rare-shingle numbers
    std::vector<uint64_t> posting_start_;  // per rare shingle: its candidate turns in postings_, ascending
    std::vector<uint32_t> postings_;
};

// The features of both sides, built once and read by the alignment, the walk
// and the drill-down.
struct AlignedTurns {
    std::vector<TurnFeatures> baseline;
    std::vector<TurnFeatures> candidate;
    size_t distinct_shingles = 0;

    // Builds the index the alignment and the walk then count with and drops
    // the per-turn shingle lists, which take several times its memory.
    void index_shingles();
    const ShingleIndex* index() const { return index_.get(); }

    // Shingles held by both baseline turn i and candidate turn j.
    uint64_t common_shingles(uint64_t i, uint64_t j);
    // pair_cost of baseline turn i and candidate turn j.
    double pair_cost(uint64_t i, uint64_t j);
    // The same when the common shingles are known.
    double pair_cost(uint64_t i, uint64_t j, uint64_t common) const;

private:
    std::shared_ptr<const ShingleIndex> index_;
    std::vector<uint32_t> marks_;  // per shingle: the stamp of the last turn that marked it
    uint32_t stamp_ = 0;
};

AlignedTurns turn_features(const Responses& baseline, const Responses& candidate);

// The features of several response lists interned together: any two of them,
// moved into an AlignedTurns with `distinct_shingles`, align and walk exactly
// as turn_features of that pair does, without being built again per pair.
struct TurnFeatureSets {
    std::vector<std::vector<TurnFeatures>> lists;
    size_t distinct_shingles = 0;
};
TurnFeatureSets turn_features(const std::vector<const Responses*>& lists);

// The cost of matching two responses, from the responses themselves.
double pair_cost(const ResponseView& baseline, const ResponseView& candidate);

// Band half-width used beyond the full-matrix limit.
uint64_t band_half_width(uint64_t n, uint64_t m);
std::vector<Step> align(const AlignedTurns& turns);
std::vector<Step> align(const Responses& baseline, const Responses& candidate);

// Names in backquotes, separated by ", ".
std::string list(const std::vector<std::string>& names);

// Every divergence along the path, in path order, at most `limit`.
std::vector<FirstDivergence> walk_collecting(const std::vector<Step>& path, AlignedTurns& turns,
                                             const Responses& baseline, const Responses& candidate, uint64_t limit);
std::vector<FirstDivergence> walk_collecting(const std::vector<Step>& path, const Responses& baseline,
                                             const Responses& candidate, uint64_t limit);

// Structural drift first, then decision, then style; within a kind the most
// confident first. A NaN confidence ranks equal to any other.
bool ranks_before(const FirstDivergence& a, const FirstDivergence& b);
// The first `limit` of every divergence along the path in a stable sort by
// ranks_before; only those are explained.
std::vector<FirstDivergence> ranked_divergences(const std::vector<Step>& path, AlignedTurns& turns,
                                                const Responses& baseline, const Responses& candidate, size_t limit);

}  // namespace velkin::diff
