// CSerDev, CVeltor and CChannel for Python.
//
// Four things make the device safe to hold from Python:
// - Every call that may block or take one of the library's locks runs
//   without the GIL (WithoutGil). The library calls Python back (reports, the
//   wire trace) from its own threads, sometimes while it holds its locks; a
//   Python thread that kept the GIL while waiting for such a lock would
//   deadlock with them.
// - The device keeps the Python objects the library borrows: each channel's
//   mode (until replaced or the device is gone) and the callbacks. The GC sees
//   those references, so a callback that refers back to its device does not
//   keep it, its port and its threads alive for good.
// - Tearing a device down first takes the callbacks away and closes the port
//   without the GIL, then lets go of the Python objects with it. The GIL is
//   let go of and taken back in the middle of the object's deallocation, so
//   that happens only on a thread the interpreter's exit never ends; any
//   other thread hands the device to the teardown thread (see DeviceDeleter).
// - The object leaves the GC's lists before its teardown lets go of the GIL,
//   so that a collection on another thread meanwhile does not free it twice.
#include <pthread.h>
#include <signal.h>
#include <veltor/veltor.h>

#include <array>
#if defined(__GLIBCXX__)
#include <cxxabi.h>
#endif
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "device/CChannelImpl.h"
#include "python/src/Bindings.h"

namespace veltor::python {

namespace {

constexpr int kChannels = 8;

// What the wire trace hands on: a copy of the event, valid after the call.
struct TraceRecord {
    CSerDev::TraceEvent::Kind kind;
    std::string bytes;
    long long timeNs;
    std::string status;
};

class PyVeltor : public CVeltor {
public:
    // Touches nothing of Python's: ReleaseLibrary and DropPython (or
    // AbandonPython) came first.
    ~PyVeltor() override = default;

    // Both setters run with the GIL held by the caller. Neither waits for a
    // call of the old callback beyond what the library's setter does: a
    // call still in progress keeps its own reference to the old function.
    void SetListener(const py::object& function) {
        auto holder = function.is_none()
                          ? nullptr
                          : std::make_shared<PyCallable>(function, PyCallable::kMayCut);
        ReportListener listener;
        if (holder) {
            listener = [holder](char channel, unsigned int counts, double seconds,
                                long long timeNs) {
                holder->Call(std::string(1, channel), counts, seconds, timeNs);
            };
        }
        WithoutGil([&] { SetReportListener(std::move(listener)); });
        Replace(m_Listener, std::move(holder));
    }

    void SetTraceFunction(const py::object& function) {
        auto holder = function.is_none()
                          ? nullptr
                          : std::make_shared<PyCallable>(function, PyCallable::kWaitFor);
        TraceListener trace;
        if (holder) {
            trace = [holder](const TraceEvent& event) {
                TraceRecord record{
                    event.kind,
                    std::string(reinterpret_cast<const char*>(event.bytes), event.count),
                    event.timeNs, event.status != nullptr ? event.status : ""};
                holder->Call(std::move(record));
            };
        }
        WithoutGil([&] { SetTrace(std::move(trace)); });
        Replace(m_Trace, std::move(holder));
    }

    void SetReconnectFunction(const py::object& function) {
        auto holder = function.is_none()
                          ? nullptr
                          : std::make_shared<PyCallable>(function, PyCallable::kMayCut);
        ReconnectListener listener;
        if (holder) {
            listener = [holder](ReconnectEvent event) { holder->Call(static_cast<int>(event)); };
        }
        WithoutGil([&] { SetReconnectListener(std::move(listener)); });
        Replace(m_Reconnect, std::move(holder));
    }

    py::object Listener() const { return Function(m_Listener); }
    py::object TraceFunction() const { return Function(m_Trace); }

    // The Python object of the mode channel `index` borrows (GIL held).
    py::object& ModeSlot(int index) { return m_Modes[index]; }

    int Traverse(visitproc visit, void* arg) const {
        if (m_Listener) {
            Py_VISIT(m_Listener->Ptr());
        }
        if (m_Trace) {
            Py_VISIT(m_Trace->Ptr());
        }
        if (m_Reconnect) {
            Py_VISIT(m_Reconnect->Ptr());
        }
        for (const py::object& mode : m_Modes) {
            Py_VISIT(mode.ptr());
        }
        return 0;
    }

