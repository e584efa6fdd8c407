#include "diff/cost.hpp"

#include <array>
#include <cmath>
#include <vector>

namespace velkin::diff {

namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// Whether `suffix` matches `pattern`, where 'd' stands for one ASCII digit.
bool matches_date_pattern(std::string_view suffix, std::string_view pattern) {
    if (suffix.size() != pattern.size()) return false;
    for (size_t i = 0; i < pattern.size(); ++i) {
        if (pattern[i] == 'd' ? !is_digit(suffix[i]) : suffix[i] != pattern[i]) return false;
    }
    return true;
}

const ModelPricing* find_exact(const PricingTable& table, std::string_view name) {
    if (table.empty()) return nullptr;
    // The key is built in a buffer kept per thread: a lookup per response allocates nothing.
    thread_local std::string key;
    key.assign(name);
    auto it = table.find(key);
    return it == table.end() ? nullptr : &it->second;
}

double price_or(double price, double fallback) { return price > 0.0 ? price : fallback; }

// The prices of the models already looked up: a trace names few models, each
// in many responses, and the table lookup with its fallback is what a
// response's cost mostly takes.
class PriceMemo {
public:
    explicit PriceMemo(const PricingTable& table) : table_(table) {}

    const ModelPricing* operator()(std::string_view model) {
        for (const auto& [name, price] : known_)
            if (name == model) return price;
        const ModelPricing* price = lookup_with_snapshot_fallback(table_, model);
        if (known_.size() < KEPT_MODELS) known_.emplace_back(model, price);
        return price;
    }

private:
    static constexpr size_t KEPT_MODELS = 16;
    const PricingTable& table_;
    std::vector<std::pair<std::string_view, const ModelPricing*>> known_;
};

template <class Lookup>
std::optional<double> cost_with(const ResponseView& response, Lookup&& lookup) {
    const std::string* model = response.model;
    if (!model || !response.has_usage) return std::nullopt;
    std::optional<double> input_tokens = response.input_tokens;
    std::optional<double> output_tokens = response.output_tokens;
    if (!input_tokens || !output_tokens) return std::nullopt;
    double cached_input_tokens = response.cached_input_tokens.value_or(0.0);
    double cached_write_5m_tokens = response.cached_write_5m_tokens.value_or(0.0);
    double cached_write_1h_tokens = response.cached_write_1h_tokens.value_or(0.0);
    double thinking_tokens = response.thinking_tokens.value_or(0.0);
    for (double tokens : {*input_tokens, *output_tokens, cached_input_tokens, cached_write_5m_tokens,
                          cached_write_1h_tokens, thinking_tokens}) {
        if (!std::isfinite(tokens)) return 0.0;
    }
    const ModelPricing* price = lookup(*model);
    if (!price) return 0.0;
    double s = cached_input_tokens * price_or(price->cached_input, price->input) + *input_tokens * price->input;
    s = s + cached_write_5m_tokens * price_or(price->cached_write_5m, price->input);
    s = s + cached_write_1h_tokens * price_or(price->cached_write_1h, price->input);
    s = s + *output_tokens * price->output;
    double cost = s + thinking_tokens * price_or(price->reasoning, price->output);
    if (response.batch && price->batch_discount > 0.0) cost = cost * price->batch_discount;
    return cost;
}

}  // namespace

const ModelPricing* lookup_with_snapshot_fallback(const PricingTable& table, std::string_view name) {
    if (const ModelPricing* exact = find_exact(table, name)) return exact;
    constexpr std::string_view DASHED_DATE = "-dddd-dd-dd";
    constexpr std::string_view COMPACT_DATE = "-dddddddd";
    const size_t length = name.size();
    if (length > DASHED_DATE.size() && matches_date_pattern(name.substr(length - DASHED_DATE.size()), DASHED_DATE))
        return find_exact(table, name.substr(0, length - DASHED_DATE.size()));
    if (length > COMPACT_DATE.size() && matches_date_pattern(name.substr(length - COMPACT_DATE.size()), COMPACT_DATE))
        return find_exact(table, name.substr(0, length - COMPACT_DATE.size()));
    return nullptr;
}

std::optional<double> cost_of(const ResponseView& response, const PricingTable& table) {
    return cost_with(response, [&](std::string_view model) { return lookup_with_snapshot_fallback(table, model); });
}

AxisSamples cost_samples(const Pairs& pairs, const PricingTable& table) {
    AxisSamples samples{Axis::Cost, Statistic::Median, Grading::Value, {}, {}};
    uint64_t priced = 0;
    PriceMemo prices(table);
    auto is_priced = [&](const ResponseView& response) { return response.model && prices(*response.model); };
    for (const ResponsePair& pair : pairs) {
        std::optional<double> b = cost_with(*pair.baseline, prices);
        std::optional<double> c = cost_with(*pair.candidate, prices);
        if (!b || !c) continue;
        samples.baseline.push_back(*b);
        samples.candidate.push_back(*c);
        if (is_priced(*pair.baseline) && is_priced(*pair.candidate)) ++priced;
    }
    // With no pairs the row is plainly empty.
    samples.no_pricing = 2 * priced < pairs.size();
    return samples;
}

}  // namespace velkin::diff
