#include "diff/alignment.hpp"

#include <charconv>
#include <cmath>
#include <cstring>
#include <functional>
#include <optional>

#include "arch/kernels.hpp"
#include "diff/shingles.hpp"

namespace velkin::diff {

namespace {

constexpr double TOOL_WEIGHT = 0.4;
constexpr double TEXT_WEIGHT = 0.25;
constexpr double STOP_PENALTY = 0.15;
constexpr double ARGS_PENALTY = 0.2;
constexpr arch::PairCostWeights PAIR_COST_WEIGHTS = {TOOL_WEIGHT, TEXT_WEIGHT, STOP_PENALTY, ARGS_PENALTY};

double call_gap(uint64_t baseline_calls, uint64_t candidate_calls) {
    if (baseline_calls == candidate_calls) return 0.0;
    uint64_t gap = baseline_calls > candidate_calls ? baseline_calls - candidate_calls
                                                    : candidate_calls - baseline_calls;
    return std::min(static_cast<double>(gap) / static_cast<double>(std::max(baseline_calls, candidate_calls)), 1.0);
}

// Every pair cost goes through here, so the cached and the direct computation add up identically.
double combine_pair_cost(double shapes_jaccard, double gap, double text_sim, bool stop_differs, bool args_differ) {
    return TOOL_WEIGHT * std::max(1.0 - shapes_jaccard, gap) + TEXT_WEIGHT * (1.0 - text_sim) +
           (stop_differs ? STOP_PENALTY : 0.0) + (args_differ ? ARGS_PENALTY : 0.0);
}

// How the explanations describe a turn with k distinct tool shapes.
std::string calls_phrase(uint64_t k, std::string_view none, std::string_view some) {
    if (k == 0) return std::string(none) + " with no tool calls";
    if (k == 1) return std::string(some) + " with 1 tool call";
    return std::string(some) + " with " + std::to_string(k) + " tool calls";
}

std::vector<std::string> set_difference(const std::vector<std::string>& a, const std::vector<std::string>& b) {
    std::vector<std::string> out;
    std::set_difference(a.begin(), a.end(), b.begin(), b.end(), std::back_inserter(out));
    return out;
}

std::string two_decimals(double value) {
    char buffer[32];
    auto [end, error] = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed, 2);
    if (error != std::errc()) throw Panic("text similarity out of range");
    return std::string(buffer, end);
}

// `similarity` is the text similarity of the two responses.
FirstDivergence classify_match(const ResponseView& baseline, const ResponseView& candidate, uint64_t i, uint64_t j,
                               double cost, double similarity) {
    FirstDivergence found;
    found.baseline_turn = i;
    found.candidate_turn = j;
    found.confidence = std::clamp((cost - DIVERGENCE_THRESHOLD) / 0.88, 0.0, 1.0);

    std::vector<std::string> baseline_shapes = distinct_key_shapes(baseline.tool_calls);
    std::vector<std::string> candidate_shapes = distinct_key_shapes(candidate.tool_calls);
    if (baseline_shapes != candidate_shapes) {
        std::vector<std::string> added = set_difference(candidate_shapes, baseline_shapes);
        std::vector<std::string> removed = set_difference(baseline_shapes, candidate_shapes);
        found.kind = DivergenceKind::StructuralDrift;
        found.primary_axis = Axis::Trajectory;
        if (removed.empty()) {
            found.explanation = "candidate added tool call(s): " + list(added);
        } else if (added.empty()) {
            found.explanation = "candidate dropped tool call(s): " + list(removed);
        } else {
            found.explanation = "tool set changed: removed " + list(removed) + ", added " + list(added);
        }
        return found;
    }

    uint64_t baseline_calls = baseline.tool_calls.size();
    uint64_t candidate_calls = candidate.tool_calls.size();
    if (baseline_calls != candidate_calls) {
        std::string label = baseline_shapes.size() == 1 ? list(baseline_shapes)
                                                        : std::to_string(baseline_shapes.size()) + " tool(s)";
        found.kind = DivergenceKind::StructuralDrift;
        found.primary_axis = Axis::Trajectory;
        found.explanation = "candidate called " + label + " " + std::to_string(candidate_calls) +
                            " time(s) vs baseline's " + std::to_string(baseline_calls) +
                            (baseline_calls < candidate_calls ? " \u2014 duplicate tool invocation"
                                                              : " \u2014 dropped one or more repeat invocations");
        return found;
    }

    found.kind = DivergenceKind::DecisionDrift;
    std::string_view baseline_stop = baseline.stop_reason;
    std::string_view candidate_stop = candidate.stop_reason;
    if (baseline_stop != candidate_stop) {
        found.primary_axis = Axis::Safety;
        found.explanation = "stop_reason changed: `" + std::string(baseline_stop) + "` \u2192 `" +
                            std::string(candidate_stop) + "`";
        return found;
    }
    if (std::optional<std::string> change = arg_value_diff(baseline.tool_calls, candidate.tool_calls)) {
        found.primary_axis = Axis::Trajectory;
        found.explanation = "tool arg value changed: " + *change;
        return found;
    }
    found.primary_axis = Axis::Semantic;
    found.explanation = "response text diverged (text similarity " + two_decimals(similarity) + "); same tool sequence";
    return found;
}

// ---- Per-turn features for the alignment matrix ----------------------------

uint64_t hash_bytes(std::string_view text) { return std::hash<std::string_view>{}(text); }

// Equal under json::deep_equal implies equal hash: integers hash by value
// whatever their storage, 0.0 and -0.0 alike, object members in any order.
uint64_t deep_hash(const json::Value& value) {
    switch (value.type()) {
        case json::Type::Null: return mix64(1);
        case json::Type::Bool: return mix64(2 + (*value.as_bool() ? 1 : 0));
        case json::Type::UInt: return mix64(mix64(3) ^ std::get<uint64_t>(value.data));
        case json::Type::Int: {
            int64_t i = std::get<int64_t>(value.data);
            if (i >= 0) return mix64(mix64(3) ^ static_cast<uint64_t>(i));
            return mix64(mix64(4) ^ (0 - static_cast<uint64_t>(i)));
        }
        case json::Type::Double: {
            double d = std::get<double>(value.data);
            if (d == 0.0) d = 0.0;
            uint64_t bits;
            std::memcpy(&bits, &d, sizeof bits);
            return mix64(mix64(5) ^ bits);
        }
        case json::Type::String: return mix64(mix64(6) ^ hash_bytes(*value.as_string()));
        case json::Type::Array: {
            uint64_t h = mix64(7);
            for (const json::Value& element : *value.as_array()) h = mix64(h ^ deep_hash(element));
            return h;
        }
        case json::Type::Object: {
            uint64_t sum = 0;
            for (const json::Member& member : *value.as_object())
                sum += mix64(hash_bytes(member.key) ^ mix64(deep_hash(member.value) + 0x9e3779b97f4a7c15ull));
            return mix64(mix64(8) ^ sum);
        }
    }
    return 0;
}

struct TextHash {
    uint64_t operator()(std::string_view text) const { return text_hash(text); }
};
struct IdListHash {
    uint64_t operator()(const std::vector<uint32_t>& ids) const {
        uint64_t hash = mix64(ids.size());
        for (uint32_t id : ids) hash = mix64(hash ^ id);
        return hash;
    }
};

// Dense ids for keys in first-seen order: open addressing on a well-mixed
// hash, kept beside the id so that most probes compare no key. A node per key
// and a division per lookup cost more than the hash, and the texts of a large
// report outgrow the caches.
template <class Key, class Hash, class Equal = std::equal_to<Key>>
class KeyIds {
public:
    struct Interned {
        uint32_t id;
        bool first;  // the key was not seen before
    };

