// The _veltor extension module: the SDK's exported classes under their C++
// names, the setup files and the simulated instrument. The package around it
// (python/veltor) adds the Pythonic layer.
#include <pybind11/pybind11.h>

#include <thread>

#include "python/src/Bindings.h"

namespace veltor::python {

namespace {

thread_local int t_CallDepth = 0;

}  // namespace

bool InterpreterUsable() {
#if PY_VERSION_HEX >= 0x030D0000
    return Py_IsInitialized() && !Py_IsFinalizing();
#else
    return Py_IsInitialized() && !_Py_IsFinalizing();
#endif
}

PyCallable::PyCallable(py::object function) : m_Function(std::move(function)) {}

PyCallable::~PyCallable() {
    if (PyGILState_Check()) {
        m_Function = py::object();
    } else if (InterpreterUsable()) {
        py::gil_scoped_acquire gil;
        m_Function = py::object();
    } else {
        // The interpreter is gone or going: its objects are no longer ours to touch.
        m_Function.release();
    }
}

PyCallable::Entered::Entered() {
    ++t_CallDepth;
}

PyCallable::Entered::~Entered() {
    --t_CallDepth;
}

bool PyCallable::InCall() {
    return t_CallDepth > 0;
}

}  // namespace veltor::python

PYBIND11_MODULE(_veltor, module) {
    namespace vp = veltor::python;
    module.doc() =
        "The veltor SDK's exported classes under their C++ names (CVeltor, CChannel, the "
        "timing modes and their records), setup files and the simulated instrument. "
        "The package veltor builds its Pythonic layer on them.";
    vp::BindDevice(module);
    vp::BindModes(module);
    vp::BindSetup(module);
    vp::BindSimulator(module);

    // The Pythonic layer reports a callback's exception the way the
    // library's threads do, and goes on with the other callbacks.
    module.def(
        "_write_unraisable",
        [](const vp::py::object& error, const vp::py::object& context) {
            PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(error.ptr()));
            PyObject* traceback = PyException_GetTraceback(error.ptr());
            Py_INCREF(type);
            Py_INCREF(error.ptr());
            PyErr_Restore(type, error.ptr(), traceback);
            PyErr_WriteUnraisable(context.ptr());
        },
        vp::py::arg("error"), vp::py::arg("context"));
}
