#pragma once
// tau-bench result entries ({task_id, trial, reward, traj}): one conversation each.
#include <string>

#include "import/conversations.hpp"
#include "import/import.hpp"
#include "json/value.hpp"

namespace velkin::imports {

// `origin` says where the entry is in its input ("results.json:12"), for messages.
void map_tau_bench_entry(const json::Value& entry, std::string origin, Conversations& conversations, Summary& summary);

}  // namespace velkin::imports