    Interned intern(const Key& key) {
        const uint64_t hash = Hash{}(key);
        const size_t mask = slots_.size() - 1;
        size_t at = hash & mask;
        for (; slots_[at].id_after != 0; at = (at + 1) & mask) {
            const Slot& slot = slots_[at];
            if (slot.hash == hash && Equal{}(keys_[slot.id_after - 1], key)) return {slot.id_after - 1, false};
        }
        const uint32_t id = static_cast<uint32_t>(size_);
        if (size_ == keys_.size()) {
            keys_.push_back(key);
        } else {
            keys_[size_] = key;
        }
        ++size_;
        slots_[at] = {hash, id + 1};
        if (size_ * 2 > slots_.size()) grow();
        return {id, true};
    }
    size_t size() const { return size_; }
    // Forgets every key; a table that stayed small keeps its memory, and so do the keys' own.
    void clear() {
        constexpr size_t KEPT_SLOTS = size_t{1} << 10;
        if (slots_.size() > KEPT_SLOTS) {
            *this = KeyIds{};
            return;
        }
        std::fill(slots_.begin(), slots_.end(), Slot{});
        size_ = 0;
    }

private:
    struct Slot {
        uint64_t hash = 0;
        uint32_t id_after = 0;  // the id plus one; 0 marks an empty slot
    };
    std::vector<Slot> slots_ = std::vector<Slot>(16);
    std::vector<Key> keys_;  // the first size_ are the ids' keys
    size_t size_ = 0;

    void grow() {
        std::vector<Slot> larger(slots_.size() * 2);
        const size_t mask = larger.size() - 1;
        for (const Slot& slot : slots_) {
            if (slot.id_after == 0) continue;
            size_t at = slot.hash & mask;
            while (larger[at].id_after != 0) at = (at + 1) & mask;
            larger[at] = slot;
        }
        slots_.swap(larger);
    }
};
using TextIds = KeyIds<std::string_view, TextHash>;
using IdListIds = KeyIds<std::vector<uint32_t>, IdListHash>;
// Tool inputs are one class when json::deep_equal holds.
struct InputHash {
    uint64_t operator()(const json::Value* input) const { return deep_hash(*input); }
};
struct InputEqual {
    bool operator()(const json::Value* a, const json::Value* b) const { return json::deep_equal(*a, *b); }
};
using InputClasses = KeyIds<const json::Value*, InputHash, InputEqual>;

// The shingle lists of distinct texts, copied into shared blocks: one
// allocation per block rather than per text. A block lives while a list in
// it does.
class ShingleLists {
public:
    std::shared_ptr<const uint32_t[]> store(const std::vector<uint32_t>& ids) {
        if (block_size_ - used_ < ids.size()) {
            // Blocks grow, so that a few short texts take one small block.
            next_block_size_ = std::min(next_block_size_ * 2, LARGEST_BLOCK);
            block_size_ = std::max(next_block_size_, ids.size());
            block_ = std::make_shared_for_overwrite<uint32_t[]>(block_size_);
            used_ = 0;
        }
        uint32_t* list = block_.get() + used_;
        std::copy(ids.begin(), ids.end(), list);
        used_ += ids.size();
        return std::shared_ptr<const uint32_t[]>(block_, list);
    }

private:
    static constexpr size_t LARGEST_BLOCK = size_t{1} << 18;
    std::shared_ptr<uint32_t[]> block_;
    size_t block_size_ = 0;
    size_t used_ = 0;
    size_t next_block_size_ = 512;
};

// Ids shared by every turn of both sides: equal ids mean equal values. Keys
// borrow from the responses, which outlive each use of the interner.
struct Interner {
    TextIds shapes;
    TextIds stop_reasons;
    InputClasses input_classes;
    IdListIds shape_sets;
    IdListIds input_sets;
    ShingleIds shingles;
    std::vector<uint32_t> id_buffer;
    // Per distinct response text, numbered in first-seen order: its shingle
    // list and whether the text was whitespace-normalised. Turns with a text
    // seen before share that list. Repeated responses are common (an
    // unchanged agent answers the same way).
    struct TextSeen {
        std::shared_ptr<const uint32_t[]> shingles;
        uint32_t count = 0;
        bool normal = false;
    };
    TextIds texts;
    std::vector<TextSeen> seen;
    ShingleLists lists;

