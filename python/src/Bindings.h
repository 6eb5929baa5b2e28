// The pieces of the _veltor extension module, and what they share: the
// Python callables the library's threads call, and the guard that keeps the
// interpreter's shutdown out of their way.
#pragma once

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

namespace veltor::python {

namespace py = pybind11;

void BindDevice(py::module_& module);
void BindModes(py::module_& module);
void BindSetup(py::module_& module);
void BindSimulator(py::module_& module);

// True while a thread that does not hold the GIL may still take it: the
// interpreter runs and is not shutting down (a thread that takes the GIL
// then is ended on the spot, in the middle of the library's code).
bool InterpreterUsable();

// A Python callable held by the library (a report listener, a wire trace).
// The library's threads call it and may hold the last copy of it, so each
// call takes the GIL and so does letting go of it. A call that raises is
// reported through sys.unraisablehook and the thread carries on.
class PyCallable {
public:
    explicit PyCallable(py::object function);
    ~PyCallable();
    PyCallable(const PyCallable&) = delete;
    PyCallable& operator=(const PyCallable&) = delete;

    template <class... Args>
    void Call(Args&&... args) const {
        if (!InterpreterUsable()) {
            return;
        }
        py::gil_scoped_acquire gil;
        Entered entered;
        try {
            m_Function(std::forward<Args>(args)...);
        } catch (py::error_already_set& error) {
            error.discard_as_unraisable(m_Function);
        } catch (const std::exception& error) {
            PyErr_SetString(PyExc_RuntimeError, error.what());
            PyErr_WriteUnraisable(m_Function.ptr());
        }
    }
    PyObject* Ptr() const { return m_Function.ptr(); }

    // Whether this thread is inside such a call now: a device the call lets
    // go of must then not be torn down on this thread, which may be the one
    // the teardown waits for.
    static bool InCall();

private:
    class Entered {
    public:
        Entered();
        ~Entered();
        Entered(const Entered&) = delete;
        Entered& operator=(const Entered&) = delete;
    };

    py::object m_Function;
};

}  // namespace veltor::python
