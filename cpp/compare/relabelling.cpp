#include "compare/relabelling.hpp"

#include <algorithm>

#include "compare/parallel.hpp"

namespace velkin::compare {

namespace {

// Columns with at most this many levels count every rank of a block's rows
// at once (a few kilobytes per row) rather than in two passes.
constexpr size_t DIRECT_LEVELS = 1024;

// Conversations packed per task: enough tasks to keep every thread busy to the end.
constexpr size_t WORKS_PER_STRETCH = 512;

// The rank a labelling without a point holds in a rank column, which the
// tallies count but never read: one past the levels where every rank is
// counted, else the first of a bucket past the levels'.
uint32_t absent_rank(const Levels& levels) {
    if (levels.values.size() <= DIRECT_LEVELS) return static_cast<uint32_t>(levels.values.size());
    return static_cast<uint32_t>(levels.buckets() << levels.shift);
}

}  // namespace

PackedSuite pack_suite(const std::vector<Work*>& paired, const std::vector<size_t>& axis_rows,
                       const std::vector<bool>& by_mean, const std::array<size_t, SIGNATURE_KINDS>& subject_count,
                       bool with_outcome, unsigned threads) {
    PackedSuite suite;
    for (size_t t = 0; t < axis_rows.size(); ++t) (by_mean[t] ? suite.mean_axes : suite.median_axes).push_back(t);
    suite.subjects = subject_count;
    for (size_t s = 0; s < SIGNATURE_KINDS; ++s) {
        suite.first_subject_slot[s] = suite.slots;
        suite.slots += subject_count[s];
    }
    suite.with_outcome = with_outcome;
    suite.tests = SIGNATURES + axis_rows.size() + (with_outcome ? 1 : 0);
    suite.values.resize(2 * (suite.mean_axes.size() + 1));
    suite.ranks.resize(2 * suite.median_axes.size());

    auto point_of = [&](const Labelling& labelling, size_t t) -> const AxisPoint& {
        return labelling.axes[axis_rows[t]];
    };
    // The labellings lie far apart in memory: one pass gathers all that the columns read of them, a
    // stretch of conversations per thread, and the rank columns are then ranked each on its own thread
    // from what was gathered.
    const size_t median_columns = suite.ranks.size();
    std::vector<std::vector<double>> sides(median_columns);        // per rank column: each labelling's value, or 0.0
    std::vector<std::vector<char>> has(suite.median_axes.size());  // per axis by median: each labelling has a point
    size_t labellings = 0;
    for (const Work* work : paired) {
        suite.first.push_back(labellings);
        suite.counts.push_back(static_cast<uint16_t>(work->labellings.size()));
        labellings += work->labellings.size();
    }
    for (auto* columns : {&suite.values, &sides}) {
        for (std::vector<double>& column : *columns) column.resize(labellings);
    }
    for (std::vector<char>& column : has) column.resize(labellings);
    suite.present.resize(labellings);
    // Per stretch: its shares, and where each of its labellings' shares start among them.
    struct Shares {
        std::vector<uint32_t> start;
        std::vector<PackedShare> shares;
    };
    const size_t stretches = (paired.size() + WORKS_PER_STRETCH - 1) / WORKS_PER_STRETCH;
    std::vector<Shares> stretch_shares(stretches);
    parallel_for(stretches, threads, [&](size_t stretch) {
        Shares& own = stretch_shares[stretch];
        const size_t end = std::min(paired.size(), (stretch + 1) * WORKS_PER_STRETCH);
        for (size_t w = stretch * WORKS_PER_STRETCH; w < end; ++w) {
            Work* work = paired[w];
            size_t j = suite.first[w];
            for (const Labelling& labelling : work->labellings) {
                own.start.push_back(static_cast<uint32_t>(own.shares.size()));
                for (size_t s = 0; s < SIGNATURES; ++s) {
                    if (labelling.signatures[s] != 0.0)
                        own.shares.push_back({static_cast<uint32_t>(s), labelling.signatures[s]});
                }
                for (size_t s = 0; s < SIGNATURE_KINDS; ++s) {
                    for (const SubjectShare& share : labelling.subjects[s]) {
                        own.shares.push_back(
                            {static_cast<uint32_t>(suite.first_subject_slot[s] + share.subject), share.share});
                    }
                }
                uint16_t present = labelling.outcome.has ? uint16_t{1} << OUTCOME_BIT : 0;
                for (size_t m = 0; m <= suite.mean_axes.size(); ++m) {
                    const AxisPoint& point = m < suite.mean_axes.size() ? point_of(labelling, suite.mean_axes[m])
                                                                        : labelling.outcome;
                    if (point.has && m < suite.mean_axes.size())
                        present |= static_cast<uint16_t>(1u << suite.mean_axes[m]);
                    suite.values[2 * m][j] = point.has ? point.baseline : 0.0;
                    suite.values[2 * m + 1][j] = point.has ? point.candidate : 0.0;
                }
                suite.present[j] = present;
                for (size_t q = 0; q < suite.median_axes.size(); ++q) {
                    const AxisPoint& point = point_of(labelling, suite.median_axes[q]);
                    has[q][j] = point.has;
                    sides[2 * q][j] = point.has ? point.baseline : 0.0;
                    sides[2 * q + 1][j] = point.has ? point.candidate : 0.0;
                }
                ++j;
            }
            std::vector<Labelling>().swap(work->labellings);
        }
    });
    suite.share_start.reserve(labellings + 1);
    for (Shares& own : stretch_shares) {
        const auto offset = static_cast<uint32_t>(suite.shares.size());
        for (uint32_t start : own.start) suite.share_start.push_back(offset + start);
        suite.shares.insert(suite.shares.end(), own.shares.begin(), own.shares.end());
        std::vector<uint32_t>().swap(own.start);
        std::vector<PackedShare>().swap(own.shares);
    }
    suite.levels.resize(median_columns);
    suite.constant.resize(median_columns);
    parallel_for(median_columns, threads, [&](size_t c) {
        const std::vector<char>& with_point = has[c / 2];
        const std::vector<double>& values = sides[c];
        std::vector<double> taken;
        for (size_t j = 0; j < labellings; ++j) {
            if (with_point[j]) taken.push_back(values[j]);
        }
        suite.constant[c] = taken.size() == labellings && std::all_of(taken.begin(), taken.end(), [&](double value) {
                                return value == taken.front();
                            });
        const Levels& levels = suite.levels[c] = levels_of(std::move(taken));
        std::vector<uint32_t>& ranks = suite.ranks[c];
        ranks.reserve(labellings);
        for (size_t j = 0; j < labellings; ++j)
            ranks.push_back(with_point[j] ? rank_of(levels, values[j]) : absent_rank(levels));
    });
    suite.share_start.push_back(static_cast<uint32_t>(suite.shares.size()));
    return suite;
}

namespace {

// The statistics of a block of relabellings, each taking labelling first[i] +
// choices[r][i] of every conversation i. Each column is read in one pass over
// the conversations for the whole block. Sums grow in conversation order, as
// mean_of sums. A median takes two passes over its column: the first counts
// the ranks by bucket, which tells the buckets holding the middle; the second
// counts the ranks of those buckets one by one. A column of few levels
// counts every rank in one pass instead.
class BlockTally {
public:
    BlockTally(const PackedSuite& suite, const std::vector<std::vector<uint16_t>>& choices)
        : suite_(suite), rows_(choices.size()) {
        const size_t n = suite.first.size();
        chosen_.resize(n * rows_);
        for (size_t i = 0; i < n; ++i) {
            for (size_t r = 0; r < rows_; ++r)
                chosen_[i * rows_ + r] = static_cast<uint32_t>(suite.first[i] + choices[r][i]);
        }
        tally_shares();
        tally_means();
        tally_medians();
    }