    void clear() {
        shapes.clear(), stop_reasons.clear(), input_classes.clear(), shape_sets.clear(), input_sets.clear();
        shingles.clear();
        texts.clear();
        seen.clear();
        lists = {};
    }
};

// The calling thread's interner, lent emptied for one call. A run comparison
// interns a few responses per call, thousands of times: fresh tables would
// spend much of each call allocating, growing and paging themselves in. A
// large shingle table is let go when the call ends.
class ReusedInterner {
public:
    ReusedInterner() : interner_(thread_interner()) { interner_.clear(); }
    ~ReusedInterner() { interner_.shingles.release_if_large(); }
    ReusedInterner(const ReusedInterner&) = delete;
    ReusedInterner& operator=(const ReusedInterner&) = delete;

    Interner& operator*() { return interner_; }

private:
    Interner& interner_;

    [[gnu::noinline]] static Interner& thread_interner() {
        thread_local Interner interner;
        return interner;
    }
};

// Sets bit id of `bits` for each of the ids, four at a time: the loop's own
// test and step would cost half as much as a bit.
void set_bits(const uint32_t* ids, size_t count, uint64_t* bits) {
    auto set = [&](uint32_t id) { bits[id / 64] |= uint64_t{1} << (id % 64); };
    size_t k = 0;
    for (; k + 4 <= count; k += 4) set(ids[k]), set(ids[k + 1]), set(ids[k + 2]), set(ids[k + 3]);
    for (; k < count; ++k) set(ids[k]);
}

uint32_t intern(TextIds& ids, std::string_view key) { return ids.intern(key).id; }
uint32_t intern(IdListIds& ids, const std::vector<uint32_t>& key) { return ids.intern(key).id; }

TurnFeatures features_of(const ResponseView& response, Interner& interner) {
    TurnFeatures features;
    features.shapes.reserve(response.tool_calls.size());
    for (const ToolCall& call : response.tool_calls) features.shapes.push_back(intern(interner.shapes, call.key_shape));
    std::sort(features.shapes.begin(), features.shapes.end());
    features.shapes.erase(std::unique(features.shapes.begin(), features.shapes.end()), features.shapes.end());
    features.calls = response.tool_calls.size();
    features.stop_reason = intern(interner.stop_reasons, response.stop_reason);
    for (const FirstInput& tool : first_input_per_name(response.tool_calls))
        features.input_classes.push_back(interner.input_classes.intern(tool.input).id);
    features.shape_set = intern(interner.shape_sets, features.shapes);
    features.input_set = intern(interner.input_sets, features.input_classes);

    const auto [number, first] = interner.texts.intern(response.text);
    if (first) {
        Interner::TextSeen& text = interner.seen.emplace_back();
        interner.id_buffer.clear();
        text.normal = interner.shingles.add_text(response.text, interner.id_buffer);
        text.count = static_cast<uint32_t>(interner.id_buffer.size());
        if (text.count > 0) text.shingles = interner.lists.store(interner.id_buffer);
    }
    const Interner::TextSeen& text = interner.seen[number];
    features.shingles = text.shingles;
    features.shingle_count = text.count;
    features.text = number + 1;
    features.text_is_normal = response.text_blocks.size() <= 1 && text.normal;
    return features;
}

// Per candidate turn, an array per feature the pair cost reads. Counts are
// held as doubles: they are far below 2^53, so every sum and difference of
// them is exact, as in the integer arithmetic of pair_cost.
struct CandidateColumns {
    std::vector<uint32_t> shape_set;
    std::vector<uint32_t> input_set;
    std::vector<uint32_t> stop_reason;
    std::vector<double> shingles;
    std::vector<double> calls;

    arch::PairCostColumns from(uint64_t first) const {
        return {shape_set.data() + first, input_set.data() + first, stop_reason.data() + first, shingles.data() + first,
                calls.data() + first};
    }
};

// pair_cost of one baseline turn against candidate turns, with the Jaccard
// index of two shape sets computed once per set met in the row: a turn has
// few tools, and few sets recur across a trace.
class RowCosts {
public:
    // Costs against the turns' candidate side, in the memory already held.
    void reset(const AlignedTurns& turns) {
        turns_ = &turns;
        uint32_t sets = 0;
        for (const std::vector<TurnFeatures>* side : {&turns.baseline, &turns.candidate})
            for (const TurnFeatures& turn : *side) sets = std::max(sets, turn.shape_set + 1);
        shapes_of_set_.assign(sets, nullptr);
        jaccard_of_set_.assign(sets, UNKNOWN);
        known_.clear();
        const size_t m = turns.candidate.size();
        columns_.shape_set.clear(), columns_.input_set.clear(), columns_.stop_reason.clear();
        columns_.shingles.clear(), columns_.calls.clear();
        columns_.shape_set.reserve(m), columns_.input_set.reserve(m), columns_.stop_reason.reserve(m);
        columns_.shingles.reserve(m), columns_.calls.reserve(m);
        for (const TurnFeatures& turn : turns.candidate) {
            columns_.shape_set.push_back(turn.shape_set);
            columns_.input_set.push_back(turn.input_set);
            columns_.stop_reason.push_back(turn.stop_reason);
            columns_.shingles.push_back(static_cast<double>(turn.shingle_count));
            columns_.calls.push_back(static_cast<double>(turn.calls));
            shapes_of_set_[turn.shape_set] = &turn.shapes;
        }
    }

