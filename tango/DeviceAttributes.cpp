// The device's attributes: the channels' and the device-wide tables read
// and written, and the intervals of the times.
#include <strings.h>
#include <veltor/Diagnostics.h>

#include <cmath>
#include <cstring>
#include <iterator>

#include "setup/Fields.h"
#include "setup/Modes.h"
#include "tango/Device.h"
#include "tango/Monitor.h"

namespace veltor::tango {

namespace {

// The delay or the duration in a record of a mode of that class; null for
// a mode of another class.
template <typename Mode, typename Record>
double* TimeIn(CTimingMode* mode, Record Mode::*record, bool delay) {
    auto* own = dynamic_cast<Mode*>(mode);
    if (own == nullptr) {
        return nullptr;
    }
    Record& times = own->*record;
    return delay ? &times.dDelay : &times.dDuration;
}

// The time a field names in the mode's own record; null for a mode without
// it. The names are those of the library's checks (STimeParameter::szName).
double* TimeOf(CTimingMode* mode, ChannelField field) {
    const bool delay = field == ChannelField::kDelay;
    for (double* time :
         {TimeIn(mode, &CDelayDurate::m_Dly, delay), TimeIn(mode, &CDynDelayDurate::m_Dly, delay),
          TimeIn(mode, &CUpDown::m_Dly, delay), TimeIn(mode, &CValidate::m_Validate, delay),
          TimeIn(mode, &CClock::m_Clock, delay)}) {
        if (time != nullptr) {
            return time;
        }
    }
    return nullptr;
}

const char* TimeName(ChannelField field) {
    return field == ChannelField::kDelay ? "delay" : "duration";
}

int* ClockOf(SGeneral& general, DeviceField field) {
    switch (field) {
        case DeviceField::kClockAB:
            return &general.nClockAB;
        case DeviceField::kClockCD:
            return &general.nClockCD;
        case DeviceField::kClockEF:
            return &general.nClockEF;
        default:
            return &general.nClockGH;
    }
}

int Index(int channel, ChannelField field) {
    return channel * static_cast<int>(std::size(kChannelAttributes)) + static_cast<int>(field);
}

}  // namespace

void Device::ReadChannel(int channel, ChannelField field, Tango::Attribute& attribute) {
    CVeltor& instrument = Instrument();
    const char letter = static_cast<char>('A' + channel);
    CChannel& ch = *instrument.GetChannel(letter);
    Value& value = m_Values[Index(channel, field)];
    CSerDev::Hold hold(instrument);
    switch (field) {
        case ChannelField::kMode: {
            CTimingMode* mode = ch.GetTimingMode();
            value.text = mode != nullptr ? veltor::setup::ModeName(*mode) : "null";
            break;
        }
        case ChannelField::kDelay:
        case ChannelField::kDuration: {
            const double* time = TimeOf(ch.GetTimingMode(), field);
            value.number = time != nullptr ? *time : std::nan("");
            attribute.set_value(&value.number);
            if (time == nullptr) {
                attribute.set_quality(Tango::ATTR_INVALID);
            }
            return;
        }
        case ChannelField::kEnabled: {
            // Unknown before the first enable or disable and after one that
            // failed: not the same as disabled.
            const int enabled = ch.GetEnabledState();
            value.flag = enabled == 1;
            attribute.set_value(&value.flag);
            if (enabled < 0) {
                attribute.set_quality(Tango::ATTR_INVALID);
            }
            return;
        }
        case ChannelField::kLogic:
            value.text = ch.GetChannelLogic();
            break;
        case ChannelField::kLastDelay:
            value.number = ch.GetLastDelay();
            attribute.set_value(&value.number);
            return;
        case ChannelField::kReportCount:
            value.count = static_cast<Tango::DevLong64>(ch.GetReportCount());
            attribute.set_value(&value.count);
            return;
    }
    value.textPointer = const_cast<char*>(value.text.c_str());
    attribute.set_value(&value.textPointer);
}

void Device::WriteChannel(int channel, ChannelField field, Tango::WAttribute& attribute) {
    CVeltor& instrument = Instrument();
    const char letter = static_cast<char>('A' + channel);
    const std::string prefix = std::string("channel ") + letter + ": ";
    CChannel& ch = *instrument.GetChannel(letter);
    switch (field) {
        case ChannelField::kMode: {
            Tango::DevString name = nullptr;
            attribute.get_write_value(name);
            std::unique_ptr<CTimingMode> mode = veltor::setup::MakeMode(name);
            if (!mode) {
                Refuse(prefix + "no mode '" + name +
                           "'; known: " + veltor::setup::detail::KnownModes(),
                       "Device::WriteChannel");
            }
            // Under the device's lock: the reconnecting thread may be sending
            // the old mode again.
            CSerDev::Hold hold(instrument);
            ch.SetTimingMode(mode.get());
            m_Setup.channels[channel].mode = std::move(mode);
            RefreshRanges(channel);
            return;
        }
        case ChannelField::kDelay:
        case ChannelField::kDuration: {
            Tango::DevDouble seconds = 0.0;
            attribute.get_write_value(seconds);
            WriteTime(channel, field, seconds);
            return;
        }
        case ChannelField::kEnabled: {
            Tango::DevBoolean on = false;
            attribute.get_write_value(on);
            Check(SetEnabled(channel, on), "Device::WriteChannel");
            return;
        }
        case ChannelField::kLogic: {
            Tango::DevString text = nullptr;
            attribute.get_write_value(text);
            CSerDev::Hold hold(instrument);
            const std::string previous = ch.GetChannelLogic();
            ch.SetChannelLogic(text);
            if (!ch.CompileLogic()) {
                // The library keeps a text that fails; the attribute keeps
                // the last one taken.
                const std::string error = ch.GetLogicError();
                ch.SetChannelLogic(previous.c_str());
                Refuse(prefix + error, "Device::WriteChannel");
            }
            return;
        }
        default:
            return;  // read-only
    }
}

void Device::WriteTime(int channel, ChannelField field, double seconds) {
    CVeltor& instrument = Instrument();
    CSerDev::Hold hold(instrument);
    const std::string refusal = TimeRefusal(channel, field, seconds);
    if (!refusal.empty()) {
        Refuse(refusal, "Device::WriteTime");
    }
    *TimeOf(instrument.GetChannel(static_cast<char>('A' + channel))->GetTimingMode(), field) =
        seconds;
}

std::string Device::TimeRefusal(int channel, ChannelField field, double seconds) {
    CVeltor& instrument = Instrument();
    const char letter = static_cast<char>('A' + channel);
    CSerDev::Hold hold(instrument);
    CTimingMode* mode = instrument.GetChannel(letter)->GetTimingMode();
    const std::string prefix = std::string("channel ") + letter + ": ";
    if (TimeOf(mode, field) == nullptr) {
        return prefix + "mode " + (mode != nullptr ? veltor::setup::ModeName(*mode) : "null") +
               " has no " + TimeName(field);
    }
    // Tried on a copy: the channel's own mode changes only once taken.
    std::unique_ptr<CTimingMode> trial = veltor::setup::CloneMode(*mode);
    if (!trial) {
        return "";  // a mode class of no setup file: the library checks it when sent
    }
    *TimeOf(trial.get(), field) = seconds;
    // Only this time's verdict: another time of the mode may be out of range
    // after a clock change.
    STimeParameter failing[4];
    const int count = trial->GetTimeParameters(failing, 4, &instrument, letter, true);
    for (int i = 0; i < count && i < 4; ++i) {
        if (std::strcmp(failing[i].szName, TimeName(field)) == 0) {
            return prefix + veltor::DescribeTime(failing[i]);
        }
    }
    return "";
}

void Device::RefreshRanges(int channel) {
    CVeltor& instrument = Instrument();
    const char letter = static_cast<char>('A' + channel);
    CSerDev::Hold hold(instrument);
    CTimingMode* mode = instrument.GetChannel(letter)->GetTimingMode();
    STimeParameter times[4];
    const int count = mode != nullptr ? mode->GetTimeParameters(times, 4, &instrument, letter) : 0;
    for (const ChannelField field : {ChannelField::kDelay, ChannelField::kDuration}) {
        for (int i = 0; i < count && i < 4; ++i) {
            if (std::strcmp(times[i].szName, TimeName(field)) != 0 ||
                !std::isfinite(times[i].dMinimum) || !std::isfinite(times[i].dMaximum)) {
                continue;
            }
            const auto& row = kChannelAttributes[static_cast<int>(field)];
            Tango::WAttribute& attribute =
                dev_attr->get_w_attr_by_name(ChannelAttributeName(channel, row.name).c_str());
            // Tango refuses a minimum above the maximum in force, and the
            // other way round: the new interval may lie beyond the old one.
            if (attribute.is_max_value()) {
                Tango::DevDouble maximum = 0.0;
                attribute.get_max_value(maximum);
                if (times[i].dMinimum >= maximum) {
                    attribute.set_max_value(times[i].dMaximum);
                }
            }
            attribute.set_min_value(times[i].dMinimum);
            attribute.set_max_value(times[i].dMaximum);
        }
    }
}

void Device::RefreshAllRanges() {
    for (int channel = 0; channel < 8; ++channel) {
        RefreshRanges(channel);
    }
}

void Device::write_attributes_4(const Tango::AttributeValueList_4& values,
                                const Tango::ClntIdent& client) {
    try {
        Tango::Device_5Impl::write_attributes_4(values, client);
    } catch (Tango::MultiDevFailed& failed) {
        try {
            // Outside the request now: the monitor keeps Init from replacing
            // the instrument while the refusal is worded.
            MonitorHold hold(*this);
            ExplainRefusals(values, failed);
        } catch (const Tango::DevFailed&) {
            // Tango's own words stand.
        }
        throw;
    }
}

void Device::ExplainRefusals(const Tango::AttributeValueList_4& values,
                             Tango::MultiDevFailed& failed) {
    for (CORBA::ULong i = 0; i < failed.errors.length() && m_Instrument; ++i) {
        Tango::NamedDevError& error = failed.errors[i];
        const CORBA::Long index = error.index_in_call;
        if (error.err_list.length() == 0 ||
            std::strcmp(error.err_list[0].reason.in(), Tango::API_WAttrOutsideLimit) != 0 ||
            index < 0 || static_cast<CORBA::ULong>(index) >= values.length() ||
            values[index].value._d() != Tango::ATT_DOUBLE ||
            values[index].value.double_att_value().length() != 1) {
            continue;
        }
        for (int channel = 0; channel < 8; ++channel) {
            for (const ChannelField field : {ChannelField::kDelay, ChannelField::kDuration}) {
                const char* name = kChannelAttributes[static_cast<int>(field)].name;
                if (::strcasecmp(error.name.in(), ChannelAttributeName(channel, name).c_str()) !=
                    0) {
                    continue;
                }
                const std::string refusal =
                    TimeRefusal(channel, field, values[index].value.double_att_value()[0]);
                if (!refusal.empty()) {
                    error.err_list[0].desc = CORBA::string_dup(refusal.c_str());
                }
            }
        }
    }
}

void Device::ReadDevice(DeviceField field, Tango::Attribute& attribute) {
    CVeltor& instrument = Instrument();
    Value& value = m_Values[8 * kChannelFields + static_cast<int>(field)];
    CSerDev::Hold hold(instrument);
    SGeneral& general = *instrument.GetPropA();
    switch (field) {
        case DeviceField::kOutputsEnabled:
            value.flag = !general.bDisableOutputs;
            attribute.set_value(&value.flag);
            return;
        case DeviceField::kPanelLocked:
            value.flag = general.bLockFP;
            attribute.set_value(&value.flag);
            return;
        case DeviceField::kGlobalLogic:
            value.text = instrument.GetGlobalLogic();
            break;
        default: {
            const int code = *ClockOf(general, field);
            const auto& names = veltor::setup::detail::kClockNames;
            value.text = code >= 0 && static_cast<std::size_t>(code) < names.count
                             ? names.names[code]
                             : std::to_string(code);
        }
    }
    value.textPointer = const_cast<char*>(value.text.c_str());
    attribute.set_value(&value.textPointer);
}

void Device::WriteDevice(DeviceField field, Tango::WAttribute& attribute) {
    CVeltor& instrument = Instrument();
    CSerDev::Hold hold(instrument);
    SGeneral& general = *instrument.GetPropA();
    if (field == DeviceField::kOutputsEnabled || field == DeviceField::kPanelLocked) {
        Tango::DevBoolean on = false;
        attribute.get_write_value(on);
        // The general properties follow, so that the next UpdateAll leaves
        // the outputs and the panel as written here.
        if (field == DeviceField::kOutputsEnabled) {
            general.bDisableOutputs = !on;
            Check(on ? instrument.CmdEnableOutputs() : instrument.CmdDisableOutputs(),
                  "Device::WriteDevice");
        } else {
            general.bLockFP = on;
            Check(on ? instrument.CmdLockFP() : instrument.CmdUnlockFP(), "Device::WriteDevice");
        }
        return;
    }
    Tango::DevString text = nullptr;
    attribute.get_write_value(text);
    if (field == DeviceField::kGlobalLogic) {
        const std::string previous = instrument.GetGlobalLogic();
        if (!instrument.SetGlobalLogic(text)) {
            // The library keeps the refused text beside the names in force;
            // the attribute keeps the text of those names.
            const std::string error = instrument.GetGlobalLogicError();
            instrument.SetGlobalLogic(previous.c_str());
            Refuse("global logic: " + error, "Device::WriteDevice");
        }
        return;
    }
    const auto& names = veltor::setup::detail::kClockNames;
    for (std::size_t code = 0; code < names.count; ++code) {
        if (std::strcmp(text, names.names[code]) == 0) {
            *ClockOf(general, field) = static_cast<int>(code);
            const int pair =
                2 * (static_cast<int>(field) - static_cast<int>(DeviceField::kClockAB));
            RefreshRanges(pair);
            RefreshRanges(pair + 1);
            return;
        }
    }
    Refuse(std::string("unknown clock source '") + text +
               "'; known: 200MHz, 3.125MHz, 2xref, 2xref/64",
           "Device::WriteDevice");
}

void Device::PushLastDelay(char channel, double seconds) {
    Tango::DevDouble value = seconds;
    push_change_event(ChannelAttributeName(channel - 'A', "LastDelay"), &value);
}

}  // namespace veltor::tango
