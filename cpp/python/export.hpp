#pragma once
// The system's results as Python objects: the diff report and one axis
// statistic as dicts with fixed key orders, and a decoded record as the dict
// parse_agentlog returns.
#include <array>

#include "agentlog/record.hpp"
#include "diff/report.hpp"
#include "python/refs.hpp"

namespace velkin::python {

// Failing to create a Python object here is an internal fault (velkin::Panic).
Ref export_report(const diff::DiffReport& report);
Ref export_axis_stat(const diff::AxisStat& stat);

// Builds record dicts for one parse: the key and kind strings are made once per builder.
class RecordDicts {
public:
    Ref build(agentlog::BasicRecord<Ref>&& record);

private:
    PyObject* key(agentlog::Field field);
    PyObject* kind(agentlog::Kind kind);

    std::array<Ref, agentlog::FIELD_COUNT> keys_;
    std::array<Ref, agentlog::KIND_COUNT> kinds_;
};

}  // namespace velkin::python