    // Equal to turns.pair_cost(i, j, common[j - first]) for j in first..last, into cost[j - first].
    void row(uint64_t i, uint64_t first, uint64_t last, const uint32_t* common, double* cost) {
        const TurnFeatures& b = turns_->baseline[i];
        for (uint32_t set : known_) jaccard_of_set_[set] = UNKNOWN;
        known_.clear();
        // Equal sets have Jaccard index 1 (1.0 also when both are empty).
        jaccard_of_set_[b.shape_set] = 1.0;
        known_.push_back(b.shape_set);
        for (uint64_t j = first; j <= last; ++j) {
            const uint32_t set = columns_.shape_set[j];
            if (jaccard_of_set_[set] == UNKNOWN) {
                jaccard_of_set_[set] = jaccard(b.shapes, *shapes_of_set_[set]);
                known_.push_back(set);
            }
        }
        const arch::PairCostRow row = {b.shape_set,
                                       b.input_set,
                                       b.stop_reason,
                                       !b.shapes.empty(),
                                       static_cast<double>(b.shingle_count),
                                       static_cast<double>(b.calls)};
        arch::row_pair_costs(row, columns_.from(first), last - first + 1, common, jaccard_of_set_.data(),
                             PAIR_COST_WEIGHTS, cost);
    }

private:
    static constexpr double UNKNOWN = -1.0;  // no Jaccard index is negative

    const AlignedTurns* turns_ = nullptr;
    CandidateColumns columns_;
    std::vector<const std::vector<uint32_t>*> shapes_of_set_;  // the shapes of a candidate turn with that set
    std::vector<double> jaccard_of_set_;                       // against the row's shapes
    std::vector<uint32_t> known_;                              // sets whose index the row holds
};

constexpr uint64_t ROWS_COUNTED_TOGETHER = 8;

// The working rows of align, kept per thread from one call to the next: a
// run comparison aligns thousands of short pairs, whose rows would otherwise
// be allocated anew for each.
struct AlignRows {
    std::vector<double> m_prev, x_prev, y_prev, m_cur, x_cur, y_cur, costs;
    std::vector<uint32_t> common;
    // And the steps, the index, its cursors and the row costs of a pair, their memory kept likewise.
    Banded<Step::Kind> steps{0, 0, 0, Step::Kind::Match};
    ShingleIndex index;
    ShingleIndex::Cursors cursors;
    RowCosts costs_of_rows;

    // A long alignment's rows are let go rather than kept by the thread.
    void release_if_large() {
        constexpr size_t KEPT = size_t{1} << 12;
        if (m_prev.capacity() > KEPT || common.capacity() > KEPT * ROWS_COUNTED_TOGETHER ||
            steps.cells.capacity() > KEPT * KEPT / 16)
            *this = AlignRows{};
    }
};

// Not inlined, so that align holds the address rather than asks for it at every use.
[[gnu::noinline]] AlignRows& align_rows() {
    thread_local AlignRows rows;
    return rows;
}

constexpr uint64_t NO_TURN = UINT64_MAX;

// How the turns of a pair hold one distinct text.
struct TextUse {
    const TurnFeatures* turn = nullptr;
    uint32_t baseline_turns = 0;
    uint32_t candidate_turns = 0;
    uint64_t first_baseline_turn = NO_TURN;
};

// Kept per thread; not inlined, like align_rows.
[[gnu::noinline]] std::vector<TextUse>& text_uses() {
    thread_local std::vector<TextUse> uses;
    return uses;
}

uint64_t integer_sqrt(uint64_t x) {
    uint64_t root = static_cast<uint64_t>(std::sqrt(static_cast<double>(x)));
    while (root > 0 && root * root > x) --root;
    while ((root + 1) * (root + 1) <= x) ++root;
    return root;
}

double gap_cost(uint64_t length) { return GAP_OPEN + GAP_EXTEND * static_cast<double>(length - 1); }

}  // namespace

