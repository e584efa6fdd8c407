// The alignment against a plain reference computation of the same recurrences
// (full matrices, pair_cost evaluated cell by cell), in the full and the banded
// layout; the features the walk and the drill-down reuse against the direct
// computations; the walk over paths the alignment never produces; and the
// internals the module cannot reach.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "check.hpp"
#include "diff/alignment.hpp"
#include "diff/drill_down.hpp"
#include "diff/shingles.hpp"
#include "json/reader.hpp"
#include "text/unicode.hpp"

using namespace velkin;
using namespace velkin::diff;

namespace {

Record response(const std::string& payload_json) {
    Record record;
    record.kind = agentlog::Kind::ChatResponse;
    record.payload = json::parse_document(payload_json).value();
    return record;
}

Responses views(const std::vector<Record>& records) {
    Responses out;
    for (const Record& record : records) out.push_back(view_response(record));
    return out;
}

// The windows of 4 code points (the whole text when shorter) in text order, as strings.
std::vector<std::string_view> windows_in_order(std::string_view text) {
    std::vector<size_t> starts;
    for (size_t i = 0; i < text.size();) {
        starts.push_back(i);
        text::next_code_point(text, i);
    }
    if (starts.empty()) return {};
    if (starts.size() < 4) return {text};
    starts.push_back(text.size());
    std::vector<std::string_view> windows;
    for (size_t k = 0; k + 4 < starts.size(); ++k) windows.push_back(text.substr(starts[k], starts[k + 4] - starts[k]));
    return windows;
}

// The ids a table numbering windows as they first appear gives a text's windows, each once, in
// text order; `reference` holds the windows numbered so far.
std::vector<uint32_t> reference_ids(std::map<std::string, uint32_t, std::less<>>& reference, std::string_view text) {
    std::vector<uint32_t> ids;
    for (std::string_view window : windows_in_order(text)) {
        auto [at, first] = reference.try_emplace(std::string(window), static_cast<uint32_t>(reference.size()));
        if (std::find(ids.begin(), ids.end(), at->second) == ids.end()) ids.push_back(at->second);
    }
    return ids;
}

// The distinct windows, ordered.
std::vector<std::string_view> shingle_strings(std::string_view text) {
    std::vector<std::string_view> windows = windows_in_order(text);
    std::sort(windows.begin(), windows.end());
    windows.erase(std::unique(windows.begin(), windows.end()), windows.end());
    return windows;
}

bool same_bits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

// Random turns over few letters, tools and stop reasons, so that equal shapes,
// equal texts and exact cost ties are common; some texts draw from a wide
// alphabet so that many shingles occur in one turn only.
struct TurnMaker {
    std::mt19937_64 rng;

    const std::string& pick(const std::vector<std::string>& from) { return from[rng() % from.size()]; }

    std::string text() {
        static const std::vector<std::string> narrow = {"a", "b", " ", "c", "  "};
        static const std::vector<std::string> wide = {"d",          "e",   "f", "g", "h", "\u00e9", "\u6771",
                                                      "\U0001F680", "\\t", "x", "y", "z", "q",      "w"};
        const std::vector<std::string>& letters = rng() % 3 == 0 ? wide : narrow;
        std::string out;
        for (uint64_t k = rng() % 14; k > 0; --k) out += pick(letters);
        return out;
    }