    double slot(size_t r, size_t slot) const { return slots_[r * suite_.slots + slot]; }

    std::array<double, SIGNATURES> shown(size_t r) const {
        std::array<double, SIGNATURES> shown;
        for (size_t s = 0; s < SIGNATURES; ++s) shown[s] = slot(r, s);
        return shown;
    }

    std::vector<double> statistics(size_t r) const {
        const PackedSuite& suite = suite_;
        std::vector<double> out(suite.tests, 0.0);
        for (size_t s = 0; s < SIGNATURE_KINDS; ++s) {
            for (size_t j = 0; j < suite.subjects[s]; ++j)
                out[s] = std::max(out[s], slot(r, suite.first_subject_slot[s] + j));
        }
        out[SIGNATURE_KINDS] = slot(r, SIGNATURE_KINDS);
        const size_t means = suite.mean_axes.size();
        const double* sums = sums_.data() + r * suite.values.size();
        const size_t* summed = summed_.data() + r * (means + 1);
        for (size_t m = 0; m < means; ++m) {
            std::array<double, 2> central{};
            for (size_t side = 0; side < 2; ++side)
                central[side] = summed[m] ? sums[2 * m + side] / static_cast<double>(summed[m]) : 0.0;
            out[SIGNATURES + suite.mean_axes[m]] = central[1] - central[0];
        }
        // data(), not [], where a suite has no median column and the tally is empty.
        const double* medians = medians_.data() + r * suite.ranks.size();
        for (size_t q = 0; q < suite.median_axes.size(); ++q)
            out[SIGNATURES + suite.median_axes[q]] = medians[2 * q + 1] - medians[2 * q];
        if (suite.with_outcome) {
            out[suite.tests - 1] = summed[means]
                                       ? (sums[2 * means + 1] - sums[2 * means]) / static_cast<double>(summed[means])
                                       : 0.0;
        }
        return out;
    }

private:
    template <class Visit>
    void each_choice(Visit visit) const {
        for (const uint32_t* row = chosen_.data(); row != chosen_.data() + chosen_.size(); row += rows_) {
            for (size_t r = 0; r < rows_; ++r) visit(r, row[r]);
        }
    }

