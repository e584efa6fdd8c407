#pragma once
// tau-bench result entries ({task_id, trial, reward, traj}): one conversation each.
#include "import/conversations.hpp"
#include "import/import.hpp"
#include "json/value.hpp"

namespace velkin::imports {

void map_tau_bench_entry(const json::Value& entry, Conversations& conversations, Summary& summary);

}  // namespace velkin::imports