    Record turn() {
        static const std::vector<std::string> inputs = {R"(,"input":{"q":1})",   R"(,"input":{"q":2})",
                                                        R"(,"input":{"q":1.0})", R"(,"input":{"q":1,"r":1})",
                                                        R"(,"input":{"r":"x"})", ""};
        static const std::vector<std::string> stops = {"", R"(,"stop_reason":"end_turn")", R"(,"stop_reason":"")"};
        std::string content = rng() % 5 ? R"({"type":"text","text":")" + text() + "\"}," : "";
        for (uint64_t k = rng() % 4; k > 0; --k)
            content += R"({"type":"tool_use","name":")" + pick({"s", "t"}) + "\"" + pick(inputs) + "},";
        if (rng() % 3 == 0) content += R"({"type":"text","text":")" + text() + "\"},";
        if (!content.empty()) content.pop_back();
        return response(R"({"content":[)" + content + "]" + pick(stops) + "}");
    }

    std::vector<Record> trace(uint64_t n) {
        std::vector<Record> out;
        while (out.size() < n) out.push_back(turn());
        return out;
    }

    // The baseline with some turns dropped (0), preceded by a new one (1) or replaced (2).
    std::vector<Record> variant_of(const std::vector<Record>& baseline) {
        std::vector<Record> out;
        for (const Record& kept : baseline) {
            uint64_t change = rng() % 8;
            if (change == 1 || change == 2) out.push_back(turn());
            if (change != 0 && change != 2) out.push_back(kept);
        }
        return out;
    }
};

// "M0,0 I,1 D1 ": each step with the indices it carries.
std::string rendered(const std::vector<Step>& path) {
    std::string out;
    for (const Step& step : path) {
        out.push_back(step.kind == Step::Kind::Match ? 'M' : step.kind == Step::Kind::Insert ? 'I' : 'D');
        if (step.kind != Step::Kind::Insert) out.append(std::to_string(step.baseline));
        if (step.kind != Step::Kind::Delete) out.append(",").append(std::to_string(step.candidate));
        out.push_back(' ');
    }
    return out;
}

// The recurrences written out plainly: full matrices, cells outside the band at 1e18.
std::string reference_align(const Responses& b, const Responses& c, uint64_t w) {
    const uint64_t n = b.size(), m = c.size();
    auto in_band = [&](uint64_t i, uint64_t j) { return j + w >= i && j <= i + w; };
    std::vector<std::vector<double>> M(n + 1, std::vector<double>(m + 1, 1e18)), X = M, Y = M;
    std::vector<std::string> step(n + 1, std::string(m + 1, 'M'));
    M[0][0] = 0;
    for (uint64_t i = 1; i <= n && in_band(i, 0); ++i) Y[i][0] = M[i][0] = 0.6 + 0.15 * static_cast<double>(i - 1);
    for (uint64_t j = 1; j <= m && in_band(0, j); ++j) X[0][j] = M[0][j] = 0.6 + 0.15 * static_cast<double>(j - 1);
    for (uint64_t i = 1; i <= n; ++i) {
        for (uint64_t j = 1; j <= m; ++j) {
            if (!in_band(i, j)) continue;
            M[i][j] = pair_cost(b[i - 1], c[j - 1]) + std::min({M[i - 1][j - 1], X[i - 1][j - 1], Y[i - 1][j - 1]});
            X[i][j] = std::min(M[i][j - 1] + 0.6, X[i][j - 1] + 0.15);
            Y[i][j] = std::min(M[i - 1][j] + 0.6, Y[i - 1][j] + 0.15);
            double best = std::min({M[i][j], X[i][j], Y[i][j]});
            step[i][j] = std::abs(best - M[i][j]) < 1e-12 ? 'M' : std::abs(best - X[i][j]) < 1e-12 ? 'I' : 'D';
        }
    }
    std::vector<Step> path;
    for (uint64_t i = n, j = m; i > 0 || j > 0;) {
        char s = i == 0 ? 'I' : j == 0 ? 'D' : step[i][j];
        path.insert(path.begin(), {s == 'M'   ? Step::Kind::Match
                                   : s == 'I' ? Step::Kind::Insert
                                              : Step::Kind::Delete,
                                   s == 'I' ? 0 : i - 1, s == 'D' ? 0 : j - 1});
        i -= s != 'I';
        j -= s != 'D';
    }
    return rendered(path);
}

}  // namespace

