// The alignment against a plain reference computation of the same recurrences
// (full matrices, pair_cost evaluated cell by cell), in the full and the banded
// layout, and the walk over hand-made paths.
#include <algorithm>
#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "check.hpp"
#include "diff/alignment.hpp"
#include "diff/drill_down.hpp"
#include "json/reader.hpp"
#include "json/writer.hpp"

using namespace velkin;
using namespace velkin::diff;

namespace {

Record response(const std::string& payload_json) {
    Result<json::Value> payload = json::parse_document(payload_json);
    if (!payload) throw Panic("bad test payload: " + payload_json);
    Record record;
    record.version = "0.1";
    record.id = "r";
    record.kind = agentlog::Kind::ChatResponse;
    record.payload = std::move(payload).value();
    return record;
}

Responses views(const std::vector<Record>& records) {
    Responses out;
    for (const Record& record : records) out.push_back(&record);
    return out;
}

std::string quoted(const std::string& text) { return "\"" + text + "\""; }

// Random turns over few letters and tools, so that equal shapes, equal texts
// and exact cost ties are common; some texts draw from a wide alphabet so that
// many shingles occur in one turn only.
struct TurnMaker {
    std::mt19937_64 rng;
    explicit TurnMaker(uint64_t seed) : rng(seed) {}

    uint64_t pick(uint64_t n) { return std::uniform_int_distribution<uint64_t>(0, n - 1)(rng); }

    std::string text() {
        static const std::vector<std::string> narrow = {"a", "b", " ", "c", "  "};
        static const std::vector<std::string> wide = {"d", "e", "f", "g", "h", "\u00e9", "\u6771", "\U0001F680", "\\t",
                                                      "x", "y", "z", "q", "w"};
        const std::vector<std::string>& letters = pick(3) == 0 ? wide : narrow;
        std::string out;
        for (uint64_t k = pick(14); k > 0; --k) out += letters[pick(letters.size())];
        return out;
    }

    std::string turn() {
        std::string content;
        auto add = [&](const std::string& block) { content += (content.empty() ? "" : ",") + block; };
        if (pick(5) != 0) add(R"({"type":"text","text":)" + quoted(text()) + "}");
        static const std::vector<std::string> names = {"s", "t"};
        static const std::vector<std::string> inputs = {R"({"q":1})", R"({"q":2})", R"({"q":1.0})", R"({"q":1,"r":1})",
                                                        R"({"r":"x"})", "null"};
        for (uint64_t k = pick(4); k > 0; --k) {
            std::string input = inputs[pick(inputs.size())];
            add(R"({"type":"tool_use","name":")" + names[pick(2)] + R"(")" +
                (input == "null" ? std::string() : ",\"input\":" + input) + "}");
        }
        if (pick(3) == 0) add(R"({"type":"text","text":)" + quoted(text()) + "}");
        static const std::vector<std::string> stops = {"", R"(,"stop_reason":"end_turn")", R"(,"stop_reason":"tool_use")",
                                                       R"(,"stop_reason":"")"};
        return R"({"content":[)" + content + "]" + stops[pick(stops.size())] + "}";
    }

    std::vector<Record> trace(uint64_t n) {
        std::vector<Record> out;
        for (uint64_t i = 0; i < n; ++i) out.push_back(response(turn()));
        return out;
    }

