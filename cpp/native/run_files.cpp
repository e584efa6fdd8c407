#include "native/run_files.hpp"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <variant>

#include "agentlog/parser.hpp"
#include "compare/parallel.hpp"

namespace velkin::native {

namespace {

// The parser stops at a 1 GiB trace and reads at most 16 MiB + 1 bytes of the
// line that crosses it, so nothing beyond this many bytes can change its result.
constexpr size_t READ_LIMIT = size_t{1073741824} + 16777216 + 1;

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};

std::optional<std::string> read_file(const std::string& path, std::string& bytes) {
    errno = 0;
    std::unique_ptr<std::FILE, FileCloser> file(std::fopen(path.c_str(), "rb"));
    if (!file) return "cannot read " + path + ": " + std::strerror(errno);
    bytes.clear();
    // Sized once: growing by doubling would copy a large run several times over.
    std::error_code unknown;
    if (const std::uintmax_t size = std::filesystem::file_size(path, unknown); !unknown)
        bytes.reserve(static_cast<size_t>(std::min<std::uintmax_t>(size, READ_LIMIT)));
    char buffer[1 << 16];
    while (bytes.size() < READ_LIMIT) {
        size_t wanted = std::min(sizeof buffer, READ_LIMIT - bytes.size());
        size_t got = std::fread(buffer, 1, wanted, file.get());
        bytes.append(buffer, got);
        if (got < wanted) break;
    }
    if (std::ferror(file.get())) return "cannot read " + path + ": " + std::strerror(errno ? errno : EIO);
    return std::nullopt;
}

}  // namespace

std::optional<std::string> read_run_files(const std::vector<RunFiles>& files,
                                          std::vector<std::vector<agentlog::Record>*> runs,
                                          const std::function<void(agentlog::Record&)>& keep, unsigned threads) {
    std::vector<std::optional<std::string>> errors(files.size());
    compare::parallel_for(files.size(), threads, [&](size_t i) {
        std::vector<agentlog::Record>& run = *runs[i];
        std::string bytes;
        for (const std::string& path : files[i].paths) {
            if ((errors[i] = read_file(path, bytes))) return;
            auto parsed = agentlog::parse_records(agentlog::Parser{}, bytes);
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
