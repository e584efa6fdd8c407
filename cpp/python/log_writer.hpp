#pragma once
// The body of write_agentlog: every element validated as a record, in list
// order, and written as one compact line.
#include "platform/result.hpp"
#include "python/refs.hpp"

namespace velkin::python {

// The lines of all records as a bytes object, or the message of the first
// element that fails (a conversion error within an element wins over its
// decode error).
Result<Ref> write_record_lines(PyObject* list);

}  // namespace velkin::python