    // The baseline with some turns edited, dropped, or preceded by a new one.
    std::vector<Record> variant_of(const std::vector<Record>& baseline) {
        std::vector<Record> out;
        for (const Record& turn : baseline) {
            switch (pick(8)) {
                case 0: break;
                case 1: out.push_back(response(this->turn())); out.push_back(turn); break;
                case 2: out.push_back(response(this->turn())); break;
                default: out.push_back(turn);
            }
        }
        return out;
    }
};

// The recurrences written out plainly: full matrices, out-of-band cells at 1e18.
std::vector<Step> reference_align(const Responses& b, const Responses& c, uint64_t w) {
    const uint64_t n = b.size(), m = c.size();
    const double far = 1e18;
    auto in_band = [&](uint64_t i, uint64_t j) { return j + w >= i && j <= i + w; };
    std::vector<std::vector<double>> M(n + 1, std::vector<double>(m + 1, far)), X = M, Y = M;
    std::vector<std::vector<char>> step(n + 1, std::vector<char>(m + 1, 'M'));
    M[0][0] = 0;
    for (uint64_t i = 1; i <= n && in_band(i, 0); ++i) {
        Y[i][0] = M[i][0] = 0.6 + 0.15 * static_cast<double>(i - 1);
        step[i][0] = 'D';
    }
    for (uint64_t j = 1; j <= m && in_band(0, j); ++j) {
        X[0][j] = M[0][j] = 0.6 + 0.15 * static_cast<double>(j - 1);
        step[0][j] = 'I';
    }
    for (uint64_t i = 1; i <= n; ++i) {
        for (uint64_t j = 1; j <= m; ++j) {
            if (!in_band(i, j)) continue;
            M[i][j] = pair_cost(*b[i - 1], *c[j - 1]) + std::min({M[i - 1][j - 1], X[i - 1][j - 1], Y[i - 1][j - 1]});
            X[i][j] = std::min(M[i][j - 1] + 0.6, X[i][j - 1] + 0.15);
            Y[i][j] = std::min(M[i - 1][j] + 0.6, Y[i - 1][j] + 0.15);
            double best = std::min({M[i][j], X[i][j], Y[i][j]});
            step[i][j] = std::abs(best - M[i][j]) < 1e-12 ? 'M' : std::abs(best - X[i][j]) < 1e-12 ? 'I' : 'D';
        }
    }
    std::vector<Step> path;
    for (uint64_t i = n, j = m; i > 0 || j > 0;) {
        char s = i == 0 ? 'I' : j == 0 ? 'D' : step[i][j];
        if (s == 'M') path.push_back({Step::Kind::Match, --i, --j});
        if (s == 'I') path.push_back({Step::Kind::Insert, 0, --j});
        if (s == 'D') path.push_back({Step::Kind::Delete, --i, 0});
    }
    std::reverse(path.begin(), path.end());
    return path;
}

bool same_path(const std::vector<Step>& a, const std::vector<Step>& b) {
    if (a.size() != b.size()) return false;
    for (size_t k = 0; k < a.size(); ++k) {
        if (a[k].kind != b[k].kind) return false;
        if (a[k].kind != Step::Kind::Insert && a[k].baseline != b[k].baseline) return false;
        if (a[k].kind != Step::Kind::Delete && a[k].candidate != b[k].candidate) return false;
    }
    return true;
}

// Every index of each side exactly once, in increasing order.
bool covers_both_sides(const std::vector<Step>& path, uint64_t n, uint64_t m) {
    uint64_t next_b = 0, next_c = 0;
    for (const Step& step : path) {
        if (step.kind != Step::Kind::Insert && step.baseline != next_b++) return false;
        if (step.kind != Step::Kind::Delete && step.candidate != next_c++) return false;
    }
    return next_b == n && next_c == m;
}

std::string kinds(const std::vector<Step>& path) {
    std::string out;
    for (const Step& step : path) out += step.kind == Step::Kind::Match ? 'M' : step.kind == Step::Kind::Insert ? 'I' : 'D';
    return out;
}

}  // namespace

TEST(full_layout_matches_reference_on_random_traces) {
    TurnMaker maker(7);
    for (int round = 0; round < 60; ++round) {
        std::vector<Record> baseline = maker.trace(1 + maker.pick(25));
        std::vector<Record> candidate = round % 3 == 0 ? maker.trace(maker.pick(25)) : maker.variant_of(baseline);
        Responses b = views(baseline), c = views(candidate);
        std::vector<Step> path = align(b, c);
        CHECK(covers_both_sides(path, b.size(), c.size()));
        CHECK(same_path(path, reference_align(b, c, std::max(b.size(), c.size()))));
    }
}

TEST(banded_layout_matches_reference) {
    CHECK_EQ(band_half_width(1200, 1100), 200u);
    CHECK_EQ(band_half_width(1001, 1001), 100u);
    CHECK_EQ(band_half_width(40000, 40000), 200u);  // the square root once it exceeds 100
    CHECK_EQ(band_half_width(1001, 0), 1101u);

    TurnMaker maker(11);
    std::vector<Record> baseline = maker.trace(1200);
    std::vector<Record> candidate = maker.variant_of(baseline);
    candidate.resize(std::min<size_t>(candidate.size(), 1100));
    while (candidate.size() < 1100) candidate.push_back(response(maker.turn()));
    Responses b = views(baseline), c = views(candidate);
    std::vector<Step> path = align(b, c);
    CHECK(covers_both_sides(path, 1200, 1100));
    CHECK(same_path(path, reference_align(b, c, 200)));
}

