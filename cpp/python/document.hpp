#pragma once
// Report documents written member by member to a sink: the Python objects of
// a result dict (DictSink) or the JSON text a command prints (JsonText). A
// document's shape is one function template, so both forms hold the same
// members in the same order.
#include <cmath>
#include <concepts>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "diff/axes.hpp"
#include "python/module_state.hpp"

namespace velkin::python {

template <class Sink, class Value>
void put(Sink& sink, const Value& value);

// A list of `items`, each written by `write(sink, item)`.
template <class Sink, class Item, class Write>
void put_list(Sink& sink, const std::vector<Item>& items, Write write) {
    sink.begin_array(items.size());
    for (const Item& item : items) write(sink, item);
    sink.end_array();
}

template <class>
inline constexpr bool is_vector = false;
template <class Item>
inline constexpr bool is_vector<std::vector<Item>> = true;

// A value by its type: text, an unsigned count, a bool, a float (non-finite
// values have no JSON form and are null, as is an absent one), a list of
// values, or a function that writes the value itself (an object).
template <class Sink, class Value>
void put(Sink& sink, const Value& value) {
    if constexpr (std::same_as<Value, bool>) {
        sink.boolean(value);
    } else if constexpr (std::unsigned_integral<Value>) {
        sink.number(static_cast<uint64_t>(value));
    } else if constexpr (std::same_as<Value, double>) {
        std::isfinite(value) ? sink.number(value) : sink.null();
    } else if constexpr (std::same_as<Value, std::nullopt_t>) {
        sink.null();
    } else if constexpr (std::convertible_to<const Value&, std::string_view>) {
        sink.text(std::string_view(value));
    } else if constexpr (is_vector<Value>) {
        put_list(sink, value, [](Sink& into, const auto& item) { put(into, item); });
    } else if constexpr (std::invocable<const Value&, Sink&>) {
        value(sink);
    } else {
        // std::optional of any of these: null when absent.
        value ? put(sink, *value) : sink.null();
    }
}

template <class Sink, class Value>
void member(Sink& sink, KeyName name, const Value& value) {
    sink.key(name);
    put(sink, value);
}

// An object written by `members(sink)`.
template <class Write>
auto object(Write members) {
    return [members](auto& sink) {
        sink.begin_object();
        members(sink);
        sink.end_object();
    };
}

// The members of one axis statistic, which the diff report's rows and the run
// comparison's axes share.
template <class Sink>
void axis_stat_members(Sink& sink, const diff::AxisStat& stat) {
    member(sink, "axis", diff::axis_name(stat.axis));
    member(sink, "baseline_median", stat.baseline_median);
    member(sink, "candidate_median", stat.candidate_median);
    member(sink, "delta", stat.delta);
    member(sink, "ci95_low", stat.ci95_low);
    member(sink, "ci95_high", stat.ci95_high);
    member(sink, "severity", diff::severity_name(stat.severity));
    member(sink, "n", stat.n);
    member(sink, "flags", [&](Sink& into) {
        put_list(into, stat.flags, [](Sink& flags, diff::Flag flag) { put(flags, diff::flag_name(flag)); });
    });
}

}  // namespace velkin::python