    void tally_shares() {
        const size_t width = suite_.slots;
        slots_.assign(rows_ * width, 0.0);
        each_choice([&](size_t r, uint32_t j) {
            for (uint32_t k = suite_.share_start[j]; k < suite_.share_start[j + 1]; ++k)
                slots_[r * width + suite_.shares[k].slot] += suite_.shares[k].share;
        });
    }

    void tally_means() {
        const size_t means = suite_.mean_axes.size();
        sums_.assign(rows_ * suite_.values.size(), 0.0);
        summed_.assign(rows_ * (means + 1), 0);
        // Every column in one pass: each column's sums still grow in conversation order.
        std::vector<unsigned> bits(means + 1);
        std::vector<const double*> columns(2 * (means + 1));
        for (size_t m = 0; m <= means; ++m) {
            bits[m] = m < means ? static_cast<unsigned>(suite_.mean_axes[m]) : OUTCOME_BIT;
            columns[2 * m] = suite_.values[2 * m].data();
            columns[2 * m + 1] = suite_.values[2 * m + 1].data();
        }
        const size_t width = suite_.values.size();
        double* all_sums = sums_.data();
        size_t* all_summed = summed_.data();
        each_choice([&](size_t r, uint32_t j) {
            const unsigned present = suite_.present[j];
            double* sums = all_sums + r * width;
            size_t* summed = all_summed + r * (means + 1);
            for (size_t m = 0; m <= means; ++m) {
                if (!((present >> bits[m]) & 1)) continue;
                sums[2 * m] += columns[2 * m][j];
                sums[2 * m + 1] += columns[2 * m + 1][j];
                ++summed[m];
            }
        });
    }