void ShingleIndex::build(const AlignedTurns& turns) {
    const std::vector<TurnFeatures>& baseline = turns.baseline;
    const std::vector<TurnFeatures>& candidate = turns.candidate;
    const size_t distinct = turns.distinct_shingles;
    const uint64_t n = baseline.size(), m = candidate.size();

    // Turns with equal texts hold one shingle list, and an unchanged agent
    // answers alike: each distinct text's list is read once, weighed by the
    // turns of each side that hold it, and a turn whose text a baseline turn
    // already has copies what was built for that turn.
    uint32_t texts = 0;
    for (const std::vector<TurnFeatures>* side : {&baseline, &candidate})
        for (const TurnFeatures& turn : *side) texts = std::max(texts, turn.text + 1);
    std::vector<TextUse>& uses = text_uses();
    uses.assign(texts, TextUse{});
    for (uint64_t i = 0; i < n; ++i) {
        TextUse& use = uses[baseline[i].text];
        if (!use.turn) use.turn = &baseline[i], use.first_baseline_turn = i;
        ++use.baseline_turns;
    }
    for (const TurnFeatures& turn : candidate) {
        TextUse& use = uses[turn.text];
        if (!use.turn) use.turn = &turn;
        ++use.candidate_turns;
    }
    // A shingle goes into the bit sets when counting it turn by turn would
    // cost more than its share of one AND and bit count per cell. The share is
    // fixed, so that the split is the same on every processor: that of one
    // with a bit count instruction (x86-64's popcnt, aarch64's cnt).
    constexpr unsigned __int128 per_cell = 1024;
    // In a pair of few turns every shingle both sides hold goes into the bit
    // sets. Where the ids of all texts fit in few more words than those, the
    // ids themselves number the bits: the lists are read once, not counted,
    // sorted and read again, and the shingles of one side only cost their
    // words in each AND (never a count: the other side lacks them).
    uint64_t listed = 0;
    for (const TextUse& use : uses) listed += use.turn ? use.turn->shingle_count : 0;
    const size_t id_words = (distinct + 63) / 64;
    if (static_cast<unsigned __int128>(n) * m < per_cell && n * m * id_words <= listed) {
        words_ = id_words;
        baseline_bits_.assign(n * words_, 0);
        candidate_bits_.assign(m * words_, 0);
        rare_start_.assign(n + 1, 0);
        rare_.clear();
        posting_start_.assign(1, 0);
        postings_.clear();
        auto fill = [&](uint64_t* bits, const TurnFeatures& turn) {
            if (turn.shingle_bits) return std::copy_n(turn.shingle_bits.get(), words_, bits), void();
            set_bits(turn.shingle_ids().data(), turn.shingle_ids().size(), bits);
        };
        for (uint64_t i = 0; i < n; ++i) {
            const uint64_t earlier = uses[baseline[i].text].first_baseline_turn;
            uint64_t* bits = baseline_bits_.data() + i * words_;
            if (earlier != i) {
                std::copy_n(baseline_bits_.data() + earlier * words_, words_, bits);
            } else {
                fill(bits, baseline[i]);
            }
        }
        for (uint64_t j = 0; j < m; ++j) {
            const uint64_t same_text = uses[candidate[j].text].first_baseline_turn;
            uint64_t* bits = candidate_bits_.data() + j * words_;
            if (same_text != NO_TURN) {
                std::copy_n(baseline_bits_.data() + same_text * words_, words_, bits);
            } else {
                fill(bits, candidate[j]);
            }
        }
        return;
    }

    std::vector<uint32_t> baseline_turns_with(distinct, 0), candidate_turns_with(distinct, 0);
    for (const TextUse& use : uses) {
        if (!use.turn) continue;
        for (uint32_t id : use.turn->shingle_ids()) {
            baseline_turns_with[id] += use.baseline_turns;
            candidate_turns_with[id] += use.candidate_turns;
        }
    }

    constexpr uint32_t NONE = UINT32_MAX;
    std::vector<uint32_t> dense_of(distinct, NONE), rare_of(distinct, NONE);
    uint32_t dense = 0, rare = 0;
    uint64_t rare_in_baseline = 0;
    posting_start_.assign(1, 0);
    for (size_t id = 0; id < distinct; ++id) {
        unsigned __int128 work = static_cast<unsigned __int128>(baseline_turns_with[id]) * candidate_turns_with[id];
        if (work == 0) continue;
        if (work * per_cell > static_cast<unsigned __int128>(n) * m) {
            dense_of[id] = dense++;
        } else {
            rare_of[id] = rare++;
            rare_in_baseline += baseline_turns_with[id];
            posting_start_.push_back(posting_start_.back() + candidate_turns_with[id]);
        }
    }

    words_ = (dense + 63) / 64;
    baseline_bits_.assign(n * words_, 0);
    candidate_bits_.assign(m * words_, 0);
    rare_start_.assign(n + 1, 0);
    rare_.clear();
    rare_.reserve(rare_in_baseline);
    for (uint64_t i = 0; i < n; ++i) {
        const uint64_t earlier = uses[baseline[i].text].first_baseline_turn;
        uint64_t* bits = baseline_bits_.data() + i * words_;
        if (earlier != i) {
            std::copy_n(baseline_bits_.data() + earlier * words_, words_, bits);
            for (uint64_t k = rare_start_[earlier]; k < rare_start_[earlier + 1]; ++k) rare_.push_back(rare_[k]);
        } else {
            for (uint32_t id : baseline[i].shingle_ids()) {
                if (dense_of[id] != NONE) {
                    bits[dense_of[id] / 64] |= uint64_t{1} << (dense_of[id] % 64);
                } else if (rare_of[id] != NONE) {
                    rare_.push_back(rare_of[id]);
                }
            }
        }
        rare_start_[i + 1] = rare_.size();
    }
    postings_.resize(posting_start_.back());
    std::vector<uint64_t> next(posting_start_.begin(), posting_start_.end() - 1);
    for (uint64_t j = 0; j < m; ++j) {
        const uint64_t same_text = uses[candidate[j].text].first_baseline_turn;
        uint64_t* bits = candidate_bits_.data() + j * words_;
        if (same_text != NO_TURN) {
            std::copy_n(baseline_bits_.data() + same_text * words_, words_, bits);
            for (uint64_t k = rare_start_[same_text]; k < rare_start_[same_text + 1]; ++k)
                postings_[next[rare_[k]]++] = static_cast<uint32_t>(j);
            continue;
        }
        for (uint32_t id : candidate[j].shingle_ids()) {
            if (dense_of[id] != NONE) {
                bits[dense_of[id] / 64] |= uint64_t{1} << (dense_of[id] % 64);
            } else if (rare_of[id] != NONE) {
                postings_[next[rare_of[id]]++] = static_cast<uint32_t>(j);
            }
        }
    }
}

ShingleIndex::Cursors ShingleIndex::cursors() const {
    return Cursors(posting_start_.begin(), posting_start_.end() - 1);
}

void ShingleIndex::reset(Cursors& cursors) const { cursors.assign(posting_start_.begin(), posting_start_.end() - 1); }

void ShingleIndex::count_rows(uint64_t i, uint64_t rows, uint64_t first, uint64_t last, Cursors& cursors,
                              std::vector<uint32_t>& common) const {
    const uint64_t width = last - first + 1;
    common.assign(rows * width, 0);
    // The lists lie far apart: the next ones are fetched while one is read.
    constexpr uint64_t AHEAD = 8;
    for (uint64_t r = 0; r < rows; ++r) {
        uint32_t* row_common = common.data() + r * width;
        const uint64_t end_of_row = rare_start_[i + r + 1];
        for (uint64_t k = rare_start_[i + r]; k < end_of_row; ++k) {
            if (k + AHEAD < end_of_row) __builtin_prefetch(&postings_[cursors[rare_[k + AHEAD]]]);
            const uint32_t s = rare_[k];
            const uint64_t end = posting_start_[s + 1];
            uint64_t& at = cursors[s];
            while (at < end && postings_[at] < first) ++at;
            for (uint64_t p = at; p < end && postings_[p] <= last; ++p) ++row_common[postings_[p] - first];
        }
    }
    if (words_ == 0) return;
    arch::add_shared_bits(baseline_bits_.data() + i * words_, rows, candidate_bits_.data(), words_, first, last,
                          common.data());
}