TEST(full_layout_matches_reference_on_random_traces) {
    TurnMaker maker{std::mt19937_64(7)};
    for (int round = 0; round < 60; ++round) {
        std::vector<Record> baseline = maker.trace(1 + maker.rng() % 25);
        std::vector<Record> candidate = round % 3 == 0 ? maker.trace(maker.rng() % 25) : maker.variant_of(baseline);
        Responses b = views(baseline), c = views(candidate);
        CHECK_EQ(rendered(align(b, c)), reference_align(b, c, std::max(b.size(), c.size())));
    }
}

TEST(banded_layout_matches_reference) {
    CHECK_EQ(band_half_width(1200, 1100), 200u);
    // The square root once it exceeds 100, and the length difference on top.
    CHECK(band_half_width(1001, 1001) == 100u && band_half_width(40000, 40000) == 200u);
    CHECK(band_half_width(1001, 0) == 1101u && band_half_width(0, 40000) == 40200u);
    TurnMaker maker{std::mt19937_64(11)};
    std::vector<Record> baseline = maker.trace(1200);
    std::vector<Record> candidate = maker.variant_of(baseline);
    candidate.resize(std::min<size_t>(candidate.size(), 1100));
    while (candidate.size() < 1100) candidate.push_back(maker.turn());
    Responses b = views(baseline), c = views(candidate);
    CHECK_EQ(rendered(align(b, c)), reference_align(b, c, 200));

    // Row i stores columns max(0, i - 200) ..= min(1100, i + 200) only.
    Banded<double> matrix(1200, 1100, 200, 1e18);
    CHECK(matrix.lo(500) == 300u && matrix.hi(500) == 700u && matrix.hi(0) == 200u && matrix.hi(1200) == 1100u);
    matrix.at(500, 300) = 2.5;
    CHECK(matrix.get(500, 300) == 2.5 && matrix.get(500, 299) == 1e18);
    CHECK(matrix.cells.size() < 1201u * 401u);
}

TEST(features_cost_pairs_like_the_responses_themselves) {
    // The walk and the drill-down read the alignment's features instead of the
    // responses: every cell must cost the same bits, every overlap the same count.
    TurnMaker maker{std::mt19937_64(5)};
    std::vector<Record> baseline = maker.trace(40), candidate = maker.trace(40);
    for (int k = 0; k < 10; ++k) {
        // Several text blocks and whitespace runs, whose shingles the drill-down must not take from the features.
        candidate.push_back(response(R"({"content":[{"type":"text","text":"a  b"},{"type":"text","text":"c"}]})"));
        baseline.push_back(response(R"({"content":[{"type":"text","text":"a b\nc"}]})"));
    }
    Responses b = views(baseline), c = views(candidate);
    AlignedTurns turns = turn_features(b, c);
    ShingleOverlapCounter counter;
    for (size_t i = 0; i < b.size(); ++i) {
        for (size_t j = 0; j < c.size(); ++j) CHECK(same_bits(turns.pair_cost(i, j), pair_cost(b[i], c[j])));
        if (!turns.baseline[i].text_is_normal || !turns.candidate[i].text_is_normal) continue;
        ShingleOverlap overlap = counter.count(b[i].text_lines(), c[i].text_lines());
        CHECK_EQ(turns.common_shingles(i, i), overlap.common);
    }
    Pairs pairs = pair_responses(b, c);
    std::vector<PairDrilldown> direct = drill_down(pairs, {}), reused = drill_down(pairs, {}, &turns);
    CHECK_EQ(direct.size(), reused.size());
    for (size_t k = 0; k < direct.size(); ++k) {
        CHECK_EQ(direct[k].pair_index, reused[k].pair_index);
        CHECK(same_bits(direct[k].regression_score, reused[k].regression_score));
    }

    // Once indexed, the turns count overlaps without their shingle lists.
    std::vector<uint64_t> listed;
    for (size_t i = 0; i < b.size(); ++i)
        for (size_t j = 0; j < c.size(); ++j) listed.push_back(turns.common_shingles(i, j));
    turns.index_shingles();
    CHECK(turns.baseline.front().shingle_ids().empty());
    for (size_t i = 0, k = 0; i < b.size(); ++i)
        for (size_t j = 0; j < c.size(); ++j, ++k) CHECK_EQ(turns.common_shingles(i, j), listed[k]);
}

