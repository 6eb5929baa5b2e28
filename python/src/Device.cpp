// CSerDev, CVeltor and CChannel for Python.
//
// Three things make the device safe to hold from Python:
// - Every call that may block or take one of the library's locks runs
//   without the GIL. The library calls Python back (reports, the wire trace)
//   from its own threads, sometimes while it holds its locks; a Python thread
//   that kept the GIL while waiting for such a lock would deadlock with them.
// - The device keeps the Python objects the library borrows: each channel's
//   mode (until replaced or the device is gone) and the callbacks. The GC sees
//   those references, so a callback that refers back to its device does not
//   keep it, its port and its threads alive for good.
// - Tearing a device down first takes the callbacks away and closes the port
//   without the GIL, then lets go of the Python objects with it.
#include <veltor/veltor.h>

#include <array>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

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

class PyVeltor;

// Every device Python made, for the interpreter's exit (see ReleaseAll).
std::mutex g_DevicesLock;
std::set<PyVeltor*> g_Devices;

class PyVeltor : public CVeltor {
public:
    PyVeltor() {
        std::lock_guard<std::mutex> hold(g_DevicesLock);
        g_Devices.insert(this);
    }

    ~PyVeltor() override {
        {
            std::lock_guard<std::mutex> hold(g_DevicesLock);
            g_Devices.erase(this);
        }
        WithoutGil([this] {
            Silence();
            CloseConnection();
            DetachModes();
        });
        DropPython();
    }

    // Both setters run with the GIL held by the caller.
    void SetListener(const py::object& function) {
        auto holder = function.is_none() ? nullptr : std::make_shared<PyCallable>(function);
        ReportListener listener;
        if (holder) {
            listener = [holder](char channel, unsigned int counts, double seconds,
                                long long timeNs) {
                holder->Call(std::string(1, channel), counts, seconds, timeNs);
            };
        }
        {
            py::gil_scoped_release nogil;
            SetReportListener(std::move(listener));
        }
        // The old one goes here, with the GIL; no call of it is in progress.
        m_Listener = std::move(holder);
    }

    void SetTraceFunction(const py::object& function) {
        auto holder = function.is_none() ? nullptr : std::make_shared<PyCallable>(function);
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
        {
            py::gil_scoped_release nogil;
            SetTrace(std::move(trace));
        }
        m_Trace = std::move(holder);
    }

    py::object Listener() const { return m_Listener ? Borrowed(m_Listener->Ptr()) : py::none(); }
    py::object TraceFunction() const { return m_Trace ? Borrowed(m_Trace->Ptr()) : py::none(); }

    // The Python object of the mode channel `index` borrows (GIL held).
    py::object& ModeSlot(int index) { return m_Modes[index]; }

    int Traverse(visitproc visit, void* arg) const {
        if (m_Listener) {
            Py_VISIT(m_Listener->Ptr());
        }
        if (m_Trace) {
            Py_VISIT(m_Trace->Ptr());
        }
        for (const py::object& mode : m_Modes) {
            Py_VISIT(mode.ptr());
        }
        return 0;
    }

    // Breaks the cycles the GC found: the library lets go of the callbacks
    // and the modes before Python does.
    void Clear() {
        WithoutGil([this] {
            Silence();
            DetachModes();
        });
        DropPython();
    }

    // Takes the callbacks away from the library; returns once none runs.
    void Silence() {
        SetReportListener(nullptr);
        SetTrace(nullptr);
    }

private:
    static py::object Borrowed(PyObject* object) {
        return py::reinterpret_borrow<py::object>(object);
    }

    template <class Work>
    static void WithoutGil(Work work) {
        if (PyGILState_Check()) {
            py::gil_scoped_release nogil;
            work();
        } else {
            work();
        }
    }

    void DetachModes() {
        Hold hold(*this);
        for (int i = 0; i < kChannels; ++i) {
            GetChannel(static_cast<char>('A' + i))->SetTimingMode(nullptr);
        }
    }

    void DropPython() {
        auto drop = [this] {
            m_Listener.reset();
            m_Trace.reset();
            for (py::object& mode : m_Modes) {
                mode = py::object();
            }
        };
        if (PyGILState_Check()) {
            drop();
        } else if (InterpreterUsable()) {
            py::gil_scoped_acquire gil;
            drop();
        } else {
            for (py::object& mode : m_Modes) {
                mode.release();
            }
            // ~PyCallable knows not to touch a finished interpreter.
            m_Listener.reset();
            m_Trace.reset();
        }
    }

