#include "import/import.hpp"

#include <algorithm>
#include <array>
#include <vector>

#include "import/conversations.hpp"
#include "import/documents.hpp"
#include "import/fields.hpp"
#include "import/logs.hpp"
#include "import/otlp.hpp"
#include "import/parallel.hpp"
#include "import/readable.hpp"
#include "import/tau_bench.hpp"

namespace velkin::imports {

namespace {

constexpr std::array<std::pair<Format, std::string_view>, 4> FORMAT_NAMES{{
    {Format::Otlp, "otlp"},
    {Format::OpenAi, "openai"},
    {Format::Anthropic, "anthropic"},
    {Format::TauBench, "tau-bench"},
}};

bool has(const json::Value& object, std::string_view key) { return object.get(key) != nullptr; }

std::optional<Format> format_of_document(const json::Value& document) {
    if (!document.as_object()) return std::nullopt;
    if (has(document, "resourceSpans") || has(document, "resourceLogs")) return Format::Otlp;
    if (has(document, "traj") && has(document, "task_id")) return Format::TauBench;
    const json::Value* request = document.get("request");
    const json::Value* response = document.get("response");
    if (!request || !response || !request->as_object() || !response->as_object()) return std::nullopt;
    const json::Value* type = response->get("type");
    bool anthropic_shape = (type && type->as_string() && (*type->as_string() == "message")) ||
                           has(*response, "stop_reason") || has(*request, "system") ||
                           (has(*request, "max_tokens") && !has(*response, "choices") && !has(*response, "output"));
    if (has(*response, "choices") || has(*response, "output") || has(*request, "input")) return Format::OpenAi;
    if (anthropic_shape) return Format::Anthropic;
    if (has(*request, "messages")) return Format::OpenAi;
    return std::nullopt;
}

// Messages quote names and values from the input; a control character in one must not break the
// message's single line, so it is shown escaped.
std::string one_line(std::string_view text) {
    static constexpr char HEX[] = "0123456789abcdef";
    std::string shown;
    shown.reserve(text.size());
    for (unsigned char c : text) {
        if (c == '\n') {
            shown += "\\n";
        } else if (c == '\r') {
            shown += "\\r";
        } else if (c == '\t') {
            shown += "\\t";
        } else if (c < 0x20 || c == 0x7f) {
            shown += {'\\', 'x', HEX[c >> 4], HEX[c & 15]};
        } else {
            shown += static_cast<char>(c);
        }
    }
    return shown;
}

std::string located(const Input& input, uint64_t line, const std::string& message) {
    return input.name + ":" + std::to_string(line) + ": " + one_line(message);
}

// Large OTLP exports are read on several threads, each over its own run of whole lines.
constexpr size_t BYTES_PER_PART = size_t{4} << 20;

std::vector<std::string_view> line_runs(std::string_view text) {
    size_t count = part_count(text.size(), BYTES_PER_PART);
    std::vector<std::string_view> runs;
    size_t start = 0;
    for (size_t i = 1; i <= count && start < text.size(); ++i) {
        size_t end = i == count ? text.size() : text.find('\n', std::max(start, text.size() * i / count));
        end = end == std::string_view::npos ? text.size() : std::min(end + 1, text.size());
        runs.push_back(text.substr(start, end - start));
        start = end;
    }
    return runs;
}

// Maps an OTLP input into `otlp`; the error names the input's line.
std::optional<Error> map_otlp(const Input& input, OtlpMapper& otlp) {
    Documents whole(input.text);
    otlp.set_input(input.name);
    if (whole.is_array()) {
        std::string_view text;
        try {
            while (whole.next_text(text)) otlp.map(text);
        } catch (const BadInput& bad) {
            return Error{located(input, whole.line(), bad.message)};
        }
        return std::nullopt;
    }
    std::vector<std::string_view> runs = line_runs(input.text);
    std::vector<OtlpMapper> mappers(runs.size());
    for (OtlpMapper& mapper : mappers) mapper.set_input(input.name);
    for (size_t i = 0; i < runs.size(); ++i) mappers[i].reserve(runs[i].size());
    std::vector<std::optional<std::pair<uint64_t, std::string>>> failures(runs.size());
    auto read_run = [&](size_t i) {
        Documents documents(runs[i]);
        std::string_view text;
        try {
            while (documents.next_text(text)) mappers[i].map(text);
        } catch (const BadInput& bad) {
            failures[i].emplace(documents.line(), bad.message);
        }
    };
    run_parts(runs.size(), read_run);
    for (size_t i = 0; i < runs.size(); ++i) {
        if (failures[i]) {
            // Lines are counted only for the message.
            uint64_t lines_before = 0;
            for (size_t j = 0; j < i; ++j)
                lines_before += static_cast<uint64_t>(std::count(runs[j].begin(), runs[j].end(), '\n'));
            return Error{located(input, lines_before + failures[i]->first, failures[i]->second)};
        }
        otlp.absorb(std::move(mappers[i]));
    }
    return std::nullopt;
}

}  // namespace

std::string_view format_name(Format format) {
    for (const auto& [f, name] : FORMAT_NAMES) {
        if (f == format) return name;
    }
    return {};
}

std::optional<Format> format_from_name(std::string_view name) {
    for (const auto& [format, n] : FORMAT_NAMES) {
        if (n == name) return format;
    }
    return std::nullopt;
}

std::string format_names() {
    std::string names;
    for (const auto& [format, name] : FORMAT_NAMES) {
        if (!names.empty()) names += ", ";
        names += name;
    }
    return names;
}

void Warnings::add(std::string message) {
    if (kept.size() < KEPT) kept.push_back(one_line(message));
    ++count;
}

void Warnings::absorb(Warnings&& other) {
    for (std::string& message : other.kept) {
        if (kept.size() < KEPT) kept.push_back(std::move(message));
    }
    count += other.count;
}

size_t Imported::size() const {
    size_t total = 0;
    for (const std::string& piece : pieces) total += piece.size();
    return total;
}

std::string Imported::joined() const {
    std::string text;
    text.reserve(size());
    for (const std::string& piece : pieces) text += piece;
    return text;
}

Result<Format> detect_format(const Input& input) {
    Documents documents(input.text);
    json::Value first;
    try {
        if (!documents.next(first)) return Error{input.name + ": empty input: nothing to import"};
    } catch (const BadInput& bad) {
        return Error{located(input, documents.line(), bad.message)};
    }
    if (std::optional<Format> format = format_of_document(first)) return *format;
    return Error{located(input, documents.line(),
                         "unknown format: expected an OTLP JSON line (resourceSpans or resourceLogs), a tau-bench "
                         "entry ({task_id, traj}) or a {request, response} "
                         "log line of the OpenAI or Anthropic API (name one with --from: " +
                             format_names() + ")")};
}

namespace {

// OTLP, tau-bench and API logs are told apart for sure; OpenAI and Anthropic logs only by their members,
// so between those two the format the user names wins.
bool other_family(Format detected, Format named) {
    auto is_log = [](Format f) { return f == Format::OpenAi || f == Format::Anthropic; };
    return detected != named && !(is_log(detected) && is_log(named));
}

}  // namespace

Result<Imported> import_inputs(std::span<const Input> inputs, std::optional<Format> format) {
    Imported imported;
    const Input* logs_input = nullptr;  // the first OTLP input holding log records
    Conversations conversations;
    OtlpMapper otlp;  // spans and their log events may sit in different inputs
    // A conversation's calls may be logged in several inputs.
    LogMapper openai(Format::OpenAi), anthropic(Format::Anthropic);
    for (const Input& input : inputs) {
        Format input_format;
        if (format) {
            input_format = *format;
            Result<Format> detected = detect_format(input);
            if (detected && other_family(detected.value(), *format))
                return Error{input.name + ": this is " + std::string(format_name(detected.value())) + " input, not " +
                             std::string(format_name(*format)) +
                             ": leave out --from to have it detected, or pass --from " +
                             std::string(format_name(detected.value()))};
        } else {
            Result<Format> detected = detect_format(input);
            if (!detected) return detected.take_error();
            input_format = detected.value();
        }
        imported.summary.formats.push_back(input_format);
        Documents documents(input.text);
        LogMapper& logs = input_format == Format::Anthropic ? anthropic : openai;
        json::Value document;
        if (input_format == Format::Otlp) {
            uint64_t log_records = otlp.log_records();
            if (std::optional<Error> error = map_otlp(input, otlp)) return std::move(*error);
            if (!logs_input && otlp.log_records() > log_records) logs_input = &input;
            continue;
        }
        try {
            while (documents.next(document)) {
                std::string origin = input.name + ":" + std::to_string(documents.line());
                if (input_format == Format::TauBench) {
                    map_tau_bench_entry(document, std::move(origin), conversations, imported.summary);
                } else {
                    logs.map(document, std::move(origin));
                }
            }
        } catch (const BadInput& bad) {
            return Error{located(input, documents.line(), bad.message)};
        }
    }
    if (logs_input && otlp.spans() == 0)
        return Error{logs_input->name +
                     ": an OTLP logs export holds the events of spans, not the spans: import it "
                     "beside its traces export (velkin import TRACES.jsonl " +
                     logs_input->name + " -o OUT.agentlog)"};
    otlp.finish(conversations, imported.summary);
    openai.finish(conversations, imported.summary);
    anthropic.finish(conversations, imported.summary);
    if (std::optional<Error> unreadable = conversations.write(imported.pieces, imported.summary))
        return Error{one_line(unreadable->message)};
    return imported;
}

}  // namespace velkin::imports