TEST(indexed_overlaps_on_long_traces) {
    // Past the full-matrix limit the shingles frequent on both sides go into
    // bit sets and the rest into candidate lists: both kinds must count.
    TurnMaker maker{std::mt19937_64(13)};
    std::vector<Record> baseline = maker.trace(1500);
    std::vector<Record> candidate = maker.variant_of(baseline);
    Responses b = views(baseline), c = views(candidate);
    AlignedTurns turns = turn_features(b, c), indexed = turns;
    indexed.index_shingles();
    std::mt19937_64 rng(17);
    for (int k = 0; k < 20000; ++k) {
        uint64_t i = rng() % b.size(), j = rng() % c.size();
        CHECK_EQ(indexed.common_shingles(i, j), turns.common_shingles(i, j));
    }
    CHECK_EQ(rendered(align(indexed)), rendered(align(turns)));
}

TEST(features_interned_together_count_and_align_like_each_pair) {
    // A run comparison interns the runs of a conversation together, with
    // their shingles also as bits, and lends any two of them to the
    // alignment: each pair must count and align as if interned alone, in
    // pairs small enough for the bits and in larger ones.
    std::mt19937_64 rng(29);
    const std::vector<std::string> words = {"seat", "refund", "gate", "delay", "card", "caf\u00e9"};
    const std::vector<size_t> sizes = {5, 12, 40, 33};
    std::vector<std::vector<std::string>> texts(sizes.size());
    std::vector<Responses> runs;
    std::vector<std::vector<Record>> records(sizes.size());
    for (size_t r = 0; r < sizes.size(); ++r) {
        for (size_t t = 0; t < sizes[r]; ++t) {
            std::string text;
            for (int k = 0; k < 30; ++k) text.append(k ? " " : "").append(words[rng() % words.size()]);
            // Replicates of an unchanged agent often answer alike.
            if (r > 0 && t < sizes[r - 1] && rng() % 3 == 0) text = texts[r - 1][t];
            texts[r].push_back(text);
            records[r].push_back(response(R"({"content":[{"type":"text","text":")" + text + "\"}]}"));
        }
    }
    for (const std::vector<Record>& run : records) runs.push_back(views(run));
    std::vector<const Responses*> lists;
    for (const Responses& run : runs) lists.push_back(&run);
    TurnFeatureSets sets = turn_features(lists);
    CHECK(sets.lists[0][0].shingle_bits != nullptr);
    for (size_t a = 0; a < runs.size(); ++a) {
        for (size_t b = 0; b < runs.size(); ++b) {
            if (a == b) continue;
            AlignedTurns together;
            together.baseline = sets.lists[a], together.candidate = sets.lists[b];
            together.distinct_shingles = sets.distinct_shingles;
            AlignedTurns alone = turn_features(runs[a], runs[b]);
            CHECK_EQ(rendered(align(together)), rendered(align(alone)));
            // The walk counts without an index, the report's alignment with one.
            for (bool indexed : {false, true}) {
                if (indexed) together.index_shingles();
                for (size_t i = 0; i < runs[a].size(); ++i)
                    for (size_t j = 0; j < runs[b].size(); ++j)
                        CHECK_EQ(together.common_shingles(i, j), alone.common_shingles(i, j));
            }
        }
    }
}

