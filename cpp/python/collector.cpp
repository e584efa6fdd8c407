#include "python/collector.hpp"

namespace velkin::python {

#if PY_VERSION_HEX >= 0x030A0000
CollectorPaused::CollectorPaused() : was_enabled_(PyGC_Disable() == 1) {}

CollectorPaused::~CollectorPaused() {
    if (was_enabled_) PyGC_Enable();
}
#else
// Before 3.10 the collector is switched through the gc module; a failure to
// reach it leaves the collector as it is.
CollectorPaused::CollectorPaused() {
    Ref gc = Ref::steal(PyImport_ImportModule("gc"));
    Ref enabled = gc ? Ref::steal(PyObject_CallMethod(gc.get(), "isenabled", nullptr)) : Ref();
    was_enabled_ = enabled && PyObject_IsTrue(enabled.get()) == 1;
    if (was_enabled_) was_enabled_ = static_cast<bool>(Ref::steal(PyObject_CallMethod(gc.get(), "disable", nullptr)));
    PyErr_Clear();
}

CollectorPaused::~CollectorPaused() {
    if (!was_enabled_) return;
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    Ref gc = Ref::steal(PyImport_ImportModule("gc"));
    if (gc) Ref::steal(PyObject_CallMethod(gc.get(), "enable", nullptr));
    PyErr_Clear();
    PyErr_Restore(type, value, traceback);
}
#endif

}  // namespace velkin::python