uint64_t ShingleIndex::count(uint64_t i, uint64_t j) const {
    uint64_t common = 0;
    for (uint64_t k = rare_start_[i]; k < rare_start_[i + 1]; ++k) {
        const uint32_t s = rare_[k];
        common += std::binary_search(postings_.begin() + static_cast<ptrdiff_t>(posting_start_[s]),
                                     postings_.begin() + static_cast<ptrdiff_t>(posting_start_[s + 1]),
                                     static_cast<uint32_t>(j));
    }
    if (words_ == 0) return common;
    uint32_t shared = 0;
    arch::add_shared_bits(baseline_bits_.data() + i * words_, 1, candidate_bits_.data(), words_, j, j, &shared);
    return common + shared;
}

void AlignedTurns::index_shingles() {
    index_ = std::make_shared<const ShingleIndex>(*this);
    for (std::vector<TurnFeatures>* side : {&baseline, &candidate})
        for (TurnFeatures& turn : *side) turn.shingles.reset(), turn.shingle_bits.reset();
    marks_ = {};
}

uint64_t AlignedTurns::common_shingles(uint64_t i, uint64_t j) {
    // Equal texts, common where an unchanged agent answers alike, share every shingle.
    if (baseline[i].text == candidate[j].text) return baseline[i].shingle_count;
    if (index_) return index_->count(i, j);
    if (baseline[i].shingle_bits && candidate[j].shingle_bits) {
        uint32_t common = 0;
        arch::add_shared_bits(baseline[i].shingle_bits.get(), 1, candidate[j].shingle_bits.get(),
                              (distinct_shingles + 63) / 64, 0, 0, &common);
        return common;
    }
    if (marks_.size() != distinct_shingles) marks_.assign(distinct_shingles, 0);
    if (++stamp_ == 0) {
        std::fill(marks_.begin(), marks_.end(), 0);
        stamp_ = 1;
    }
    for (uint32_t id : baseline[i].shingle_ids()) marks_[id] = stamp_;
    uint64_t common = 0;
    for (uint32_t id : candidate[j].shingle_ids()) common += marks_[id] == stamp_;
    return common;
}

double AlignedTurns::pair_cost(uint64_t i, uint64_t j) { return pair_cost(i, j, common_shingles(i, j)); }

double AlignedTurns::pair_cost(uint64_t i, uint64_t j, uint64_t common) const {
    const TurnFeatures& b = baseline[i];
    const TurnFeatures& c = candidate[j];
    bool same_shapes = b.shape_set == c.shape_set;
    double shapes_jaccard = same_shapes ? 1.0 : jaccard(b.shapes, c.shapes);
    // Equal shape sets name the same tools, so the input lists line up name by name.
    bool args_differ = same_shapes && !b.shapes.empty() && b.input_set != c.input_set;
    double text_sim = jaccard_of_counts(common, b.shingle_count, c.shingle_count);
    return combine_pair_cost(shapes_jaccard, call_gap(b.calls, c.calls), text_sim, b.stop_reason != c.stop_reason,
                             args_differ);
}

AlignedTurns turn_features(const Responses& baseline, const Responses& candidate) {
    AlignedTurns turns;
    ReusedInterner reused;
    Interner& interner = *reused;
    turns.baseline.reserve(baseline.size());
    for (const ResponseView& turn : baseline) turns.baseline.push_back(features_of(turn, interner));
    turns.candidate.reserve(candidate.size());
    for (const ResponseView& turn : candidate) turns.candidate.push_back(features_of(turn, interner));
    turns.distinct_shingles = interner.shingles.count();
    return turns;
}

TurnFeatureSets turn_features(const std::vector<const Responses*>& lists) {
    TurnFeatureSets sets;
    ReusedInterner reused;
    Interner& interner = *reused;
    sets.lists.resize(lists.size());
    for (size_t k = 0; k < lists.size(); ++k) {
        sets.lists[k].reserve(lists[k]->size());
        for (const ResponseView& turn : *lists[k]) sets.lists[k].push_back(features_of(turn, interner));
    }
    sets.distinct_shingles = interner.shingles.count();
    // Each pair of the lists builds an index from its turns' shingles, and
    // each list is in several pairs: where the ids are few, each distinct
    // text's bits are set here once, and the index copies them. The bits
    // take at most the memory of the lists.
    const size_t words = (sets.distinct_shingles + 63) / 64;
    uint64_t listed = 0;
    for (const Interner::TextSeen& text : interner.seen) listed += text.count;
    if (words > 0 && interner.seen.size() * words * 2 <= listed) {
        auto block = std::make_shared<uint64_t[]>(interner.seen.size() * words);
        std::vector<std::shared_ptr<const uint64_t[]>> bits_of(interner.seen.size());
        for (size_t number = 0; number < interner.seen.size(); ++number) {
            uint64_t* bits = block.get() + number * words;
            const Interner::TextSeen& text = interner.seen[number];
            set_bits(text.shingles.get(), text.count, bits);
            bits_of[number] = std::shared_ptr<const uint64_t[]>(block, bits);
        }
        for (std::vector<TurnFeatures>& list : sets.lists)
            for (TurnFeatures& turn : list) turn.shingle_bits = bits_of[turn.text - 1];
    }
    return sets;
}

