// The simulated instrument for Python: _veltor.vsim.Simulator serves a
// vsim::Simulator on a pseudo-terminal until Close(), so that scripts can be
// tried without hardware. Its threads never call Python.
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "python/src/Bindings.h"
#include "sim/Instrument.h"
#include "sim/Simulator.h"

namespace veltor::python {

namespace {

py::bytes Bytes(const std::vector<uint8_t>& bytes) {
    return py::bytes(reinterpret_cast<const char*>(bytes.data()), bytes.size());
}

vsim::FaultKind FaultByName(const std::string& name) {
    std::string known;
    for (int k = static_cast<int>(vsim::FaultKind::None);
         k <= static_cast<int>(vsim::FaultKind::HangUp); ++k) {
        const auto kind = static_cast<vsim::FaultKind>(k);
        if (name == vsim::FaultName(kind)) {
            return kind;
        }
        known += (known.empty() ? "" : ", ") + std::string(vsim::FaultName(kind));
    }
    throw py::value_error("no fault '" + name + "'; known: " + known);
}

vsim::Fault MakeFault(const std::string& name, int delayMs) {
    vsim::Fault fault;
    fault.kind = FaultByName(name);
    fault.delayMs = delayMs;
    return fault;
}

int ChannelIndex(int channel) {
    if (channel < 0 || channel >= vsim::kChannelCount) {
        throw py::index_error("no channel " + std::to_string(channel) + ": channels are 0 to 7");
    }
    return channel;
}

// Owns the simulator so that Close() can end its threads and release the
// pseudo-terminal at a moment the script chooses.
class SimHandle {
public:
    SimHandle() : m_Sim(std::make_unique<vsim::Simulator>()) {}