    std::shared_ptr<PyCallable> m_Listener;
    std::shared_ptr<PyCallable> m_Trace;
    std::array<py::object, kChannels> m_Modes;
};

// At the interpreter's exit every device still alive stops calling Python
// and closes its port, before the interpreter stops serving other threads.
void ReleaseAll() {
    py::gil_scoped_release nogil;
    std::lock_guard<std::mutex> hold(g_DevicesLock);
    for (PyVeltor* device : g_Devices) {
        device->Silence();
        device->CloseConnection();
    }
}

// Deletes a device. A device let go of inside one of its own callbacks (the
// report thread, the watcher) is deleted on a thread of its own, since its
// teardown waits for that very thread.
struct DeviceDeleter {
    void operator()(CVeltor* device) const {
        if (PyCallable::InCall()) {
            std::thread([device] { delete device; }).detach();
        } else {
            delete device;
        }
    }
};

using DeviceHolder = std::unique_ptr<CVeltor, DeviceDeleter>;

PyVeltor& Device(CVeltor& device) {
    // Python makes no other kind of CVeltor.
    return static_cast<PyVeltor&>(device);
}

PyVeltor* DeviceOf(PyObject* self) {
    try {
        return static_cast<PyVeltor*>(py::cast<CVeltor*>(py::handle(self)));
    } catch (const std::exception&) {
        return nullptr;  // not constructed (yet)
    }
}

// A channel's device and letter, which the channel keeps to itself.
struct ChannelAccess : CChannel {
    static CVeltor* DeviceOf(const CChannel& channel) {
        return channel.*(&ChannelAccess::m_pDevice);
    }
    static int Index(const CChannel& channel) { return channel.*(&ChannelAccess::m_Name) - 'A'; }
};

py::object GetTimingMode(CChannel& channel) {
    CTimingMode* mode = nullptr;
    {
        py::gil_scoped_release nogil;
        mode = channel.GetTimingMode();
    }
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
    py::object previous;
    {
        // The channel's mode and the object that keeps it alive change under
        // the device's lock together, so that two threads setting modes
        // cannot leave the channel on a mode nothing keeps.
        py::gil_scoped_release nogil;
        CSerDev::Hold hold(device);
        channel.SetTimingMode(raw);
        py::gil_scoped_acquire gil;
        previous = std::exchange(slot, mode.is_none() ? py::object() : mode);
    }
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
    const auto noGil = py::call_guard<py::gil_scoped_release>();
    py::class_<CVeltor, CSerDev, DeviceHolder> device(
        module, "CVeltor", py::custom_type_setup([](PyHeapTypeObject* heapType) {
            PyTypeObject* type = &heapType->ht_type;
            type->tp_flags |= Py_TPFLAGS_HAVE_GC;
            type->tp_traverse = TraverseDevice;
            type->tp_clear = ClearDevice;
        }),
        "One instrument: its connection, eight channels, general properties, global logic and "
        "the device-wide commands. Every method returns as its C++ namesake does; calls that "
        "wait release the GIL.");
    device.def(py::init([]() -> CVeltor* { return new PyVeltor(); }))
        .def(
            "InitConnection",
            [](CVeltor& self, int port, int baudIndex) {
                return self.InitConnection(port, baudIndex);
            },
            py::arg("port"), py::arg("baudIndex"), noGil,
            "Opens port number `port` (1: /dev/ttyS0) and sends the filler burst; 0 on success.")
        .def(
            "InitConnection",
            [](CVeltor& self, const std::string& path, int baudIndex) {
                return self.InitConnection(path.c_str(), baudIndex);
            },
            py::arg("device"), py::arg("baudIndex"), noGil,
            "Opens the port at a device path and sends the filler burst; 0 on success.")
        .def("CloseConnection", &CVeltor::CloseConnection, noGil)
        .def("IsConnected", &CVeltor::IsConnected, noGil)
        .def("Lock", &CVeltor::Lock, noGil,
             "Takes the device's lock (recursive); keeps other threads' commands out.")
        .def("Unlock", &CVeltor::Unlock, noGil)
        .def("GetLastOutcome", &CVeltor::GetLastOutcome, noGil)
        .def("GetLastError", &CVeltor::GetLastError, noGil,
             "Why the last command or connection failed; empty after a success.")
        .def("GetClockFrequencyHz", &CVeltor::GetClockFrequencyHz, py::arg("channel"), noGil)
        .def("GetPropA", &CVeltor::GetPropA, py::return_value_policy::reference_internal,
             "The general properties (the device's own record, kept alive with the device).")
        .def("GetChannel", &CVeltor::GetChannel, py::arg("letter"),
             py::return_value_policy::reference_internal,
             "Channel 'A'..'H' (kept alive with the device); None for another letter.")
        .def("SetGlobalLogic", &CVeltor::SetGlobalLogic, py::arg("text"), noGil)
        .def("GetGlobalLogic", &CVeltor::GetGlobalLogic, noGil)
        .def(
            "GetGlobalLogicError",
            [](const CVeltor& self) {
                int line = 0;
                std::string message = self.GetGlobalLogicError(&line);
                return std::make_pair(message, line);
            },
            noGil, "(message, line) of the latest SetGlobalLogic that failed.")
        .def("CmdEnableOutputs", &CVeltor::CmdEnableOutputs, noGil)
        .def("CmdDisableOutputs", &CVeltor::CmdDisableOutputs, noGil)
        .def("CmdLockFP", &CVeltor::CmdLockFP, noGil)
        .def("CmdUnlockFP", &CVeltor::CmdUnlockFP, noGil)
        .def("CmdResetAll", &CVeltor::CmdResetAll, noGil)
        .def("CmdSetClock", &CVeltor::CmdSetClock, noGil)
        .def("CmdSetAllTimingModes", &CVeltor::CmdSetAllTimingModes, noGil)
        .def("CmdUpdateAll", &CVeltor::CmdUpdateAll, noGil)
        .def("CmdTransferAllLogic", &CVeltor::CmdTransferAllLogic, noGil)
        .def("CmdImplementLogic", &CVeltor::CmdImplementLogic, noGil)
        .def(
            "SetReportListener",
            [](CVeltor& self, const py::object& listener) { Device(self).SetListener(listener); },
            py::arg("listener").none(true),
            "listener(channel, counts, seconds, timeNs) for every delay report, on the device's "
            "report thread, or None. Returns once no call of the old one runs.")
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
            "The function SetTrace set, or None.");

    py::module_::import("atexit").attr("register")(py::cpp_function(&ReleaseAll));
}

