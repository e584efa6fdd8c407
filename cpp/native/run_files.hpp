#pragma once
// Runs given as .agentlog files: read and parsed in C++, without the
// interpreter lock, so that their records never become Python objects.
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "agentlog/record.hpp"

namespace velkin::native {

struct RunFiles {
    size_t run = 0;                  // where the run goes among its side's runs
    std::vector<std::string> paths;  // read in this order into one run
};

// Reads every run's files, one run per thread, `keep` pruning each record as
// it is read. The error of the first run, in the order given, that fails:
// "cannot read PATH: REASON" or "PATH: " and the parser's message, as
// reading the files in Python says them.
std::optional<std::string> read_run_files(const std::vector<RunFiles>& files,
                                          std::vector<std::vector<agentlog::Record>*> runs,
                                          const std::function<void(agentlog::Record&)>& keep, unsigned threads);

}  // namespace velkin::native
