#pragma once
// Python arguments into the system's own values: JSON values, record lists
// and the pricing table. Errors are values carrying the message the caller
// sees; only the pricing dict modified while it is read is a fault (velkin::Panic).
#include <bitset>
#include <vector>

#include "agentlog/record.hpp"
#include "diff/cost.hpp"
#include "diff/report_side.hpp"
#include "json/value.hpp"
#include "platform/result.hpp"
#include "python/refs.hpp"

namespace velkin::python {

Result<json::Value> to_json(PyObject* object);

// Converted as a whole, then decoded: a conversion error wins over a decode error.
Result<agentlog::Record> to_record(PyObject* element);

// The parts of a record a reader keeps. The rest is checked exactly as if it
// were built, so that bad input fails with the same message, but not copied:
// the version and time stamp (and the parent unless kept) decode as empty
// texts, and a payload not kept as null. A chat_response keeps of its payload
// what diff::retain_report_members keeps.
struct RecordParts {
    bool parent = true;
    std::bitset<agentlog::KIND_COUNT> whole_payloads;  // by kind
};
Result<agentlog::Record> to_record(PyObject* element, const RecordParts& parts);

// For a chat_response read before as `known` but for its payload: its payload
// as to_record(element, parts) reads it, set into `known`, when the element is
// a plain record (built of exact dicts with str keys, lists, tuples, strs, ints,
// floats, bools and None) that converts without failing and whose kind, id,
// parent and meta read exactly as in `known`. False, `known` untouched and
// nothing raised otherwise: to_record then reads the element as always.
bool read_response_payload(PyObject* element, agentlog::Record& known, const RecordParts& parts);

// Each element converted and decoded as a Record; the first failure wins.
Result<std::vector<agentlog::Record>> pylist_to_records(PyObject* list);
// The same, read as one side of a diff report: each record built no further
// than the report reads it, its response viewed and the record let go.
Result<diff::ReportSide> pylist_to_report_side(PyObject* list);

// Whether every key of `dict` is an exact str: only then may a key's text stand for the key, since
// a str subclass brings its own equality.
bool has_only_exact_str_keys(PyObject* dict);

// `pricing` is null, None or a dict.
Result<diff::PricingTable> read_pricing(PyObject* pricing);

}  // namespace velkin::python
