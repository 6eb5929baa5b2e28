// The pieces of the _veltor extension module, and what they share: the way
// a call lets go of the GIL and takes it back, the Python callables the
// library's threads call, and the gate that keeps those threads out of an
// interpreter that is exiting.
//
// Why the GIL is never taken back in a destructor: when the interpreter
// exits, every thread but the exiting one that tries to take the GIL is
// ended on the spot (pthread_exit, which unwinds the thread's stack as a
// forced unwind). An unwind that reaches a noexcept frame, such as a
// destructor, ends the whole process (std::terminate). So the GIL is taken
// back in ordinary calls (WithoutGil), where such an unwind passes through,
// and a thread being ended this way never touches a Python object on its
// way out.
#pragma once

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>
#include <veltor/CSerDev.h>

#include <atomic>
#include <exception>
#include <type_traits>
#include <utility>

#if defined(__GLIBCXX__)
#include <cxxabi.h>
#endif

namespace veltor::python {

namespace py = pybind11;

void BindDevice(py::module_& module);
void BindModes(py::module_& module);
void BindSetup(py::module_& module);
void BindSimulator(py::module_& module);
void BindPorts(py::module_& module);

// Runs work() without the GIL and takes the GIL back before it returns or
// rethrows; called with the GIL held. A thread that the interpreter's exit
// ends while it takes the GIL back leaves through here as a forced unwind,
// which is never caught.
template <class Work>
auto WithoutGil(Work&& work) -> std::invoke_result_t<Work&> {
    using Result = std::invoke_result_t<Work&>;
    PyThreadState* state = PyEval_SaveThread();
    try {
        if constexpr (std::is_void_v<Result>) {
            work();
            PyEval_RestoreThread(state);
        } else {
            Result result = work();
            PyEval_RestoreThread(state);
            return result;
        }
#if defined(__GLIBCXX__)
    } catch (abi::__forced_unwind&) {
        throw;  // the thread is being ended: the GIL is not ours to take
#endif
    } catch (...) {
        PyEval_RestoreThread(state);
        throw;
    }
}

// A method or function bound so that it runs without the GIL (see WithoutGil).
template <class Return, class Class, class... Args>
auto Released(Return (Class::*method)(Args...)) {
    return [method](Class& self, Args... args) -> Return {
        return WithoutGil([&]() -> Return { return (self.*method)(std::forward<Args>(args)...); });
    };
}

template <class Return, class Class, class... Args>
auto Released(Return (Class::*method)(Args...) const) {
    return [method](const Class& self, Args... args) -> Return {
        return WithoutGil([&]() -> Return { return (self.*method)(std::forward<Args>(args)...); });
    };
}

template <class Return, class... Args>
auto Released(Return (*function)(Args...)) {
    return [function](Args... args) -> Return {
        return WithoutGil([&]() -> Return { return function(std::forward<Args>(args)...); });
    };
}

// Ctrl-C during a command on the main thread (Interrupt.cpp): the command is
// cancelled and KeyboardInterrupt raised once it returned.
namespace interrupt {
// GIL held, before the command. True on the main thread while Python
// handles SIGINT; `start` then marks the interrupts seen so far. Raises for
// an interrupt that came before the command, which is then not run.
bool Begin(unsigned* start);
// Without the GIL, holding the device's lock, so that a cancel reaches this
// thread's command and no other: the main thread's command runs now...
void Register(CSerDev& device, unsigned start);
// ...and no longer; returns once no cancel of it is in progress.
void Unregister();
// GIL held, after the command: raises what Python's SIGINT handler raises
// (KeyboardInterrupt) for an interrupt that came meanwhile.
void End();
}  // namespace interrupt

// Runs work(), a command of `device`, as WithoutGil does; on the main thread
// Ctrl-C cancels it (CSerDev::CancelCommand) and raises KeyboardInterrupt
// once it returned. The device stays connected; the interrupted request
// may or may not have been carried out, and the next command gets back in
// step first.
template <class Work>
auto Interruptible(CSerDev& device, Work&& work) -> std::invoke_result_t<Work&> {
    unsigned start = 0;
    if (!interrupt::Begin(&start)) {
        return WithoutGil(work);
    }
    struct Registered {
        Registered(CSerDev& device, unsigned start) : hold(device) {
            interrupt::Register(device, start);
        }
        ~Registered() { interrupt::Unregister(); }
        Registered(const Registered&) = delete;
        Registered& operator=(const Registered&) = delete;
        CSerDev::Hold hold;
    };
    auto result = WithoutGil([&] {
        Registered registered(device, start);
        return work();
    });
    interrupt::End();
    return result;
}

// The interpreter's main thread, where Python runs its signal handlers.
unsigned long MainThread();

// Whether the interpreter's exit can end this thread when it takes the GIL:
// false only for the main thread and threads of the threading module that
// are not daemons (the exit waits for those). Called with the GIL held.
bool MayBeEndedByExit();

// The gate every call from the library's threads into Python passes. When
// the interpreter begins to exit (atexit) it closes: no call enters after
// that, and the exit waits for the calls that must not be cut short.
namespace gate {
// Before taking the GIL; false: the interpreter exits, stay out.
bool Enter();
// After the part of the call that the exit waits for.
void Leave();
}  // namespace gate

// A Python callable held by the library (a report listener, a wire trace).
// The library's threads call it and may hold the last copy of it, at any
// moment and without the GIL, so its Python reference is let go explicitly
// with the GIL (Drop) and never by the destructor.
class PyCallable {
public:
    // Whether the interpreter's exit may end a call in progress: a report
    // listener's may (it holds nothing of the library's but what its thread
    // unwinds), a trace's may not (it runs under the device's receive lock,
    // which a thread that never returned would keep for good).
    enum Exit { kMayCut, kWaitFor };