    vsim::Simulator& Get() {
        if (!m_Sim) {
            throw std::runtime_error("the simulator is closed");
        }
        return *m_Sim;
    }
    void Close() { m_Sim.reset(); }
    bool IsClosed() const { return !m_Sim; }

private:
    std::unique_ptr<vsim::Simulator> m_Sim;
};

void BindState(py::module_& module) {
    py::class_<vsim::ChannelState>(module, "ChannelState",
                                   "One channel as the instrument holds it.")
        .def_readonly("enabled", &vsim::ChannelState::enabled)
        .def_readonly("triggerCount", &vsim::ChannelState::triggerCount)
        .def_readonly("resetCount", &vsim::ChannelState::resetCount)
        .def_readonly("delayCounts", &vsim::ChannelState::delayCounts)
        .def_property_readonly("modePayload",
                               [](const vsim::ChannelState& c) { return Bytes(c.modePayload); })
        .def_readonly("modeCount", &vsim::ChannelState::modeCount)
        .def_readonly("hasMode", &vsim::ChannelState::hasMode)
        .def_readonly("modeCode", &vsim::ChannelState::modeCode)
        .def_readonly("modeByte", &vsim::ChannelState::modeByte)
        .def_readonly("optionByte", &vsim::ChannelState::optionByte)
        .def_readonly("auxByte", &vsim::ChannelState::auxByte)
        .def_readonly("delayCounts1", &vsim::ChannelState::delayCounts1)
        .def_readonly("signedDelay", &vsim::ChannelState::signedDelay)
        .def_readonly("durationCounts", &vsim::ChannelState::durationCounts)
        .def_readonly("triggerValue", &vsim::ChannelState::triggerValue)
        .def_readonly("valueSelector", &vsim::ChannelState::valueSelector)
        .def_readonly("sweepCounts", &vsim::ChannelState::sweepCounts)
        .def_readonly("inverted", &vsim::ChannelState::inverted)
        .def_readonly("modeName", &vsim::ChannelState::modeName)
        .def_readonly("clockHz", &vsim::ChannelState::clockHz)
        .def_readonly("delaySeconds", &vsim::ChannelState::delaySeconds)
        .def_readonly("durationSeconds", &vsim::ChannelState::durationSeconds)
        .def_property_readonly("logicCode",
                               [](const vsim::ChannelState& c) { return Bytes(c.logicCode); })
        .def_readonly("logicLoadCount", &vsim::ChannelState::logicLoadCount)
        .def_readonly("logicWellFormed", &vsim::ChannelState::logicWellFormed)
        .def_property_readonly("activeLogicCode", [](const vsim::ChannelState& c) {
            return Bytes(c.activeLogicCode);
        });

    py::class_<vsim::InstrumentState>(module, "InstrumentState",
                                      "What the instrument holds: a copy taken by State().")
        .def_readonly("outputsEnabled", &vsim::InstrumentState::outputsEnabled)
        .def_readonly("panelLocked", &vsim::InstrumentState::panelLocked)
        .def_readonly("clockFlags", &vsim::InstrumentState::clockFlags)
        .def_readonly("clockSources", &vsim::InstrumentState::clockSources)
        .def_readonly("clockOptionsReceived", &vsim::InstrumentState::clockOptionsReceived)
        .def_readonly("resetAllCount", &vsim::InstrumentState::resetAllCount)
        .def_readonly("implementCount", &vsim::InstrumentState::implementCount)
        .def_readonly("logicImplemented", &vsim::InstrumentState::logicImplemented)
        .def_readonly("referenceHz", &vsim::InstrumentState::referenceHz)
        .def_readonly("requestCount", &vsim::InstrumentState::requestCount)
        .def_readonly("negativeCount", &vsim::InstrumentState::negativeCount)
        .def_property_readonly("ch", [](const vsim::InstrumentState& s) {
            std::vector<vsim::ChannelState> channels(s.ch, s.ch + vsim::kChannelCount);
            return channels;
        });
}

}  // namespace

void BindSimulator(py::module_& parent) {
    py::module_ module = parent.def_submodule(
        "vsim", "The simulated instrument on a pseudo-terminal (see sim/Simulator.h).");
    BindState(module);

    py::class_<SimHandle>(module, "Simulator",
                          "Opens a pseudo-terminal and serves the instrument on it until Close().")
        .def(py::init([] { return WithoutGil([] { return new SimHandle(); }); }))
        .def("Close", Released(&SimHandle::Close), "Stops serving and closes the pseudo-terminal.")
        .def("IsClosed", &SimHandle::IsClosed)
        .def(
            "SlavePath", [](SimHandle& self) { return self.Get().SlavePath(); },
            "The path the host opens as its serial port.")
        .def("State",
             [](SimHandle& self) { return WithoutGil([&self] { return self.Get().State(); }); })
        .def(
            "SetChannelDelay",
            [](SimHandle& self, int channel, uint32_t counts) {
                const int index = ChannelIndex(channel);
                WithoutGil([&] { self.Get().SetChannelDelay(index, counts); });
            },
            py::arg("channel"), py::arg("counts"), "The delay a query of the channel answers.")
        .def(
            "SetReferenceHz",
            [](SimHandle& self, double hz) { WithoutGil([&] { self.Get().SetReferenceHz(hz); }); },
            py::arg("hz"))
        .def(
            "SendDelayReport",
            [](SimHandle& self, int channel, uint32_t counts) {
                const int index = ChannelIndex(channel);
                WithoutGil([&] { self.Get().SendDelayReport(index, counts); });
            },
            py::arg("channel"), py::arg("counts"), "Sends one unasked delay report.")
        .def(
            "SendBytes",
            [](SimHandle& self, const std::string& bytes) {
                std::vector<uint8_t> copy(bytes.begin(), bytes.end());
                WithoutGil([&] { self.Get().SendBytes(copy); });
            },
            py::arg("bytes"))
        .def(
            "StartReportStream",
            [](SimHandle& self, int channel, uint32_t firstCounts, int intervalUs) {
                const int index = channel < 0 ? -1 : ChannelIndex(channel);
                WithoutGil([&] { self.Get().StartReportStream(index, firstCounts, intervalUs); });
            },
            py::arg("channel"), py::arg("firstCounts"), py::arg("intervalUs"),
            "Reports with counts firstCounts, firstCounts + 1, ... every intervalUs; channel -1 "
            "goes round A..H.")
        .def("StopReportStream",
             [](SimHandle& self) {
                 return WithoutGil([&self] { return self.Get().StopReportStream(); });
             })
        .def(
            "HangUp", [](SimHandle& self) { WithoutGil([&self] { self.Get().HangUp(); }); },
            "Closes the line as when a USB adapter is pulled.")
        .def("IsHungUp", [](SimHandle& self) { return self.Get().IsHungUp(); })
        .def(
            "QueueFaults",
            [](SimHandle& self, const std::string& kind, int count, int delayMs) {
                const vsim::Fault fault = MakeFault(kind, delayMs);
                WithoutGil([&] { self.Get().QueueFaults(fault, count); });
            },
            py::arg("kind"), py::arg("count") = 1, py::arg("delayMs") = 0,
            "Faults for the next `count` requests, by name (\"negative\", \"no-answer\", ...).")
        .def("ClearFaults",
             [](SimHandle& self) { WithoutGil([&self] { self.Get().ClearFaults(); }); })
        .def(
            "SetFaultRate",
            [](SimHandle& self, const std::string& kind, double probability, uint32_t seed,
               int delayMs) {
                const vsim::Fault fault = MakeFault(kind, delayMs);
                WithoutGil([&] { self.Get().SetFaultRate(fault, probability, seed); });
            },
            py::arg("kind"), py::arg("probability"), py::arg("seed") = 1, py::arg("delayMs") = 0)
        .def(
            "SetPacing", [](SimHandle& self, bool on) { self.Get().SetPacing(on); }, py::arg("on"))
        .def(
            "SetReadPacing", [](SimHandle& self, bool on) { self.Get().SetReadPacing(on); },
            py::arg("on"))
        .def("LineSpeed", [](SimHandle& self) { return self.Get().LineSpeed(); })
        .def("FrameCount", [](SimHandle& self) { return self.Get().FrameCount(); })
        .def(
            "WaitForFrames",
            [](SimHandle& self, size_t count, int timeoutMs) {
                return WithoutGil([&] { return self.Get().WaitForFrames(count, timeoutMs); });
            },
            py::arg("count"), py::arg("timeoutMs"))
        .def(
            "WaitForRawBytes",
            [](SimHandle& self, size_t count, int timeoutMs) {
                return WithoutGil([&] { return self.Get().WaitForRawBytes(count, timeoutMs); });
            },
            py::arg("count"), py::arg("timeoutMs"))
        .def("ClearLog", [](SimHandle& self) { WithoutGil([&self] { self.Get().ClearLog(); }); })
        .def(
            "Payloads",
            [](SimHandle& self) {
                const std::vector<vsim::Frame> frames =
                    WithoutGil([&self] { return self.Get().Frames(); });
                py::list payloads;
                for (const vsim::Frame& frame : frames) {
                    if (frame.valid) {
                        payloads.append(Bytes(frame.payload));
                    }
                }
                return payloads;
            },
            "The payloads of the valid requests received since the last ClearLog.");

    py::list names;
    for (int k = static_cast<int>(vsim::FaultKind::NoAnswer);
         k <= static_cast<int>(vsim::FaultKind::HangUp); ++k) {
        names.append(vsim::FaultName(static_cast<vsim::FaultKind>(k)));
    }
    module.attr("FAULTS") = py::tuple(names);
}

}  // namespace veltor::python
