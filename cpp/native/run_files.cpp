#include "native/run_files.hpp"

#include <variant>

#include "agentlog/parser.hpp"
#include "compare/parallel.hpp"
#include "platform/file_bytes.hpp"

namespace velkin::native {

namespace {

// The parser stops at a 1 GiB trace and reads at most 16 MiB + 1 bytes of the
// line that crosses it, so nothing beyond this many bytes can change its result.
constexpr size_t READ_LIMIT = size_t{1073741824} + 16777216 + 1;

}  // namespace

std::optional<std::string> read_run_files(const std::vector<RunFiles>& files,
                                          std::vector<std::vector<agentlog::Record>*> runs,
                                          const std::function<void(agentlog::Record&)>& keep, unsigned threads) {
    std::vector<std::optional<std::string>> errors(files.size());
    compare::parallel_for(files.size(), threads, [&](size_t i) {
        std::vector<agentlog::Record>& run = *runs[i];
        for (const std::string& path : files[i].paths) {
            Result<platform::FileBytes> bytes = platform::FileBytes::read(path, READ_LIMIT);
            if (!bytes) {
                errors[i] = bytes.error().message;
                return;
            }
            auto parsed = agentlog::parse_records(agentlog::Parser{}, bytes.value().text());
            if (auto* error = std::get_if<agentlog::ParseError>(&parsed)) {
                errors[i] = path + ": " + error->message();
                return;
            }
            for (agentlog::Record& record : std::get<std::vector<agentlog::Record>>(parsed)) {
                keep(record);
                run.push_back(std::move(record));
            }
        }
    });
    for (std::optional<std::string>& error : errors) {
        if (error) return std::move(error);
    }
    return std::nullopt;
}

}  // namespace velkin::native