    PyCallable(py::object function, Exit exit);
    // Touches no Python object: Drop or Abandon came first.
    ~PyCallable() = default;
    PyCallable(const PyCallable&) = delete;
    PyCallable& operator=(const PyCallable&) = delete;

    // Any thread without the GIL: calls the function with the arguments, if
    // it is still held and the interpreter is not exiting. A call that
    // raises is reported through sys.unraisablehook and the thread carries on.
    template <class... Args>
    void Call(Args&&... args) const {
        if (m_Dropped.load(std::memory_order_acquire)) {
            return;
        }
        Invoke([&]() -> PyObject* {
            return py::make_tuple(std::forward<Args>(args)...).release().ptr();
        });
    }

    // GIL held: the function, or null once dropped.
    PyObject* Ptr() const { return m_Function; }
    // GIL held: lets go of the function; calls from now on do nothing, and a
    // call in progress keeps its own reference until it returns.
    void Drop();
    // Without the GIL, once the interpreter is gone: forgets the function
    // without touching it.
    void Abandon();

    // Whether this thread is inside such a call now: a device the call lets
    // go of must then not be torn down on this thread, which may be the one
    // the teardown waits for.
    static bool InCall();

private:
    // Builds the arguments: a new tuple, or null with a Python error set.
    using Build = PyObject* (*)(void* context);
    template <class Builder>
    void Invoke(Builder builder) const {
        Run(
            [](void* context) -> PyObject* {
                try {
                    return (*static_cast<Builder*>(context))();
                } catch (py::error_already_set& error) {
                    error.restore();
                } catch (const std::exception& error) {
                    PyErr_SetString(PyExc_RuntimeError, error.what());
                }
                return nullptr;
            },
            &builder);
    }
    void Run(Build build, void* context) const;

    PyObject* m_Function;  // guarded by the GIL
    std::atomic<bool> m_Dropped{false};
    const Exit m_Exit;
};

}  // namespace veltor::python