double pair_cost(const ResponseView& baseline, const ResponseView& candidate) {
    std::vector<std::string> baseline_shapes = distinct_key_shapes(baseline.tool_calls);
    std::vector<std::string> candidate_shapes = distinct_key_shapes(candidate.tool_calls);
    bool args_differ = !baseline_shapes.empty() && baseline_shapes == candidate_shapes &&
                       arg_value_diff(baseline.tool_calls, candidate.tool_calls).has_value();
    return combine_pair_cost(
        jaccard(baseline_shapes, candidate_shapes), call_gap(baseline.tool_calls.size(), candidate.tool_calls.size()),
        text_similarity(baseline.text, candidate.text), baseline.stop_reason != candidate.stop_reason, args_differ);
}

uint64_t band_half_width(uint64_t n, uint64_t m) {
    uint64_t longer = std::max(n, m);
    return std::max(integer_sqrt(longer), MIN_BAND_HALF_WIDTH) + (longer - std::min(n, m));
}

std::vector<Step> align(const Responses& baseline, const Responses& candidate) {
    return align(turn_features(baseline, candidate));
}

std::vector<Step> align(const AlignedTurns& turns) {
    const uint64_t n = turns.baseline.size();
    const uint64_t m = turns.candidate.size();
    // A half-width of max(n, m) makes every row complete: the full layout.
    const uint64_t w = std::max(n, m) <= FULL_MATRIX_LIMIT ? std::max(n, m) : band_half_width(n, m);
    AlignRows& rows = align_rows();
    Banded<Step::Kind>& steps = rows.steps;
    steps.reshape(n, m, w, Step::Kind::Match);
    const ShingleIndex* index = turns.index();
    if (!index) {
        rows.index.build(turns);
        index = &rows.index;
    }
    ShingleIndex::Cursors& cursors = rows.cursors;
    index->reset(cursors);
    RowCosts& costs = rows.costs_of_rows;
    costs.reset(turns);

    // Two rows of each cost matrix; cells outside the current row's band hold UNREACHABLE.
    for (std::vector<double>* row : {&rows.m_prev, &rows.x_prev, &rows.y_prev, &rows.m_cur, &rows.x_cur, &rows.y_cur})
        row->assign(m + 1, UNREACHABLE);
    std::vector<double>&m_prev = rows.m_prev, &x_prev = rows.x_prev, &y_prev = rows.y_prev;
    std::vector<double>&m_cur = rows.m_cur, &x_cur = rows.x_cur, &y_cur = rows.y_cur;
    m_prev[0] = 0.0;
    for (uint64_t j = 1; j <= steps.hi(0); ++j) {
        x_prev[j] = m_prev[j] = gap_cost(j);
        steps.at(0, j) = Step::Kind::Insert;
    }

    // Rows are counted ROWS_COUNTED_TOGETHER at a time over the columns of
    // their bands together, which reads each column once for all of them.
    std::vector<uint32_t>& common = rows.common;
    uint64_t block_first = 0, block_width = 0;
    std::vector<double>& row_costs = rows.costs;
    for (uint64_t i = 1; i <= n; ++i) {
        if (i >= 2) {
            for (uint64_t j = steps.lo(i - 2); j <= steps.hi(i - 2); ++j) m_cur[j] = x_cur[j] = y_cur[j] = UNREACHABLE;
        }
        const uint64_t lo = steps.lo(i);
        const uint64_t hi = steps.hi(i);
        if (lo == 0) {
            y_cur[0] = m_cur[0] = gap_cost(i);
            steps.at(i, 0) = Step::Kind::Delete;
        }
        const uint64_t first = std::max<uint64_t>(1, lo);
        if (first <= hi) {
            // The row's pair costs first, then the recurrences, whose insertions
            // chain along the row, in a loop of their own.
            const uint64_t block_row = (i - 1) % ROWS_COUNTED_TOGETHER;
            if (block_row == 0) {
                const uint64_t rows = std::min(ROWS_COUNTED_TOGETHER, n - (i - 1));
                block_first = first;
                block_width = steps.hi(i - 1 + rows) - first + 1;
                index->count_rows(i - 1, rows, first - 1, first + block_width - 2, cursors, common);
            }
            const uint32_t* row_common = common.data() + block_row * block_width + (first - block_first);
            row_costs.resize(hi - first + 1);
            costs.row(i - 1, first - 1, hi - 1, row_common, row_costs.data());
            Step::Kind* row_steps = &steps.at(i, first);
            double left_match = m_cur[first - 1], left_insert = x_cur[first - 1];
            for (uint64_t j = first; j <= hi; ++j) {
                double match = row_costs[j - first] + std::min({m_prev[j - 1], x_prev[j - 1], y_prev[j - 1]});
                double insert = std::min(left_match + GAP_OPEN, left_insert + GAP_EXTEND);
                double remove = std::min(m_prev[j] + GAP_OPEN, y_prev[j] + GAP_EXTEND);
                m_cur[j] = left_match = match;
                x_cur[j] = left_insert = insert;
                y_cur[j] = remove;
                double best = std::min({match, insert, remove});
                row_steps[j - first] = std::abs(best - match) < TIE_TOLERANCE    ? Step::Kind::Match
                                       : std::abs(best - insert) < TIE_TOLERANCE ? Step::Kind::Insert
                                                                                 : Step::Kind::Delete;
            }
        }
        m_prev.swap(m_cur);
        x_prev.swap(x_cur);
        y_prev.swap(y_cur);
    }

    std::vector<Step> path;
    path.reserve(n + m);
    for (uint64_t i = n, j = m; i > 0 || j > 0;) {
        Step::Kind kind = i == 0 ? Step::Kind::Insert : j == 0 ? Step::Kind::Delete : steps.get(i, j);
        switch (kind) {
            case Step::Kind::Match:
                path.push_back({Step::Kind::Match, i - 1, j - 1});
                --i, --j;
                break;
            case Step::Kind::Insert:
                path.push_back({Step::Kind::Insert, 0, j - 1});
                --j;
                break;
            case Step::Kind::Delete:
                path.push_back({Step::Kind::Delete, i - 1, 0});
                --i;
                break;
        }
    }
    std::reverse(path.begin(), path.end());
    rows.release_if_large();
    return path;
}

