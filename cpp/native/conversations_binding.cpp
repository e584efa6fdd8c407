// velkin._native.conversations: the run comparison's grouping of records into
// conversations, so that a report shows the records the comparison compared.
#include <array>
#include <string>
#include <vector>

#include "compare/conversations.hpp"
#include "native/binding.hpp"
#include "native/conversations_binding.hpp"
#include "python/args.hpp"
#include "python/convert.hpp"
#include "python/errors.hpp"
#include "python/result_dict.hpp"

namespace velkin::native {

namespace {

using python::checked;
using python::Ref;

using Dict = python::ResultDict<python::OnFailure::Raise>;

// Grouping reads the id, the parent and the meta of a record; no payload.
std::vector<agentlog::Record> envelopes(PyObject* records) {
    python::require_list(records, "records");
    const python::RecordParts parts;
    std::vector<agentlog::Record> run;
    run.reserve(static_cast<size_t>(PyList_GET_SIZE(records)));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(records); ++i) {
        Result<agentlog::Record> record = python::to_record(PyList_GET_ITEM(records, i), parts);
        if (!record) python::throw_value_error("record " + std::to_string(i + 1) + ": " + record.error().message);
        run.push_back(std::move(record).value());
    }
    return run;
}

Ref conversation_dict(const compare::Conversation& conversation) {
    return Dict()
        .set("id", conversation.id)
        .set("records",
             python::list_of<python::OnFailure::Raise>(
                 conversation.positions, [](size_t position) { return checked(PyLong_FromSize_t(position)); }))
        .take();
}

}  // namespace

PyObject* conversations(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return python::guarded([&] {
        constexpr std::array<const char*, 1> parameters{"records"};
        std::array<PyObject*, 1> bound{};
        python::bind_arguments(python::Signature{"conversations", parameters, 1}, args, nargs, kwnames, bound);
        std::vector<agentlog::Record> run = envelopes(bound[0]);
        std::vector<compare::Conversation> grouped;
        {
            LockReleased unlocked;
            grouped = compare::group_conversations(run);
        }
        return python::list_of<python::OnFailure::Raise>(grouped, conversation_dict).release();
    });
}

}  // namespace velkin::native