    // Breaks the cycles the GC found, on whichever thread collects and with
    // the GIL held throughout: the callbacks let go of their functions (the
    // library goes on calling shells that do nothing). The modes stay until
    // the teardown, since the channels still point at them.
    void Clear() {
        Drop(m_Listener);
        Drop(m_Trace);
        Drop(m_Reconnect);
    }

    // The library's part of the teardown, without the GIL: no callback runs
    // after it, the port is closed and the channels let go of the modes.
    void ReleaseLibrary() {
        SetReportListener(nullptr);
        SetTrace(nullptr);
        SetReconnectListener(nullptr);
        CloseConnection();
        Hold hold(*this);
        for (int i = 0; i < kChannels; ++i) {
            GetChannel(static_cast<char>('A' + i))->SetTimingMode(nullptr);
        }
    }

    // Python's part, with the GIL.
    void DropPython() {
        Drop(m_Listener);
        Drop(m_Trace);
        Drop(m_Reconnect);
        for (py::object& mode : m_Modes) {
            mode = py::object();
        }
    }

    // Python's part once the interpreter exits: its objects are no longer
    // ours to touch.
    void AbandonPython() {
        if (m_Listener) {
            m_Listener->Abandon();
        }
        if (m_Trace) {
            m_Trace->Abandon();
        }
        if (m_Reconnect) {
            m_Reconnect->Abandon();
        }
        for (py::object& mode : m_Modes) {
            mode.release();
        }
    }

private:
    static py::object Function(const std::shared_ptr<PyCallable>& holder) {
        if (!holder || holder->Ptr() == nullptr) {
            return py::none();
        }
        return py::reinterpret_borrow<py::object>(holder->Ptr());
    }

    static void Drop(const std::shared_ptr<PyCallable>& holder) {
        if (holder) {
            holder->Drop();
        }
    }

    static void Replace(std::shared_ptr<PyCallable>& slot, std::shared_ptr<PyCallable> holder) {
        Drop(slot);
        slot = std::move(holder);
    }

    std::shared_ptr<PyCallable> m_Listener;
    std::shared_ptr<PyCallable> m_Trace;
    std::shared_ptr<PyCallable> m_Reconnect;
    std::array<py::object, kChannels> m_Modes;
};

// Tears down the devices that were let go of where the teardown cannot run:
// inside one of the device's own callbacks (whose thread the teardown may
// wait for) or on a thread the interpreter's exit may end (which must not
// let go of the GIL in the middle of a deallocation, see Bindings.h). One
// thread, made when first needed and never joined: the exit does not wait
// for a teardown that waits for a device's lock, and once the interpreter
// exits the thread lets the Python objects be. Its state is never
// destroyed, so that it may outlive the module's static objects.
class Reaper {
public:
    static void Take(PyVeltor* device) {
        static Reaper* reaper = new Reaper;
        reaper->Push(device);
    }

private:
    void Push(PyVeltor* device) {
        {
            std::lock_guard<std::mutex> hold(m_Lock);
            m_Queue.push_back(device);
            if (!m_Started) {
                // The process's signals (Ctrl-C) go to the script's threads,
                // not to this one, which inherits a mask blocking them.
                sigset_t all;
                sigset_t saved;
                sigfillset(&all);
                pthread_sigmask(SIG_SETMASK, &all, &saved);
                try {
                    std::thread([this] { Run(); }).detach();
                    m_Started = true;
                } catch (const std::system_error&) {
                    // No thread now: the device waits for the next attempt.
                }
                pthread_sigmask(SIG_SETMASK, &saved, nullptr);
            }
        }
        m_Queued.notify_one();
    }

    void Run() {
        for (;;) {
            PyVeltor* device = nullptr;
            {
                std::unique_lock<std::mutex> hold(m_Lock);
                m_Queued.wait(hold, [this] { return !m_Queue.empty(); });
                device = m_Queue.front();
                m_Queue.pop_front();
            }
            // Nothing may leave this thread, which would end the process; a
            // device whose teardown fails is given up (its memory lost).
            try {
                device->ReleaseLibrary();
                if (gate::Enter()) {
                    const PyGILState_STATE gil = PyGILState_Ensure();
                    device->DropPython();
                    PyGILState_Release(gil);
                    gate::Leave();
                } else {
                    device->AbandonPython();
                }
                delete device;
#if defined(__GLIBCXX__)
            } catch (abi::__forced_unwind&) {
                throw;
#endif
            } catch (...) {
            }
        }
    }