    void tally_medians() {
        const size_t columns = suite_.ranks.size();
        const size_t n = suite_.first.size();
        medians_.assign(rows_ * columns, 0.0);
        std::vector<uint32_t> buckets, windows;
        std::vector<Middle> middles(rows_);
        std::vector<uint32_t> low_first(rows_), high_first(rows_);
        for (size_t c = 0; c < columns; ++c) {
            const Levels& levels = suite_.levels[c];
            if (suite_.constant[c]) {
                // What the counting below finds: n points of one value.
                const double value = levels.values.front();
                for (size_t r = 0; r < rows_; ++r) medians_[r * columns + c] = n % 2 ? value : (value + value) * 0.5;
                continue;
            }
            const uint32_t* ranks = suite_.ranks[c].data();
            if (levels.values.size() <= DIRECT_LEVELS) {
                // Few levels: every rank counted in one pass, the last slot for absent points.
                const uint32_t absent = static_cast<uint32_t>(levels.values.size());
                const size_t width = absent + 1;
                buckets.assign(rows_ * width, 0);
                each_choice([&](size_t r, uint32_t j) { ++buckets[r * width + ranks[j]]; });
                for (size_t r = 0; r < rows_; ++r) {
                    const uint32_t* counts = &buckets[r * width];
                    medians_[r * columns + c] = rank_count_median({counts, absent}, n - counts[absent], levels);
                }
                continue;
            }
            const size_t width = levels.buckets() + 1, size = levels.bucket_size();  // the last: absent points
            const unsigned shift = levels.shift;
            buckets.assign(rows_ * width, 0);
            each_choice([&](size_t r, uint32_t j) { ++buckets[r * width + (ranks[j] >> shift)]; });
            for (size_t r = 0; r < rows_; ++r) {
                const uint32_t* counts = &buckets[r * width];
                middles[r] = middle_of({counts, width - 1}, n - counts[width - 1]);
            }
            // The first rank of each row's middle buckets, kept side by side so
            // that a rank is placed by subtracting and comparing.
            for (size_t r = 0; r < rows_; ++r) {
                low_first[r] = static_cast<uint32_t>(middles[r].low_bucket << shift);
                high_first[r] = static_cast<uint32_t>(middles[r].high_bucket << shift);
            }
            windows.assign(rows_ * 2 * size, 0);
            each_choice([&](size_t r, uint32_t j) {
                uint32_t* window = &windows[r * 2 * size];
                if (const uint32_t low = ranks[j] - low_first[r]; low < size) {
                    ++window[low];
                } else if (const uint32_t high = ranks[j] - high_first[r]; high < size) {
                    ++window[size + high];
                }
            });
            for (size_t r = 0; r < rows_; ++r) {
                const uint32_t* window = &windows[r * 2 * size];
                medians_[r * columns + c] = middle_median(middles[r], {window, size}, {window + size, size}, levels);
            }
        }
    }

    const PackedSuite& suite_;
    size_t rows_;
    std::vector<uint32_t> chosen_;  // per conversation, per row: the labelling taken
    std::vector<double> slots_;     // per row: per signature, then per subject
    std::vector<double> sums_;      // per row: per value column
    std::vector<size_t> summed_;    // per row: per axis by mean, then the outcome: the labellings with a point
    std::vector<double> medians_;   // per row: per rank column
};

// Relabellings are tallied a block at a time, so that a column is read once
// per block rather than once per relabelling.
constexpr size_t RELABELLING_BLOCK = 25;

}  // namespace

Observed tally_observed(const PackedSuite& suite) {
    BlockTally tally(suite, {std::vector<uint16_t>(suite.counts.size(), 0)});
    Observed observed{tally.statistics(0), {}};
    for (size_t slot = 0; slot < suite.slots; ++slot) observed.slots.push_back(tally.slot(0, slot));
    return observed;
}

std::optional<size_t> exact_rows(const std::vector<uint16_t>& counts, size_t budget) {
    size_t combinations = 1;
    for (uint16_t count : counts) {
        if (count > budget + 1 || combinations > (budget + 1) / count) return std::nullopt;
        combinations *= count;
    }
    return combinations - 1;
}

std::vector<uint16_t> Draws::row(size_t row) const {
    if (!exact) return draw_relabelling(counts, seed, row);
    // The combination numbered row + 1, the first conversation its lowest digit.
    std::vector<uint16_t> choices(counts.size());
    size_t number = row + 1;
    for (size_t i = 0; i < counts.size(); ++i) {
        choices[i] = static_cast<uint16_t>(number % counts[i]);
        number /= counts[i];
    }
    return choices;
}

void relabel(const PackedSuite& suite, const Draws& draws, size_t first, size_t rows, unsigned threads,
             Relabelled& into, const std::function<void()>& beside) {
    into.null.resize(suite.tests);
    for (std::vector<double>& null : into.null) null.resize(first + rows);
    into.shown.resize(first + rows);
    parallel_for((rows + RELABELLING_BLOCK - 1) / RELABELLING_BLOCK + 1, threads, [&](size_t task) {
        if (task == 0) {
            beside();
            return;
        }
        const size_t block_first = first + (task - 1) * RELABELLING_BLOCK;
        const size_t block_rows = std::min(RELABELLING_BLOCK, first + rows - block_first);
        std::vector<std::vector<uint16_t>> drawn;
        for (size_t b = 0; b < block_rows; ++b) drawn.push_back(draws.row(block_first + b));
        BlockTally tally(suite, drawn);
        for (size_t b = 0; b < block_rows; ++b) {
            std::vector<double> values = tally.statistics(b);
            for (size_t t = 0; t < suite.tests; ++t) into.null[t][block_first + b] = values[t];
            into.shown[block_first + b] = tally.shown(b);
        }
    });
}

}  // namespace velkin::compare