TEST(banded_rows_store_only_their_band) {
    Banded<double> matrix(1200, 1100, 200, 1e18);
    CHECK_EQ(matrix.lo(0), 0u);
    CHECK_EQ(matrix.hi(0), 200u);
    CHECK_EQ(matrix.lo(500), 300u);
    CHECK_EQ(matrix.hi(500), 700u);
    CHECK_EQ(matrix.hi(1200), 1100u);
    CHECK_EQ(matrix.get(500, 100), 1e18);
    matrix.at(500, 300) = 2.5;
    CHECK_EQ(matrix.get(500, 300), 2.5);
    // 201 cells in row 0 growing to 401, then shrinking as the band meets column 1100.
    uint64_t cells = 0;
    for (uint64_t i = 0; i <= 1200; ++i) cells += matrix.hi(i) - matrix.lo(i) + 1;
    CHECK_EQ(matrix.cells.size(), cells);
    CHECK(cells < 1201u * 401u);
}

TEST(match_wins_a_tie_with_insertion) {
    // The baseline turn differs from both candidate turns by 0.4. At cell (1, 2),
    // inserting the first candidate turn then matching the second costs 0.6 + 0.4,
    // exactly what matching the first then inserting the second costs: the match
    // wins, so the path inserts first.
    std::vector<Record> b = {response(R"({"content":[{"type":"text","text":"abc"}],"stop_reason":"x"})")};
    std::vector<Record> c = {response(R"({"content":[{"type":"text","text":"xyz"}],"stop_reason":"y"})"),
                             response(R"({"content":[{"type":"text","text":"uvw"}],"stop_reason":"y"})")};
    CHECK_EQ(pair_cost(b[0], c[0]), 0.4 * 0.0 + 0.25 * 1.0 + 0.15 + 0.0);
    CHECK_EQ(kinds(align(views(b), views(c))), std::string("IM"));
}

TEST(walk_over_hand_made_paths) {
    std::vector<Record> b = {response(R"({"content":[{"type":"text","text":"one"}]})"),
                             response(R"({"content":[{"type":"tool_use","name":"s","input":{"q":1}}]})"),
                             response(R"({"content":[{"type":"tool_use","name":"s","input":{"q":1}},{"type":"tool_use","name":"t"}]})")};
    std::vector<Record> c = {response(R"({"content":[{"type":"tool_use","name":"u","input":{}}]})"),
                             response(R"({"content":[{"type":"text","text":"one"}]})")};
    Responses B = views(b), C = views(c);

    std::vector<FirstDivergence> found =
        walk_collecting({{Step::Kind::Insert, 0, 0}, {Step::Kind::Match, 0, 1}}, {B[0]}, C, 5);
    CHECK_EQ(found.size(), 1u);
    CHECK_EQ(found[0].explanation, std::string("candidate inserted an extra turn with 1 tool call between baseline turns #0 and #0"));
    CHECK_EQ(found[0].baseline_turn, 0u);
    CHECK_EQ(found[0].candidate_turn, 0u);
    CHECK_EQ(found[0].confidence, 1.0);

    found = walk_collecting({{Step::Kind::Match, 0, 1}, {Step::Kind::Delete, 1, 0}, {Step::Kind::Insert, 0, 0},
                             {Step::Kind::Delete, 2, 0}},
                            B, C, 10);
    CHECK_EQ(found.size(), 3u);
    CHECK_EQ(found[0].explanation, std::string("candidate dropped a turn with 1 tool call (baseline turn #1 has no counterpart)"));
    CHECK_EQ(found[0].candidate_turn, 2u);
    CHECK_EQ(found[1].explanation,
             std::string("candidate inserted an extra turn with 1 tool call between baseline turns #1 and #2"));
    CHECK_EQ(found[1].baseline_turn, 2u);
    CHECK_EQ(found[2].explanation, std::string("candidate dropped a turn with 2 tool calls (baseline turn #2 has no counterpart)"));

    found = walk_collecting({{Step::Kind::Delete, 0, 0}, {Step::Kind::Delete, 1, 0}}, B, {}, 1);
    CHECK_EQ(found.size(), 1u);
    CHECK_EQ(found[0].explanation,
             std::string("candidate dropped a response turn with no tool calls (baseline turn #0 has no counterpart)"));
    CHECK(walk_collecting({{Step::Kind::Delete, 0, 0}}, B, {}, 0).empty());
}

TEST(shingles_and_text_similarity) {
    CHECK(shingles("abcab") == (std::vector<std::string_view>{"abca", "bcab"}));
    CHECK(shingles("ab") == std::vector<std::string_view>{"ab"});
    CHECK(shingles("").empty());
    CHECK(shingles("\u6771\u4eac\U0001F680\u00e9x") == (std::vector<std::string_view>{"\u4eac\U0001F680\u00e9x", "\u6771\u4eac\U0001F680\u00e9"}));
    CHECK_EQ(text_similarity("a  b c ", "a b\tc"), 1.0);
    CHECK_EQ(text_similarity("abc", "abd"), 0.0);
    CHECK_EQ(text_similarity("", "a"), 0.0);
    CHECK_EQ(text_similarity(" ", "\u3000"), 1.0);
    // abcd, bcde against bcde, cdef: one shared of three.
    CHECK_EQ(text_similarity("abcde", "bcdef"), 1.0 / 3.0);
    CHECK_EQ(normalise_whitespace("\u2003 x \n\n y\u00a0"), std::string("x y"));
    CHECK_EQ(normalise_whitespace("A\u200bB"), std::string("A\u200bB"));  // zero-width space is not White_Space
}