std::string list(const std::vector<std::string>& names) {
    std::string out;
    for (size_t k = 0; k < names.size(); ++k) {
        if (k > 0) out += ", ";
        out += "`" + names[k] + "`";
    }
    return out;
}

std::vector<FirstDivergence> walk_collecting(const std::vector<Step>& path, const Responses& baseline,
                                             const Responses& candidate, uint64_t limit) {
    AlignedTurns turns = turn_features(baseline, candidate);
    return walk_collecting(path, turns, baseline, candidate, limit);
}

namespace {

// A divergence along the path before its explanation is written: where it
// lies, how it ranks, and what the explanation reads.
struct Found {
    const Step* step;
    uint64_t baseline_turn, candidate_turn;
    DivergenceKind kind;
    double confidence;
    double cost = 0.0, similarity = 0.0;  // of a matched pair
};

// Calls visit(found) for every divergence along the path, in path order,
// until it returns false. A matched pair's kind comes from the interned
// features: equal shape sets are equal sets of key shapes.
template <class Visit>
void walk(const std::vector<Step>& path, AlignedTurns& turns, Visit visit) {
    uint64_t baseline_cursor = 0;
    uint64_t candidate_cursor = 0;
    for (const Step& step : path) {
        switch (step.kind) {
            case Step::Kind::Delete:
                if (!visit(Found{&step, step.baseline, candidate_cursor, DivergenceKind::StructuralDrift, 1.0})) return;
                ++baseline_cursor;
                break;
            case Step::Kind::Insert:
                if (!visit(Found{&step, baseline_cursor, step.candidate, DivergenceKind::StructuralDrift, 1.0})) return;
                ++candidate_cursor;
                break;
            case Step::Kind::Match: {
                baseline_cursor = step.baseline + 1;
                candidate_cursor = step.candidate + 1;
                const TurnFeatures& b = turns.baseline[step.baseline];
                const TurnFeatures& c = turns.candidate[step.candidate];
                uint64_t common = turns.common_shingles(step.baseline, step.candidate);
                double cost = turns.pair_cost(step.baseline, step.candidate, common);
                if (!(cost > DIVERGENCE_THRESHOLD)) continue;
                const DivergenceKind kind = b.shape_set != c.shape_set || b.calls != c.calls
                                                ? DivergenceKind::StructuralDrift
                                                : DivergenceKind::DecisionDrift;
                const double confidence = std::clamp((cost - DIVERGENCE_THRESHOLD) / 0.88, 0.0, 1.0);
                if (!visit(Found{&step, step.baseline, step.candidate, kind, confidence, cost,
                                 jaccard_of_counts(common, b.shingle_count, c.shingle_count)}))
                    return;
                break;
            }
        }
    }
}

FirstDivergence explained(const Found& found, const AlignedTurns& turns, const Responses& baseline,
                          const Responses& candidate) {
    const Step& step = *found.step;
    switch (step.kind) {
        case Step::Kind::Delete: {
            uint64_t shapes = turns.baseline[step.baseline].shapes.size();
            return {found.baseline_turn,
                    found.candidate_turn,
                    DivergenceKind::StructuralDrift,
                    Axis::Trajectory,
                    "candidate dropped " + calls_phrase(shapes, "a response turn", "a turn") + " (baseline turn #" +
                        std::to_string(step.baseline) + " has no counterpart)",
                    1.0};
        }
        case Step::Kind::Insert: {
            uint64_t shapes = turns.candidate[step.candidate].shapes.size();
            const uint64_t cursor = found.baseline_turn;
            uint64_t previous = cursor == 0 ? 0 : cursor - 1;
            return {cursor,
                    step.candidate,
                    DivergenceKind::StructuralDrift,
                    Axis::Trajectory,
                    "candidate inserted " + calls_phrase(shapes, "an extra response turn", "an extra turn") +
                        " between baseline turns #" + std::to_string(previous) + " and #" + std::to_string(cursor),
                    1.0};
        }
        case Step::Kind::Match: break;
    }
    return classify_match(baseline[step.baseline], candidate[step.candidate], step.baseline, step.candidate, found.cost,
                          found.similarity);
}

}  // namespace

std::vector<FirstDivergence> walk_collecting(const std::vector<Step>& path, AlignedTurns& turns,
                                             const Responses& baseline, const Responses& candidate, uint64_t limit) {
    std::vector<FirstDivergence> collected;
    if (limit == 0) return collected;
    walk(path, turns, [&](const Found& found) {
        collected.push_back(explained(found, turns, baseline, candidate));
        return collected.size() < limit;
    });
    return collected;
}

bool ranks_before(const FirstDivergence& a, const FirstDivergence& b) {
    if (a.kind != b.kind) return a.kind > b.kind;
    return a.confidence > b.confidence;
}

std::vector<FirstDivergence> ranked_divergences(const std::vector<Step>& path, AlignedTurns& turns,
                                                const Responses& baseline, const Responses& candidate, size_t limit) {
    std::vector<Found> all;
    walk(path, turns, [&](const Found& found) {
        all.push_back(found);
        return true;
    });
    // As ranks_before orders the explained divergences.
    std::stable_sort(all.begin(), all.end(), [](const Found& a, const Found& b) {
        if (a.kind != b.kind) return a.kind > b.kind;
        return a.confidence > b.confidence;
    });
    std::vector<FirstDivergence> ranked;
    ranked.reserve(std::min(limit, all.size()));
    for (size_t k = 0; k < all.size() && k < limit; ++k)
        ranked.push_back(explained(all[k], turns, baseline, candidate));
    return ranked;
}

}  // namespace velkin::diff