TEST(shingle_table_reused_after_a_large_one) {
    // Each thread keeps its shingle table from one call to the next, emptied,
    // and lets a large one go: neither may leave ids or marks behind.
    std::mt19937_64 rng(19);
    std::vector<Record> large = {response(R"({"content":[{"type":"text","text":"abcde"}]})")};
    for (int text = 0; text < 3; ++text) {
        std::string wide;
        for (int k = 0; k < 25000; ++k) text::append_utf8(wide, static_cast<char32_t>(0x4e00 + rng() % 4000));
        large.push_back(response(R"({"content":[{"type":"text","text":")" + wide + "\"}]}"));
    }
    std::vector<Record> baseline = {response(R"({"content":[{"type":"text","text":"abcdefgh"}]})"),
                                    response(R"({"content":[{"type":"text","text":"abcdefgh xyz"}]})")};
    std::vector<Record> candidate = {baseline[1], baseline[0]};
    Responses l = views(large), b = views(baseline), c = views(candidate);
    for (int round = 0; round < 2; ++round) {
        AlignedTurns big = turn_features(l, l);
        CHECK(big.distinct_shingles > 65536u && big.common_shingles(3, 3) == big.baseline[3].shingle_count);
        AlignedTurns turns = turn_features(b, c);
        for (size_t i = 0; i < b.size(); ++i)
            for (size_t j = 0; j < c.size(); ++j) CHECK(same_bits(turns.pair_cost(i, j), pair_cost(b[i], c[j])));
    }
}

TEST(walk_over_hand_made_paths) {
    std::vector<Record> b = {
        response(R"({"content":[{"type":"text","text":"one"}]})"),
        response(R"({"content":[{"type":"tool_use","name":"s","input":{"q":1}}]})"),
        response(R"({"content":[{"type":"tool_use","name":"s"},{"type":"tool_use","name":"t"}]})")};
    Responses B = views(b), C = {B[1], B[0]};
    using enum Step::Kind;
    // A deletion advances the baseline cursor: the insertion after it lies between turns 1 and 2.
    std::vector<FirstDivergence> found = walk_collecting(
        {{Match, 0, 1}, {Delete, 1, 0}, {Insert, 0, 0}, {Delete, 2, 0}}, B, C, 10);
    CHECK_EQ(found.size(), 3u);
    std::string text;
    for (const FirstDivergence& d : found)
        text.append(std::to_string(d.baseline_turn))
            .append(",")
            .append(std::to_string(d.candidate_turn))
            .append(" ")
            .append(d.explanation)
            .append("\n");
    CHECK_EQ(text,
             std::string("1,2 candidate dropped a turn with 1 tool call (baseline turn #1 has no counterpart)\n"
                         "2,0 candidate inserted an extra turn with 1 tool call between baseline turns #1 and #2\n"
                         "2,3 candidate dropped a turn with 2 tool calls (baseline turn #2 has no counterpart)\n"));
    CHECK_EQ(walk_collecting({{Delete, 0, 0}, {Delete, 1, 0}}, B, {}, 1).size(), 1u);
    CHECK(walk_collecting({{Delete, 0, 0}}, B, {}, 0).empty());
}

TEST(shingle_overlap_counts_like_string_sets) {
    TurnMaker maker{std::mt19937_64(3)};
    for (int k = 0; k < 300; ++k) {
        std::string a = maker.text(), b = maker.text();
        std::vector<std::string_view> sa = shingle_strings(a), sb = shingle_strings(b);
        ShingleOverlap overlap = ShingleOverlapCounter{}.count(a, b);
        CHECK(overlap.first == sa.size() && overlap.second == sb.size() && overlap.common == count_common(sa, sb));
        // The interning, which normalises as it reads, against normalising first.
        ShingleIds ids;
        std::vector<uint32_t> fused, plain;
        std::string joined = a + " " + b, normalised = normalise_whitespace(joined);
        bool normal = ids.add_text(joined, fused);
        CHECK(ids.add_text(normalised, plain));
        CHECK(fused == plain && fused.size() == shingle_strings(normalised).size());
        CHECK(normal == (normalised == joined) && ids.count() == fused.size());
    }
}