    std::mutex m_Lock;
    std::condition_variable m_Queued;
    std::deque<PyVeltor*> m_Queue;
    bool m_Started = false;
};

// Deletes a device, with the GIL held, from the deallocation of its Python
// object. The teardown lets go of the GIL while it waits for the device's
// threads and takes it back afterwards: right here only on a thread the
// exit never ends and outside the device's own callbacks; else on the
// Reaper's thread, so that the port is closed shortly after this returns.
struct DeviceDeleter {
    void operator()(CVeltor* device) const {
        // Python makes no other kind of CVeltor.
        auto* own = static_cast<PyVeltor*>(device);
        if (PyCallable::InCall() || MayBeEndedByExit()) {
            Reaper::Take(own);
            return;
        }
        WithoutGil([own] { own->ReleaseLibrary(); });
        own->DropPython();
        delete own;
    }
};

using DeviceHolder = std::unique_ptr<CVeltor, DeviceDeleter>;

PyVeltor& Device(CVeltor& device) {
    return static_cast<PyVeltor&>(device);
}

// The device of a Python object, or null before its __init__ made one. Not
// through a cast: pybind11 gives an instance without a value a fresh raw
// allocation, which a collection during __init__ would then take for a device.
PyVeltor* DeviceOf(PyObject* self) {
    auto* instance = reinterpret_cast<py::detail::instance*>(self);
    py::detail::value_and_holder holder = instance->get_value_and_holder(nullptr, false);
    if (!holder || !holder.holder_constructed()) {
        return nullptr;
    }
    return static_cast<PyVeltor*>(holder.value_ptr<CVeltor>());
}

// A channel's device and letter, which the channel keeps to itself.
struct ChannelAccess {
    static CVeltor* DeviceOf(const CChannel& channel) {
        return CChannel::Impl::Of(channel).Device();
    }
    static int Index(const CChannel& channel) { return CChannel::Impl::Of(channel).Name() - 'A'; }
};

CSerDev& Owner(CVeltor& device) {
    return device;
}

CSerDev& Owner(CChannel& channel) {
    return *ChannelAccess::DeviceOf(channel);
}

// The outcome and message of this thread's last failed command, read under
// the device's lock together with the command: the Pythonic layer need not
// hold the lock around a command (a Python context manager costs more than
// the exchange's own host time) to read its failure and not another
// thread's.
struct Failure {
    CSerDev::Outcome outcome = CSerDev::kNone;
    std::string message;
};
thread_local Failure t_LastFailure;

template <class>
struct ClassOf;
template <class Class>
struct ClassOf<bool (Class::*)()> {
    using Type = Class;
};

// A command, bound as a plain CPython method: it runs without the GIL and
// Ctrl-C on the main thread ends it (see Interruptible). Commands without
// arguments are what a script calls most, and pybind11's general dispatch
// (its argument records, the type look-up of `self`, the conversions) costs
// about a tenth of a whole exchange on a pseudo-terminal; this costs a few
// per cent. The method descriptor has already checked that `self` is an
// instance of the class.
template <auto Method>
PyObject* FastCommand(PyObject* self, PyObject* /*no arguments*/) {
    using Class = typename ClassOf<decltype(Method)>::Type;
    try {
        auto* instance = reinterpret_cast<py::detail::instance*>(self);
        Class* object = instance->simple_layout
                            ? static_cast<Class*>(instance->simple_value_holder[0])
                            : py::handle(self).cast<Class*>();
        if (object == nullptr) {
            PyErr_SetString(PyExc_TypeError, "the object's __init__ was not called");
            return nullptr;
        }
        CSerDev& device = Owner(*object);
        const bool done = Interruptible(device, [object, &device] {
            CSerDev::Hold hold(device);
            const bool ok = (object->*Method)();
            if (!ok) {
                t_LastFailure = Failure{device.GetLastOutcome(), device.GetLastError()};
            }
            return ok;
        });
        return PyBool_FromLong(done ? 1 : 0);
#if defined(__GLIBCXX__)
    } catch (abi::__forced_unwind&) {
        throw;  // the thread is being ended
#endif
    } catch (...) {
        py::detail::translate_exception(std::current_exception());
        return nullptr;
    }
}

constexpr const char* kCommandDoc =
    "Runs the C++ command of this name: True when the instrument acknowledged it; "
    "GetLastError() says why not.";

// Adds a null-terminated table of methods to a bound class. The table stays
// for the life of the process, as the class does.
void AddMethods(const py::handle& type, PyMethodDef* methods) {
    for (PyMethodDef* method = methods; method->ml_name != nullptr; ++method) {
        py::object descriptor = py::reinterpret_steal<py::object>(
            PyDescr_NewMethod(reinterpret_cast<PyTypeObject*>(type.ptr()), method));
        if (!descriptor) {
            throw py::error_already_set();
        }
        py::setattr(type, method->ml_name, descriptor);
    }
}

PyMethodDef g_DeviceCommands[] = {
    {"CmdEnableOutputs", FastCommand<&CVeltor::CmdEnableOutputs>, METH_NOARGS, kCommandDoc},
    {"CmdDisableOutputs", FastCommand<&CVeltor::CmdDisableOutputs>, METH_NOARGS, kCommandDoc},
    {"CmdLockFP", FastCommand<&CVeltor::CmdLockFP>, METH_NOARGS, kCommandDoc},
    {"CmdUnlockFP", FastCommand<&CVeltor::CmdUnlockFP>, METH_NOARGS, kCommandDoc},
    {"CmdResetAll", FastCommand<&CVeltor::CmdResetAll>, METH_NOARGS, kCommandDoc},
    {"CmdSetClock", FastCommand<&CVeltor::CmdSetClock>, METH_NOARGS, kCommandDoc},
    {"CmdSetAllTimingModes", FastCommand<&CVeltor::CmdSetAllTimingModes>, METH_NOARGS, kCommandDoc},
    {"CmdUpdateAll", FastCommand<&CVeltor::CmdUpdateAll>, METH_NOARGS, kCommandDoc},
    {"CmdTransferAllLogic", FastCommand<&CVeltor::CmdTransferAllLogic>, METH_NOARGS, kCommandDoc},
    {"CmdImplementLogic", FastCommand<&CVeltor::CmdImplementLogic>, METH_NOARGS, kCommandDoc},
    {nullptr, nullptr, 0, nullptr}};

PyMethodDef g_ChannelCommands[] = {
    {"CmdEnable", FastCommand<&CChannel::CmdEnable>, METH_NOARGS, kCommandDoc},
    {"CmdDisable", FastCommand<&CChannel::CmdDisable>, METH_NOARGS, kCommandDoc},
    {"CmdForceTrigger", FastCommand<&CChannel::CmdForceTrigger>, METH_NOARGS, kCommandDoc},
    {"CmdReset", FastCommand<&CChannel::CmdReset>, METH_NOARGS, kCommandDoc},
    {"CmdQuery", FastCommand<&CChannel::CmdQuery>, METH_NOARGS, kCommandDoc},
    {"CmdSetTimingMode", FastCommand<&CChannel::CmdSetTimingMode>, METH_NOARGS, kCommandDoc},
    {"CmdTransferLogic", FastCommand<&CChannel::CmdTransferLogic>, METH_NOARGS, kCommandDoc},
    {nullptr, nullptr, 0, nullptr}};

py::object GetTimingMode(CChannel& channel) {
    CTimingMode* mode = WithoutGil([&channel] { return channel.GetTimingMode(); });
    if (mode == nullptr) {
        return py::none();
    }
    py::object& kept =
        Device(*ChannelAccess::DeviceOf(channel)).ModeSlot(ChannelAccess::Index(channel));
    if (kept && kept.cast<CTimingMode*>() == mode) {
        return kept;
    }
    return py::cast(mode, py::return_value_policy::reference);
}

py::object SetTimingMode(CChannel& channel, const py::object& mode) {
    CTimingMode* raw = mode.is_none() ? nullptr : mode.cast<CTimingMode*>();
    PyVeltor& device = Device(*ChannelAccess::DeviceOf(channel));
    py::object& slot = device.ModeSlot(ChannelAccess::Index(channel));
    // The channel's mode and the object that keeps it alive change under
    // the device's lock together, so that two threads setting modes cannot
    // leave the channel on a mode nothing keeps. The lock is let go of by
    // its destructor, also when this thread is ended taking the GIL back.
    std::optional<CSerDev::Hold> hold;
    WithoutGil([&] {
        hold.emplace(device);
        channel.SetTimingMode(raw);
    });
    py::object previous = std::exchange(slot, mode.is_none() ? py::object() : mode);
    hold.reset();
    return previous ? previous : py::none();
}

int TraverseDevice(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    const PyVeltor* device = DeviceOf(self);
    return device != nullptr ? device->Traverse(visit, arg) : 0;
}

int ClearDevice(PyObject* self) {
    if (PyVeltor* device = DeviceOf(self)) {
        device->Clear();
    }
    return 0;
}

void DeallocDevice(PyObject* self) {
    // Out of the GC's lists before the teardown lets go of the GIL.
    PyObject_GC_UnTrack(self);
    py::detail::pybind11_object_dealloc(self);
}

void BindSerDev(py::module_& module) {
    py::class_<CSerDev, std::unique_ptr<CSerDev, py::nodelete>> serdev(
        module, "CSerDev",
        "The serial device's outcomes, baud indices and trace events; CVeltor derives from it.");

    py::enum_<CSerDev::Outcome>(serdev, "Outcome", "How the last attempt of an exchange ended.")
        .value("kNone", CSerDev::kNone)
        .value("kSuccess", CSerDev::kSuccess)
        .value("kNotConnected", CSerDev::kNotConnected)
        .value("kWriteFailed", CSerDev::kWriteFailed)
        .value("kNoAnswer", CSerDev::kNoAnswer)
        .value("kNegative", CSerDev::kNegative)
        .value("kWrongLead", CSerDev::kWrongLead)
        .value("kIncomplete", CSerDev::kIncomplete)
        .value("kBadChecksum", CSerDev::kBadChecksum)
        .value("kPortLost", CSerDev::kPortLost)
        .value("kMismatch", CSerDev::kMismatch)
        .value("kClosed", CSerDev::kClosed)
        .value("kOutOfStep", CSerDev::kOutOfStep)
        .value("kCancelled", CSerDev::kCancelled)
        .export_values();

    // Plain integers, as InitConnection takes them.
    const std::pair<const char*, int> bauds[] = {
        {"kBaud2400", CSerDev::kBaud2400},    {"kBaud4800", CSerDev::kBaud4800},
        {"kBaud9600", CSerDev::kBaud9600},    {"kBaud19200", CSerDev::kBaud19200},
        {"kBaud38400", CSerDev::kBaud38400},  {"kBaud57600", CSerDev::kBaud57600},
        {"kBaud115200", CSerDev::kBaud115200}};
    for (const auto& [name, index] : bauds) {
        serdev.attr(name) = index;
    }
    serdev.def_static("BaudRate", &CSerDev::BaudRate, py::arg("baudIndex"),
                      "Line speed in bit/s of a baud index, 0 for an index that names none.");
    serdev.def_static(
        "DescribeOutcome",
        [](CSerDev::Outcome outcome) { return CSerDev::DescribeOutcome(outcome); },
        py::arg("outcome"), "The outcome in words.");

    py::class_<TraceRecord> trace(serdev, "TraceEvent",
                                  "One event of the wire trace: a request written, an answer read "
                                  "or bytes the instrument sent unasked.");
    py::enum_<CSerDev::TraceEvent::Kind>(trace, "Kind")
        .value("kRequest", CSerDev::TraceEvent::kRequest)
        .value("kAnswer", CSerDev::TraceEvent::kAnswer)
        .value("kUnasked", CSerDev::TraceEvent::kUnasked)
        .export_values();
    trace.def_readonly("kind", &TraceRecord::kind)
        .def_property_readonly("bytes",
                               [](const TraceRecord& record) { return py::bytes(record.bytes); })
        .def_readonly("timeNs", &TraceRecord::timeNs)
        .def_readonly("status", &TraceRecord::status)
        .def("__repr__", [](const TraceRecord& record) {
            return "<TraceEvent " + std::to_string(static_cast<int>(record.kind)) + " " +
                   std::to_string(record.bytes.size()) + " bytes '" + record.status + "'>";
        });
}

void BindVeltor(py::module_& module) {
    py::class_<CVeltor, CSerDev, DeviceHolder> device(
        module, "CVeltor", py::custom_type_setup([](PyHeapTypeObject* heapType) {
            PyTypeObject* type = &heapType->ht_type;
            type->tp_flags |= Py_TPFLAGS_HAVE_GC;
            type->tp_traverse = TraverseDevice;
            type->tp_clear = ClearDevice;
            type->tp_dealloc = DeallocDevice;
        }),
        "One instrument: its connection, eight channels, general properties, global logic and "
        "the device-wide commands. Every method returns as its C++ namesake does; calls that "
        "wait release the GIL. Ctrl-C during a command (a Cmd* method of the device or a "
        "channel) on the main thread ends it at once and raises KeyboardInterrupt: the port "
        "stays open, the interrupted request may or may not have been carried out, and the "
        "next command gets back in step with the instrument first. Inside a held lock (Lock) "
        "the commands after it may fail as cancelled until the lock is released. A command "
        "that waits for the lock another thread holds is interrupted only once it has it.");
    device.def(py::init([]() -> CVeltor* { return new PyVeltor(); }))
        .def(
            "InitConnection",
            [](CVeltor& self, int port, int baudIndex) {
                return WithoutGil([&] { return self.InitConnection(port, baudIndex); });
            },
            py::arg("port"), py::arg("baudIndex"),
            "Opens port number `port` (1: /dev/ttyS0) and sends the filler burst; 0 on success.")
        .def(
            "InitConnection",
            [](CVeltor& self, const std::string& path, int baudIndex) {
                return WithoutGil([&] { return self.InitConnection(path.c_str(), baudIndex); });
            },
            py::arg("device"), py::arg("baudIndex"),
            "Opens the port at a device path and sends the filler burst; 0 on success.")
        .def("CloseConnection", Released(&CVeltor::CloseConnection))
        .def("IsConnected", Released(&CVeltor::IsConnected))
        .def("Lock", Released(&CVeltor::Lock),
             "Takes the device's lock (recursive); keeps other threads' commands out.")
        .def("Unlock", &CVeltor::Unlock)
        .def("GetLastOutcome", Released(&CVeltor::GetLastOutcome))
        .def("GetLastError", Released(&CVeltor::GetLastError),
             "Why the last command or connection failed; empty after a success.")
        .def("GetClockFrequencyHz", Released(&CVeltor::GetClockFrequencyHz), py::arg("channel"))
        .def("GetPropA", &CVeltor::GetPropA, py::return_value_policy::reference_internal,
             "The general properties (the device's own record, kept alive with the device).")
        .def("GetChannel", &CVeltor::GetChannel, py::arg("letter"),
             py::return_value_policy::reference_internal,
             "Channel 'A'..'H' (kept alive with the device); None for another letter.")
        .def("SetGlobalLogic", Released(&CVeltor::SetGlobalLogic), py::arg("text"))
        .def("GetGlobalLogic", Released(&CVeltor::GetGlobalLogic))
        .def(
            "GetGlobalLogicError",
            [](const CVeltor& self) {
                return WithoutGil([&self] {
                    int line = 0;
                    std::string message = self.GetGlobalLogicError(&line);
                    return std::make_pair(message, line);
                });
            },
            "(message, line) of the latest SetGlobalLogic that failed.")
        .def(
            "SetReportListener",
            [](CVeltor& self, const py::object& listener) { Device(self).SetListener(listener); },
            py::arg("listener").none(true),
            "listener(channel, counts, seconds, timeNs) for every delay report, on the device's "
            "report thread, or None. No call of the old one starts after it returns. From a "
            "thread that holds the device's lock (Lock()) or from the listener itself it returns "
            "at once, and a call of the old one in progress may still be running (it may be "
            "waiting for that very lock); from any other thread it returns once none runs.")
        .def(
            "GetReportListener", [](CVeltor& self) { return Device(self).Listener(); },
            "The listener SetReportListener set, or None.")
        .def("GetDroppedReportCount", &CVeltor::GetDroppedReportCount,
             "Reports a listener slower than the reports lost (the oldest waiting first).")
        .def(
            "SetTrace",
            [](CVeltor& self, const py::object& trace) { Device(self).SetTraceFunction(trace); },
            py::arg("trace").none(true),
            "trace(event) for every request, answer and unasked chunk (a CSerDev.TraceEvent), "
            "or None. It runs while the device holds its receive lock: it must not call the "
            "device.")
        .def(
            "GetTrace", [](CVeltor& self) { return Device(self).TraceFunction(); },
            "The function SetTrace set, or None.")
        .def(
            "SetReconnect",
            [](CVeltor& self, bool enabled, unsigned firstMs, unsigned longestMs,
               bool resendUpdate) {
                CVeltor::ReconnectPolicy policy;
                policy.enabled = enabled;
                policy.firstMs = firstMs;
                policy.longestMs = longestMs;
                policy.resendUpdate = resendUpdate;
                self.SetReconnect(policy);
            },
            py::arg("enabled") = true, py::arg("firstMs") = 100, py::arg("longestMs") = 5000,
            py::arg("resendUpdate") = false,
            "Opens a lost line again by the same name, first after firstMs, the wait doubling up "
            "to longestMs; resendUpdate sends the last CmdUpdateAll that succeeded again once "
            "back. CloseConnection ends the tries.")
        .def(
            "SetReconnectListener",
            [](CVeltor& self, const py::object& listener) {
                Device(self).SetReconnectFunction(listener);
            },
            py::arg("listener").none(true),
            "listener(event) on the device's reconnecting thread: 0 lost, 1 back, 2 update "
            "resent, 3 update failed; or None. Waits like SetReportListener.");
    AddMethods(device, g_DeviceCommands);
}

void BindChannel(py::module_& module) {
    py::class_<CChannel, std::unique_ptr<CChannel, py::nodelete>>(
        module, "CChannel",
        "One of the eight channels, from CVeltor.GetChannel; it keeps its device alive.")
        .def("CheckParameters", Released(&CChannel::CheckParameters))
        .def("GetTimingMode", &GetTimingMode, "The channel's own mode, or None on the default.")
        .def("SetTimingMode", &SetTimingMode, py::arg("mode").none(true),
             "Attaches a mode (None: the default) and returns the previous one. The device "
             "keeps the mode alive while it is attached.")
        .def("SetLastDelay", Released(&CChannel::SetLastDelay), py::arg("counts"))
        .def("GetLastDelay", Released(&CChannel::GetLastDelay))
        .def("GetReportCount", Released(&CChannel::GetReportCount))
        .def("SetChannelLogic", Released(&CChannel::SetChannelLogic), py::arg("text"))
        .def("GetChannelLogic", Released(&CChannel::GetChannelLogic))
        .def("CheckLogic", Released(&CChannel::CheckLogic))
        .def("CompileLogic", Released(&CChannel::CompileLogic))
        .def(
            "GetLogicError",
            [](const CChannel& self) {
                return WithoutGil([&self] {
                    int line = 0;
                    std::string message = self.GetLogicError(&line);
                    return std::make_pair(message, line);
                });
            },
            "(message, line) of the last compile or transfer.")
        .def("GetLogicCode", [](const CChannel& self) {
            const std::vector<unsigned char> code =
                WithoutGil([&self] { return self.GetLogicCode(); });
            return py::bytes(reinterpret_cast<const char*>(code.data()), code.size());
        });
    AddMethods(module.attr("CChannel"), g_ChannelCommands);
}

}  // namespace

void BindDevice(py::module_& module) {
    BindSerDev(module);
    BindVeltor(module);
    BindChannel(module);
    module.def(
        "LastCommandFailure",
        [] { return std::make_pair(t_LastFailure.outcome, t_LastFailure.message); },
        "(outcome, message) of this thread's last failed Cmd... call, read under the device's "
        "lock together with it.");
}

}  // namespace veltor::python
