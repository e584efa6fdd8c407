// Large OTLP inputs are read in parts on several threads: the parts must join
// into exactly what a sequential read gives, and errors must name the line of
// the whole input.
#include <string>
#include <vector>

#include "check.hpp"
#include "import/import.hpp"

using velkin::imports::Format;
using velkin::imports::import_inputs;
using velkin::imports::Input;

namespace {

std::string hex(uint64_t value, int digits) {
    static const char* HEX = "0123456789abcdef";
    std::string out(static_cast<size_t>(digits), '0');
    for (int i = digits - 1; i >= 0 && value; --i, value >>= 4) out[static_cast<size_t>(i)] = HEX[value & 15];
    return out;
}

// One chat span of trace `trace`, the `call`-th of that trace.
std::string span_line(uint64_t trace, uint64_t call) {
    std::string start = std::to_string(1700000000000000000ull + call * 1000000 + trace);
    std::string q = "question " + std::to_string(call) + " of run " + std::to_string(trace);
    return R"({"resourceSpans":[{"resource":{"attributes":[{"key":"service.name","value":{"stringValue":"agent"}}]},)"
           R"("scopeSpans":[{"spans":[{"traceId":")" +
           hex(trace + 1, 32) + R"(","spanId":")" + hex(call + 1, 16) + R"(","name":"chat","startTimeUnixNano":")" +
           start + R"(","endTimeUnixNano":")" + start +
           R"(",)"
           R"("attributes":[{"key":"gen_ai.operation.name","value":{"stringValue":"chat"}},)"
           R"({"key":"session.id","value":{"stringValue":"task-)" +
           std::to_string(trace % 7) +
           R"("}},)"
           R"({"key":"gen_ai.input.messages","value":{"stringValue":"[{\"role\":\"user\",\"parts\":[{\"type\":\"text\",\"content\":\")" +
           q +
           R"(\"}]}]"}},)"
           R"({"key":"gen_ai.output.messages","value":{"stringValue":"[{\"role\":\"assistant\",\"parts\":[{\"type\":\"text\",\"content\":\"answer to )" +
           q +
           R"(\"}],\"finish_reason\":\"stop\"}]"}},)"
           R"({"key":"gen_ai.usage.input_tokens","value":{"intValue":")" +
           std::to_string(call + 10) + R"("}}]}]}]}]})" + "\n";
}

// Enough lines for several parts; each trace's calls are spread over the whole input.
std::vector<std::string> lines(size_t count, size_t traces) {
    std::vector<std::string> out;
    for (size_t i = 0; i < count; ++i) out.push_back(span_line(i % traces, i / traces));
    return out;
}

}  // namespace

TEST(parts_join_into_what_a_sequential_read_gives) {
    std::vector<std::string> all = lines(24000, 997);
    std::string whole;
    for (const std::string& line : all) whole += line;
    CHECK(whole.size() > (size_t{12} << 20));
    // Three inputs of a third each are each read in fewer parts than the whole.
    std::vector<std::string> thirds(3);
    for (size_t i = 0; i < all.size(); ++i) thirds[i * 3 / all.size()] += all[i];
    std::vector<Input> one{{"whole", whole}};
    std::vector<Input> three{{"a", thirds[0]}, {"b", thirds[1]}, {"c", thirds[2]}};
    auto from_one = import_inputs(one, Format::Otlp);
    auto from_three = import_inputs(three, std::nullopt);
    CHECK(from_one.ok());
    CHECK(from_three.ok());
    if (!from_one.ok() || !from_three.ok()) return;
    CHECK_EQ(from_one.value().summary.conversations, 997u);
    CHECK_EQ(from_one.value().summary.records, 997u + 2 * 24000u);
    CHECK(from_one.value().joined() == from_three.value().joined());
}

TEST(errors_name_the_line_of_the_whole_input) {
    std::vector<std::string> all = lines(24000, 50);
    all[22345] = "{\"resourceSpans\": 5}\n";
    std::string whole;
    for (const std::string& line : all) whole += line;
    std::vector<Input> one{{"big.jsonl", whole}};
    auto result = import_inputs(one, Format::Otlp);
    CHECK(!result.ok());
    if (!result.ok())
        CHECK_EQ(result.error().message,
                 std::string("big.jsonl:22346: field `resourceSpans`: expected an array, found integer `5`"));
}