void BindChannel(py::module_& module) {
    const auto noGil = py::call_guard<py::gil_scoped_release>();
    py::class_<CChannel, std::unique_ptr<CChannel, py::nodelete>>(
        module, "CChannel",
        "One of the eight channels, from CVeltor.GetChannel; it keeps its device alive.")
        .def("CmdEnable", &CChannel::CmdEnable, noGil)
        .def("CmdDisable", &CChannel::CmdDisable, noGil)
        .def("CmdForceTrigger", &CChannel::CmdForceTrigger, noGil)
        .def("CmdReset", &CChannel::CmdReset, noGil)
        .def("CmdQuery", &CChannel::CmdQuery, noGil)
        .def("CmdSetTimingMode", &CChannel::CmdSetTimingMode, noGil)
        .def("CmdTransferLogic", &CChannel::CmdTransferLogic, noGil)
        .def("CheckParameters", &CChannel::CheckParameters, noGil)
        .def("GetTimingMode", &GetTimingMode, "The channel's own mode, or None on the default.")
        .def("SetTimingMode", &SetTimingMode, py::arg("mode").none(true),
             "Attaches a mode (None: the default) and returns the previous one. The device "
             "keeps the mode alive while it is attached.")
        .def("SetLastDelay", &CChannel::SetLastDelay, py::arg("counts"), noGil)
        .def("GetLastDelay", &CChannel::GetLastDelay, noGil)
        .def("GetReportCount", &CChannel::GetReportCount, noGil)
        .def("SetChannelLogic", &CChannel::SetChannelLogic, py::arg("text"), noGil)
        .def("GetChannelLogic", &CChannel::GetChannelLogic, noGil)
        .def("CheckLogic", &CChannel::CheckLogic, noGil)
        .def("CompileLogic", &CChannel::CompileLogic, noGil)
        .def(
            "GetLogicError",
            [](const CChannel& self) {
                int line = 0;
                std::string message = self.GetLogicError(&line);
                return std::make_pair(message, line);
            },
            noGil, "(message, line) of the last compile or transfer.")
        .def("GetLogicCode", [](const CChannel& self) {
            std::vector<unsigned char> code;
            {
                py::gil_scoped_release nogil;
                code = self.GetLogicCode();
            }
            return py::bytes(reinterpret_cast<const char*>(code.data()), code.size());
        });
}

}  // namespace

void BindDevice(py::module_& module) {
    BindSerDev(module);
    BindVeltor(module);
    BindChannel(module);
}

}  // namespace veltor::python
