// The timing modes, their property records, STimeParameter and the
// diagnostics for Python. Mode methods compute and take no lock, so they keep
// the GIL. A record reached through a mode (mode.m_Dly) is the mode's own and
// keeps the mode alive.
#include <veltor/Diagnostics.h>
#include <veltor/LogicWarnings.h>
#include <veltor/veltor.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <initializer_list>
#include <stdexcept>
#include <string>
#include <typeinfo>
#include <utility>
#include <vector>

#include "python/src/Bindings.h"

namespace veltor::python {

namespace {

// A record's repr and equality, from its field names; the names also go to
// `_fields` for the Pythonic layer.
template <class Record, class... Options>
void AddFieldMethods(py::class_<Record, Options...>& record,
                     std::initializer_list<const char*> names) {
    std::vector<std::string> fields(names.begin(), names.end());
    py::tuple tuple(fields.size());
    for (std::size_t i = 0; i < fields.size(); ++i) {
        tuple[i] = py::str(fields[i]);
    }
    record.attr("_fields") = tuple;
    const std::string name = py::str(record.attr("__name__"));
    record.def("__repr__", [name, fields](const py::object& self) {
        std::string text = name + "(";
        for (std::size_t i = 0; i < fields.size(); ++i) {
            text += (i == 0 ? "" : ", ") + fields[i] + "=" +
                    py::repr(self.attr(fields[i].c_str())).cast<std::string>();
        }
        return text + ")";
    });
    record.def("__eq__", [fields](const py::object& self, const py::object& other) {
        if (!py::isinstance(other, py::type::of(self))) {
            return false;
        }
        for (const std::string& field : fields) {
            if (!self.attr(field.c_str()).equal(other.attr(field.c_str()))) {
                return false;
            }
        }
        return true;
    });
}

template <class Record>
py::class_<Record> BindRecord(py::module_& module, const char* name, const char* doc) {
    py::class_<Record> record(module, name, doc);
    record.def(py::init<>());
    record.def("__copy__", [](const Record& self) { return Record(self); });
    record.def(
        "__deepcopy__", [](const Record& self, const py::object&) { return Record(self); },
        py::arg("memo"));
    return record;
}

void BindRecords(py::module_& module) {
    auto dly = BindRecord<SDlyProp>(module, "SDlyProp", "Delay and duration in seconds.");
    dly.def_readwrite("bInvert", &SDlyProp::bInvert)
        .def_readwrite("dDelay", &SDlyProp::dDelay)
        .def_readwrite("dDuration", &SDlyProp::dDuration)
        .def_readwrite("bModeBit3", &SDlyProp::bModeBit3);
    AddFieldMethods(dly, {"bInvert", "dDelay", "dDuration", "bModeBit3"});

    auto sweep = BindRecord<SSweepProp>(module, "SSweepProp", "The sweep: on/off and its time.");
    sweep.def_readwrite("bEnable", &SSweepProp::bEnable)
        .def_readwrite("dSweep", &SSweepProp::dSweep);
    AddFieldMethods(sweep, {"bEnable", "dSweep"});

    auto trigger = BindRecord<STriggerProp>(module, "STriggerProp", "Trigger options.");
    trigger.def_readwrite("bOption1", &STriggerProp::bOption1)
        .def_readwrite("bOption2", &STriggerProp::bOption2)
        .def_readwrite("nKind", &STriggerProp::nKind)
        .def_readwrite("nValue", &STriggerProp::nValue)
        .def_readwrite("nValueMode", &STriggerProp::nValueMode)
        .def_readwrite("bValueFlag", &STriggerProp::bValueFlag);
    AddFieldMethods(trigger,
                    {"bOption1", "bOption2", "nKind", "nValue", "nValueMode", "bValueFlag"});

    auto counter = BindRecord<SCounterProp>(module, "SCounterProp", "The counting mode.");
    counter
        .def_property(
            "nMode", [](const SCounterProp& self) { return static_cast<int>(self.nMode); },
            [](SCounterProp& self, int mode) {
                if (mode < 0 || mode > 255) {
                    throw py::value_error("nMode is one byte: 0 to 255, not " +
                                          std::to_string(mode));
                }
                self.nMode = static_cast<unsigned char>(mode);
            })
        .def_readwrite("bOption", &SCounterProp::bOption)
        .def_readwrite("dMeasured", &SCounterProp::dMeasured)
        .def_property(
            "szText",
            [](const SCounterProp& self) {
                return std::string(self.szText, strnlen(self.szText, sizeof(self.szText)));
            },
            [](SCounterProp& self, const std::string& text) {
                if (text.size() >= sizeof(self.szText) || text.find('\0') != std::string::npos) {
                    throw py::value_error("szText holds at most " +
                                          std::to_string(sizeof(self.szText) - 1) +
                                          " bytes and no NUL character");
                }
                std::memset(self.szText, 0, sizeof(self.szText));
                std::memcpy(self.szText, text.data(), text.size());
            })
        .def_readwrite("nSetting", &SCounterProp::nSetting);
    AddFieldMethods(counter, {"nMode", "bOption", "dMeasured", "szText", "nSetting"});

    auto scaling = BindRecord<SScalingProp>(module, "SScalingProp", "Scaling of CUpDown.");
    scaling.def_readwrite("bUseFirst", &SScalingProp::bUseFirst)
        .def_readwrite("nFirst", &SScalingProp::nFirst)
        .def_readwrite("nSecond", &SScalingProp::nSecond);
    AddFieldMethods(scaling, {"bUseFirst", "nFirst", "nSecond"});

    auto averaging =
        BindRecord<SAveragingProp>(module, "SAveragingProp", "Averaging of CDynDelayDurate.");
    averaging.def_readwrite("nAverage", &SAveragingProp::nAverage);
    AddFieldMethods(averaging, {"nAverage"});

    auto validate = BindRecord<SValidateProp>(module, "SValidateProp",
                                              "Delay and duration of CValidate, in seconds.");
    validate.def_readwrite("bInvert", &SValidateProp::bInvert)
        .def_readwrite("dDelay", &SValidateProp::dDelay)
        .def_readwrite("dDuration", &SValidateProp::dDuration)
        .def_readwrite("bModeBit3", &SValidateProp::bModeBit3);
    AddFieldMethods(validate, {"bInvert", "dDelay", "dDuration", "bModeBit3"});

    auto clock = BindRecord<SClockProp>(module, "SClockProp", "The clock output's two times.");
    clock.def_readwrite("dDelay", &SClockProp::dDelay)
        .def_readwrite("dDuration", &SClockProp::dDuration)
        .def_readwrite("bInvert", &SClockProp::bInvert);
    AddFieldMethods(clock, {"dDelay", "dDuration", "bInvert"});

    auto null = BindRecord<SNullProp>(module, "SNullProp", "The flag of CNull.");
    null.def_readwrite("bInvert", &SNullProp::bInvert);
    AddFieldMethods(null, {"bInvert"});
    auto passive = BindRecord<SPassiveProp>(module, "SPassiveProp", "The flag of CPassive.");
    passive.def_readwrite("bInvert", &SPassiveProp::bInvert);
    AddFieldMethods(passive, {"bInvert"});
    auto toggle = BindRecord<SToggleProp>(module, "SToggleProp", "The flag of CToggle.");
    toggle.def_readwrite("bInvert", &SToggleProp::bInvert);
    AddFieldMethods(toggle, {"bInvert"});

    auto general = BindRecord<SGeneral>(
        module, "SGeneral",
        "Clock source of each channel pair (0 200 MHz, 1 3.125 MHz, 2 twice the reference, "
        "3 a sixty-fourth of that), the reference clock and the panel and output flags.");
    general.def_readwrite("nClockAB", &SGeneral::nClockAB)
        .def_readwrite("nClockCD", &SGeneral::nClockCD)
        .def_readwrite("nClockEF", &SGeneral::nClockEF)
        .def_readwrite("nClockGH", &SGeneral::nClockGH)
        .def_readwrite("dRefClockHz", &SGeneral::dRefClockHz)
        .def_readwrite("bLockFP", &SGeneral::bLockFP)
        .def_readwrite("bDisableOutputs", &SGeneral::bDisableOutputs);
    AddFieldMethods(general, {"nClockAB", "nClockCD", "nClockEF", "nClockGH", "dRefClockHz",
                              "bLockFP", "bDisableOutputs"});

    py::class_<STimeParameter> parameter(
        module, "STimeParameter",
        "One time a mode checks, with the interval the instrument accepts at a channel's clock.");
    parameter
        .def_property_readonly("szName",
                               [](const STimeParameter& self) { return std::string(self.szName); })
        .def_readonly("dValue", &STimeParameter::dValue)
        .def_readonly("dMinimum", &STimeParameter::dMinimum)
        .def_readonly("dMaximum", &STimeParameter::dMaximum)
        .def_readonly("nMinimumCounts", &STimeParameter::nMinimumCounts)
        .def_readonly("nMaximumCounts", &STimeParameter::nMaximumCounts)
        .def_readonly("dClockHz", &STimeParameter::dClockHz)
        .def_readonly("bWithin", &STimeParameter::bWithin);
    AddFieldMethods(parameter, {"szName", "dValue", "dMinimum", "dMaximum", "nMinimumCounts",
                                "nMaximumCounts", "dClockHz", "bWithin"});

    py::class_<veltor::RoundedTime> rounded(
        module, "RoundedTime",
        "A time the instrument runs other than as written: whole counts of the channel's clock.");
    rounded
        .def_property_readonly(
            "channel", [](const veltor::RoundedTime& self) { return std::string(1, self.channel); })
        .def_readonly("name", &veltor::RoundedTime::name)
        .def_readonly("written", &veltor::RoundedTime::written)
        .def_readonly("running", &veltor::RoundedTime::running)
        .def_readonly("counts", &veltor::RoundedTime::counts)
        .def_readonly("clockHz", &veltor::RoundedTime::clockHz);
    AddFieldMethods(rounded, {"channel", "name", "written", "running", "counts", "clockHz"});

    py::class_<veltor::LogicWarning> warning(
        module, "LogicWarning", "A place where a logic text may read otherwise than intended.");
    warning.def_readonly("line", &veltor::LogicWarning::line)
        .def_readonly("text", &veltor::LogicWarning::text);
    AddFieldMethods(warning, {"line", "text"});
}

std::pair<double, double> Range(void (CTimingMode::*range)(double*, double*, CVeltor const*, char)
                                    const,
                                const CTimingMode& mode, const CVeltor* device, char channel) {
    double minimum = 0.0;
    double maximum = 0.0;
    (mode.*range)(&minimum, &maximum, device, channel);
    return {minimum, maximum};
}

template <class Mode>
std::pair<double, double> SweepRange(const Mode& mode, const CVeltor* device, char channel) {
    double minimum = 0.0;
    double maximum = 0.0;
    mode.GetSweepRange(&minimum, &maximum, device, channel);
    return {minimum, maximum};
}

std::vector<STimeParameter> TimeParameters(const CTimingMode& mode, const CVeltor* device,
                                           char channel, bool onlyFailing) {
    std::vector<STimeParameter> parameters(4);
    int count = mode.GetTimeParameters(parameters.data(), static_cast<int>(parameters.size()),
                                       device, channel, onlyFailing);
    if (count > static_cast<int>(parameters.size())) {
        parameters.resize(count);
        count = mode.GetTimeParameters(parameters.data(), count, device, channel, onlyFailing);
    }
    parameters.resize(count);
    return parameters;
}

// Copies every record of a mode into another of the same class.
template <class Mode>
bool CopyAs(CTimingMode& target, const CTimingMode& source) {
    auto* to = dynamic_cast<Mode*>(&target);
    const auto* from = dynamic_cast<const Mode*>(&source);
    if (to == nullptr || from == nullptr) {
        return false;
    }
    *to = *from;
    return true;
}

void CopyMode(CTimingMode& target, const CTimingMode& source) {
    if (typeid(target) != typeid(source)) {
        throw py::type_error(std::string("cannot copy a ") + typeid(source).name() + " into a " +
                             typeid(target).name());
    }
    const bool copied = CopyAs<CDelayDurate>(target, source) ||
                        CopyAs<CDynDelayDurate>(target, source) ||
                        CopyAs<CToggle>(target, source) || CopyAs<CCount>(target, source) ||
                        CopyAs<CUpDown>(target, source) || CopyAs<CValidate>(target, source) ||
                        CopyAs<CClock>(target, source) || CopyAs<CPassive>(target, source) ||
                        CopyAs<CNull>(target, source);
    if (!copied) {
        throw py::type_error("not one of the nine timing modes");
    }
}

void BindModeClasses(py::module_& module) {
    const auto device = py::arg("device").none(true);
    const auto channel = py::arg("channel");
    py::class_<CTimingMode>(module, "CTimingMode",
                            "The timing mode a channel runs: times in seconds, their ranges at a "
                            "channel's clock and the set-timing-mode payload.")
        .def(
            "GetDurationRange",
            [](const CTimingMode& self, const CVeltor* on, char letter) {
                return Range(&CTimingMode::GetDurationRange, self, on, letter);
            },
            device, channel, "(minimum, maximum) duration in seconds at the channel's clock.")
        .def(
            "GetDelayRange",
            [](const CTimingMode& self, const CVeltor* on, char letter) {
                return Range(&CTimingMode::GetDelayRange, self, on, letter);
            },
            device, channel, "(minimum, maximum) delay in seconds at the channel's clock.")
        .def("CheckParameters", &CTimingMode::CheckParameters, device, channel)
        .def(
            "MakeCommand",
            [](CTimingMode& self, const CVeltor* on, char letter) {
                std::array<unsigned char, 256> buffer{};
                const long length = self.MakeCommand(buffer.data(), on, letter);
                return py::bytes(reinterpret_cast<const char*>(buffer.data()),
                                 length > 0 ? static_cast<std::size_t>(length) : 0);
            },
            device, channel, "The set-timing-mode payload.")
        .def("GetTimeParameters", &TimeParameters, device, channel, py::arg("only_failing") = false,
             "The times the mode checks now, each with its interval at the channel's clock "
             "(with only_failing, those outside it alone).")
        .def_readwrite("m_nReserved", &CTimingMode::m_nReserved);

    py::class_<CDelayDurate, CTimingMode>(module, "CDelayDurate")
        .def(py::init<>())
        .def("GetSweepRange", &SweepRange<CDelayDurate>, device, channel)
        .def_readwrite("m_Trigger", &CDelayDurate::m_Trigger)
        .def_readwrite("m_Sweep", &CDelayDurate::m_Sweep)
        .def_readwrite("m_Dly", &CDelayDurate::m_Dly);
    py::class_<CDynDelayDurate, CTimingMode>(module, "CDynDelayDurate")
        .def(py::init<>())
        .def("GetSweepRange", &SweepRange<CDynDelayDurate>, device, channel)
        .def_readwrite("m_Sweep", &CDynDelayDurate::m_Sweep)
        .def_readwrite("m_Dly", &CDynDelayDurate::m_Dly)
        .def_readwrite("m_Averaging", &CDynDelayDurate::m_Averaging);
    py::class_<CToggle, CTimingMode>(module, "CToggle")
        .def(py::init<>())
        .def_readwrite("m_Toggle", &CToggle::m_Toggle);
    py::class_<CCount, CTimingMode>(module, "CCount")
        .def(py::init<>())
        .def(
            "ParseQuery",
            [](CCount& self, const py::bytes& buffer, const CVeltor* on, char letter, bool flag) {
                const std::string bytes = buffer;
                std::array<unsigned char, 256> copy{};
                std::memcpy(copy.data(), bytes.data(), std::min(bytes.size(), copy.size()));
                return self.ParseQuery(copy.data(), on, letter, flag);
            },
            py::arg("buffer"), device, channel, py::arg("flag") = false,
            "Decodes a reported count (bytes 6..8 of a payload-shaped buffer) into "
            "m_Counter.dMeasured.")
        .def_readwrite("m_Counter", &CCount::m_Counter);
    py::class_<CUpDown, CTimingMode>(module, "CUpDown")
        .def(py::init<>())
        .def_readwrite("m_Scaling", &CUpDown::m_Scaling)
        .def_readwrite("m_Trigger", &CUpDown::m_Trigger)
        .def_readwrite("m_Dly", &CUpDown::m_Dly);
    py::class_<CValidate, CTimingMode>(module, "CValidate")
        .def(py::init<>())
        .def_readwrite("m_Validate", &CValidate::m_Validate)
        .def_readwrite("m_Trigger", &CValidate::m_Trigger);
    py::class_<CClock, CTimingMode>(module, "CClock")
        .def(py::init<>())
        .def("IsUsingLogic", &CClock::IsUsingLogic)
        .def("Destroy", &CClock::Destroy)
        .def_readwrite("m_Clock", &CClock::m_Clock);
    py::class_<CPassive, CTimingMode>(module, "CPassive")
        .def(py::init<>())
        .def_readwrite("m_Passive", &CPassive::m_Passive);
    py::class_<CNull, CTimingMode>(module, "CNull")
        .def(py::init<>())
        .def_readwrite("m_Null", &CNull::m_Null);

    module.def("FindParameterProblems", &veltor::FindParameterProblems, py::arg("mode"), device,
               channel,
               "One text per reason the mode fails its check at the channel; empty when it "
               "passes.");
    module.def(
        "FindDeviceProblems",
        [](CVeltor& device) {
            const std::vector<veltor::DeviceProblem> problems =
                WithoutGil([&device] { return veltor::FindDeviceProblems(device); });
            py::list out;
            for (const veltor::DeviceProblem& problem : problems) {
                py::object channel = problem.channel == 0
                                         ? py::object(py::none())
                                         : py::object(py::str(std::string(1, problem.channel)));
                out.append(py::make_tuple(channel, problem.logic, problem.text));
            }
            return out;
        },
        py::arg("device"),
        "Everything a whole-device update would refuse, found offline: (channel, is a logic "
        "text, text) for each; the channel is None for the global logic (a logic text) and for "
        "a clock-source code outside 0 to 3 (not one).");
    module.def(
        "FindRoundedTimes",
        [](CVeltor& device) {
            return WithoutGil([&device] { return veltor::FindRoundedTimes(device); });
        },
        py::arg("device"),
        "Each time of the channels' own modes, A to H, that runs other than as written.");
    module.def(
        "FindRoundedTimes",
        [](const CTimingMode& mode, const CVeltor* on, char letter) {
            return veltor::FindRoundedTimes(mode, on, letter);
        },
        py::arg("mode"), device, channel,
        "Each time of the mode that runs other than as written at the channel.");
    module.def("FindLogicWarnings", &veltor::FindLogicWarnings, py::arg("text"),
               "Each assignment that mixes operators of different kinds without parentheses.");
    module.def("DescribeTime", &veltor::DescribeTime, py::arg("parameter"));
    module.def("_copy_mode", &CopyMode, py::arg("target"), py::arg("source"),
               "Copies every record of a mode into another of the same class.");
}

}  // namespace

void BindModes(py::module_& module) {
    BindRecords(module);
    BindModeClasses(module);
}

}  // namespace veltor::python
