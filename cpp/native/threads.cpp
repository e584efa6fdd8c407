#include "native/threads.hpp"

#include <algorithm>
#include <string>

#include "platform/cores.hpp"
#include "python/errors.hpp"

namespace velkin::native {

unsigned thread_count(PyObject* threads) {
    if (!threads || threads == Py_None) return 0;
    if (!PyLong_Check(threads) || PyBool_Check(threads)) {
        PyErr_Format(PyExc_TypeError, "argument 'threads': expected an int or None, got %s", Py_TYPE(threads)->tp_name);
        throw python::PythonErrorSet{};
    }
    int overflow = 0;
    const long long requested = PyLong_AsLongLongAndOverflow(threads, &overflow);
    if (requested == -1 && PyErr_Occurred()) throw python::PythonErrorSet{};
    if (overflow != 0 || requested < 1 || requested > MAX_THREADS) {
        python::throw_value_error("threads must be between 1 and " + std::to_string(MAX_THREADS) +
                                  ", or None for one per core");
    }
    const unsigned cores = platform::usable_cores();
    return static_cast<unsigned>(std::min<long long>(requested, static_cast<long long>(cores) * THREADS_PER_CORE));
}

}  // namespace velkin::native