TEST(shingle_ids_number_equal_shingles_alike_in_first_seen_order) {
    // ASCII windows have a table of their own, also when they lie in a text
    // with other characters: a shingle must get one id wherever it occurs,
    // and ids count up in the order the texts first hold them.
    TurnMaker maker{std::mt19937_64(23)};
    const std::vector<std::string> separators = {" ", "  ", "\t", "\n ", "\u00a0", "\u2003", ""};
    ShingleIds ids;
    std::map<std::string, uint32_t, std::less<>> reference;
    for (int k = 0; k < 400; ++k) {
        std::string text = k % 7 == 0 ? maker.pick(separators) : "";
        for (uint64_t part = maker.rng() % (k % 3 == 0 ? 40 : 4) + 1; part > 0; --part)
            text += maker.text() + maker.pick(separators);
        std::string normal = normalise_whitespace(text);
        std::vector<uint32_t> expected = reference_ids(reference, normal);
        std::vector<uint32_t> got;
        CHECK_EQ(ids.add_text(text, got), normal == text);
        CHECK(got == expected);
    }
    CHECK_EQ(ids.count(), reference.size());
}

TEST(shingle_ids_of_a_table_grown_past_the_caches_count_as_a_small_one) {
    // Over tens of thousands of shingles the table outgrows the caches and
    // fetches its slots ahead: the ids must not depend on how they are looked up.
    std::mt19937_64 rng(41);
    ShingleIds ids;
    std::map<std::string, uint32_t, std::less<>> reference;
    std::string previous;
    for (int k = 0; k < 600; ++k) {
        std::string text;
        for (int c = 0; c < 200; ++c) text.push_back(rng() % 9 == 0 ? ' ' : static_cast<char>('a' + rng() % 26));
        // Every other text goes on from the one before, so that many of its shingles are known ones.
        if (k % 2 == 1) text = previous.substr(100) + text;
        previous = text;
        std::string normal = normalise_whitespace(text);
        std::vector<uint32_t> expected = reference_ids(reference, normal);
        std::vector<uint32_t> got;
        ids.add_text(text, got);
        CHECK(got == expected);
    }
    CHECK(reference.size() > 40000);
    CHECK_EQ(ids.count(), reference.size());
}

TEST(argument_changes_the_alignment_never_compares) {
    // Different key sets make different tool shapes, so a report never asks about these.
    auto call = [](const std::string& input) {
        return response(R"({"content":[{"type":"tool_use","name":"f","input":)" + input + "}]}");
    };
    auto change = [](const Record& b, const Record& c) {
        return arg_value_diff(view_response(b).tool_calls, view_response(c).tool_calls);
    };
    CHECK_EQ(change(call(R"({"a":1})"), call(R"({"a":1,"b":2})")).value_or("none"), std::string("`f`: input changed"));
    CHECK_EQ(change(call(R"({"a":1,"b":"x\"y"})"), call(R"({"a":1})")).value_or("none"),
             std::string("`f(b)`: `\"x\\\"y\"` \u2192 `<missing>`"));
    CHECK(!change(call(R"({"a":1})"), response(R"({"content":[]})")));
}

// The drill-down keeps the five highest scores, equal scores in pair order: an
// unchanged pair, six pairs changed alike (equal scores) and, last, a pair
// changed more.
TEST(drill_down_ranks_ties_in_pair_order) {
    const std::string same = R"({"content":[{"type":"text","text":"the same answer"}]})";
    const std::string changed = R"({"content":[{"type":"text","text":"another reply"}]})";
    const std::string worse = R"({"content":[{"type":"tool_use","name":"t","input":{}}],"stop_reason":"refusal"})";
    std::vector<Record> baseline, candidate;
    for (int k = 0; k < 8; ++k) baseline.push_back(response(same));
    candidate.push_back(response(same));
    for (int k = 0; k < 6; ++k) candidate.push_back(response(changed));
    candidate.push_back(response(worse));
    Responses b = views(baseline), c = views(candidate);
    std::vector<PairDrilldown> rows = drill_down(pair_responses(b, c), {});
    std::vector<uint64_t> order;
    for (const PairDrilldown& row : rows) order.push_back(row.pair_index);
    CHECK(order == std::vector<uint64_t>({7, 1, 2, 3, 4}));
    CHECK(rows[1].regression_score == rows[4].regression_score);
    CHECK(rows[0].regression_score > rows[1].regression_score);
}
