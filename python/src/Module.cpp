// The _veltor extension module: the SDK's exported classes under their C++
// names, the setup files and the simulated instrument. The package around it
// (python/veltor) adds the Pythonic layer.
#include <pybind11/pybind11.h>

#include <condition_variable>
#include <mutex>

#include "python/src/Bindings.h"

namespace veltor::python {

namespace {

thread_local int t_CallDepth = 0;

// Made once and never destroyed: the library's threads may still pass the
// gate while the process runs its exit handlers, after every static object
// of this module is gone.
struct GateState {
    std::mutex lock;
    std::condition_variable idle;
    bool exiting = false;
    int inside = 0;  // calls between Enter and Leave
};

GateState& Gate() {
    static GateState* state = new GateState;
    return *state;
}

unsigned long g_MainThread = 0;

// Registered with atexit when the module is imported, so that it runs
// before the interpreter starts ending other threads: closes the gate and
// waits for the calls already inside it, without the GIL they may need.
void CloseGate() {
    GateState& state = Gate();
    {
        std::lock_guard<std::mutex> hold(state.lock);
        state.exiting = true;
    }
    WithoutGil([&state] {
        std::unique_lock<std::mutex> hold(state.lock);
        state.idle.wait(hold, [&state] { return state.inside == 0; });
    });
}

class Entered {
public:
    Entered() { ++t_CallDepth; }
    ~Entered() { --t_CallDepth; }
    Entered(const Entered&) = delete;
    Entered& operator=(const Entered&) = delete;
};

}  // namespace

namespace gate {

bool Enter() {
    GateState& state = Gate();
    std::lock_guard<std::mutex> hold(state.lock);
    if (state.exiting) {
        return false;
    }
    ++state.inside;
    return true;
}

void Leave() {
    GateState& state = Gate();
    std::lock_guard<std::mutex> hold(state.lock);
    if (--state.inside == 0) {
        state.idle.notify_all();
    }
}

}  // namespace gate

unsigned long MainThread() {
    return g_MainThread;
}

bool MayBeEndedByExit() {
    if (PyThread_get_thread_ident() == g_MainThread) {
        return false;
    }
    // threading._active maps the threads it made (and foreign threads it
    // was asked about, as daemons) to their Thread objects. Only lookups in
    // dictionaries: no Python code runs here, in the middle of a
    // deallocation, that could hand the GIL over and take it back.
    PyObject* threading = PyImport_GetModule(py::str("threading").ptr());
    if (threading == nullptr) {
        PyErr_Clear();
        return true;
    }
    bool daemon = true;
    PyObject* active = PyObject_GetAttrString(threading, "_active");
    PyObject* ident = PyLong_FromUnsignedLong(PyThread_get_thread_ident());
    PyObject* thread =
        active != nullptr && ident != nullptr ? PyObject_GetItem(active, ident) : nullptr;
    if (thread != nullptr) {
        PyObject* flag = PyObject_GetAttrString(thread, "_daemonic");  // what .daemon returns
        daemon = flag == nullptr || PyObject_IsTrue(flag) != 0;
        Py_XDECREF(flag);
    }
    PyErr_Clear();
    Py_XDECREF(thread);
    Py_XDECREF(ident);
    Py_XDECREF(active);
    Py_DECREF(threading);
    return daemon;
}

PyCallable::PyCallable(py::object function, Exit exit)
    : m_Function(function.release().ptr()), m_Exit(exit) {}

void PyCallable::Drop() {
    m_Dropped.store(true, std::memory_order_release);
    Py_CLEAR(m_Function);
}

void PyCallable::Abandon() {
    m_Dropped.store(true, std::memory_order_release);
    m_Function = nullptr;
}

void PyCallable::Run(Build build, void* context) const {
    if (!gate::Enter()) {
        return;
    }
    // Until this thread holds the GIL the exit waits for it: a thread that
    // the exit found here could otherwise take the GIL of an interpreter
    // already torn down.
    const PyGILState_STATE gil = PyGILState_Ensure();
    if (m_Exit == kMayCut) {
        gate::Leave();
    }
    // From here to the release nothing on this frame is a Python object with
    // a destructor: when the exit ends this thread inside the call (a
    // listener that let go of the GIL and takes it back), the unwind leaves
    // the references behind instead of touching a finished interpreter.
    PyObject* function = m_Function;
    if (function != nullptr) {
        Py_INCREF(function);
        Entered entered;
        PyObject* args = build(context);
        PyObject* result = args != nullptr ? PyObject_Call(function, args, nullptr) : nullptr;
        Py_XDECREF(args);
        if (result != nullptr) {
            Py_DECREF(result);
        } else {
            PyErr_WriteUnraisable(function);
        }
        Py_DECREF(function);
    }
    PyGILState_Release(gil);
    if (m_Exit == kWaitFor) {
        gate::Leave();
    }
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
    vp::g_MainThread = vp::py::module_::import("threading")
                           .attr("main_thread")()
                           .attr("ident")
                           .cast<unsigned long>();
    vp::BindDevice(module);
    vp::BindModes(module);
    vp::BindSetup(module);
    vp::BindSimulator(module);
    vp::BindPorts(module);
    vp::py::module_::import("atexit").attr("register")(vp::py::cpp_function(&vp::CloseGate));

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