TEST(shingle_overlap_counts_like_string_sets) {
    TurnMaker maker(3);
    for (int k = 0; k < 300; ++k) {
        std::string a = maker.text(), b = maker.text();
        std::vector<std::string_view> sa = shingles(a), sb = shingles(b);
        ShingleOverlap overlap = shingle_overlap(a, b);
        CHECK_EQ(overlap.first, sa.size());
        CHECK_EQ(overlap.second, sb.size());
        CHECK_EQ(overlap.common, count_common(sa, sb));
    }
}

TEST(tool_shapes_and_argument_changes) {
    Record twice = response(R"({"content":[{"type":"tool_use","name":"search","input":{"query":"a","limit":1}},
                                          {"type":"tool_use","name":"search","input":{"limit":2,"query":"b"}},
                                          {"type":"tool_use","input":[]},{"type":"tool_use","name":7}]})");
    CHECK(tool_shape(twice) == (std::vector<std::string>{"_()", "search(limit,query)"}));
    CHECK_EQ(tool_call_count(twice), 4u);
    CHECK(tool_shape_seq(twice) == (std::vector<std::string>{"search(limit,query)", "search(limit,query)", "_()", "_()"}));
    CHECK(tool_shape(response(R"({"content":"text"})")).empty());
    CHECK(tool_shape(response(R"([1])")).empty());

    std::map<std::string, json::Value> inputs = tool_use_inputs(twice);
    CHECK_EQ(inputs.size(), 2u);
    CHECK_EQ(json::to_compact(inputs["search"]), std::string(R"({"query":"a","limit":1})"));
    CHECK(inputs["_"].as_array() && inputs["_"].as_array()->empty());
    CHECK(tool_use_inputs(response(R"({"content":[{"type":"tool_use"}]})")).at("_").is_null());

    auto call = [](const std::string& input) {
        return response(R"({"content":[{"type":"tool_use","name":"f","input":)" + input + "}]}");
    };
    CHECK(!arg_value_diff(call(R"({"a":1,"b":[1,{"x":null}]})"), call(R"({"b":[1,{"x":null}],"a":1})")));
    CHECK_EQ(*arg_value_diff(call(R"({"a":1})"), call(R"({"a":1,"b":2})")), std::string("`f`: input changed"));
    CHECK_EQ(*arg_value_diff(call(R"({"a":1,"b":"x\"y"})"), call(R"({"a":1})")),
             std::string("`f(b)`: `\"x\\\"y\"` \u2192 `<missing>`"));
    CHECK_EQ(*arg_value_diff(call(R"({"n":1.5e-7})"), call(R"({"n":[true]})")),
             std::string("`f(n)`: `1.5e-7` \u2192 `[true]`"));
    CHECK_EQ(*arg_value_diff(call(R"("x")"), call(R"("y")")), std::string("`f`: input changed"));
    CHECK(!arg_value_diff(call(R"({"a":1})"), response(R"({"content":[]})")));
}

TEST(pair_cost_terms) {
    auto turn = [](const std::string& extra) {
        return response(R"({"content":[{"type":"text","text":"same words"}])" + extra + "}");
    };
    CHECK_EQ(pair_cost(turn(""), turn("")), 0.0);
    CHECK_EQ(pair_cost(turn(R"(,"stop_reason":"a")"), turn(R"(,"stop_reason":"b")")), 0.15);
    CHECK_EQ(pair_cost(turn(""), turn(R"(,"stop_reason":"")")), 0.0);
    CHECK_EQ(pair_cost(turn(R"(,"stop_reason":3)"), turn(R"(,"stop_reason":"")")), 0.0);
    // One call against three of the same shape: J = 1, D = 2/3; argument values differ too.
    Record one = response(R"({"content":[{"type":"tool_use","name":"f","input":{"a":1}}]})");
    Record three = response(R"({"content":[{"type":"tool_use","name":"f","input":{"a":2}},
                                           {"type":"tool_use","name":"f","input":{"a":1}},
                                           {"type":"tool_use","name":"f","input":{"a":1}}]})");
    CHECK_EQ(pair_cost(one, three), 0.4 * (2.0 / 3.0) + 0.25 * (1.0 - 1.0) + 0.0 + 0.2);
}
