#include "tango/Device.h"

#include <strings.h>
#include <veltor/Diagnostics.h>

#include <cmath>
#include <cstring>

#include "setup/Fields.h"
#include "setup/Modes.h"
#include "tango/Options.h"

namespace veltor::tango {

namespace {

// The time a field names in the mode's own record; null for a mode without
// it. The names are those of the library's checks (STimeParameter::szName).
double* TimeOf(CTimingMode* mode, ChannelField field) {
    const bool delay = field == ChannelField::kDelay;
    if (auto* m = dynamic_cast<CDelayDurate*>(mode)) {
        return delay ? &m->m_Dly.dDelay : &m->m_Dly.dDuration;
    }
    if (auto* m = dynamic_cast<CDynDelayDurate*>(mode)) {
        return delay ? &m->m_Dly.dDelay : &m->m_Dly.dDuration;
    }
    if (auto* m = dynamic_cast<CUpDown*>(mode)) {
        return delay ? &m->m_Dly.dDelay : &m->m_Dly.dDuration;
    }
    if (auto* m = dynamic_cast<CValidate*>(mode)) {
        return delay ? &m->m_Validate.dDelay : &m->m_Validate.dDuration;
    }
    if (auto* m = dynamic_cast<CClock*>(mode)) {
        return delay ? &m->m_Clock.dDelay : &m->m_Clock.dDuration;
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
    return channel * 7 + static_cast<int>(field);
}

}  // namespace

Device::Device(Tango::DeviceClass* deviceClass, std::string& name)
    : Tango::Device_5Impl(deviceClass, name) {
    init_device();
}

Device::~Device() {
    delete_device();
}

void Device::init_device() {
    ReadProperties();
    m_Setup = veltor::setup::Setup();
    m_bLineLost = false;
    SetFault("");
    m_Instrument = std::make_unique<CVeltor>();
    m_Pusher = std::make_unique<EventPusher>(
        *this, [this](char channel, double seconds) { PushLastDelay(channel, seconds); });
    EventPusher* pusher = m_Pusher.get();
    m_Instrument->SetReportListener([pusher](char channel, unsigned, double seconds, long long) {
        pusher->Post(channel, seconds);
    });
    m_Instrument->SetReconnectListener([this](CVeltor::ReconnectEvent event) {
        if (event == CVeltor::kLineLost) {
            m_bLineLost = true;
        } else if (event == CVeltor::kLineBack) {
            m_bLineLost = false;
            SetFault("");
        }
    });
    if (m_bReconnect) {
        CVeltor::ReconnectPolicy policy;
        // An instrument switched off meanwhile lost its configuration.
        policy.resendUpdate = true;
        m_Instrument->SetReconnect(policy);
    }
    Connect();
}

void Device::delete_device() {
    if (m_Instrument) {
        // Neither listener ever waits for the monitor held here, so these
        // return as soon as a call in progress ends.
        m_Instrument->SetReportListener(nullptr);
        m_Instrument->SetReconnectListener(nullptr);
    }
    m_Pusher.reset();
    m_Instrument.reset();
}

void Device::ReadProperties() {
    const Options& options = CommandLineOptions();
    m_Port = options.port;
    m_Baud = options.baud;
    m_bReconnect = options.reconnect;
    if (!Tango::Util::instance()->_UseDb) {
        return;
    }
    Tango::DbData data;
    data.push_back(Tango::DbDatum("Port"));
    data.push_back(Tango::DbDatum("Baud"));
    data.push_back(Tango::DbDatum("Reconnect"));
    get_db_device()->get_property(data);
    if (!data[0].is_empty()) {
        data[0] >> m_Port;
    }
    if (!data[1].is_empty()) {
        Tango::DevLong baud = 0;
        data[1] >> baud;
        m_Baud = baud;
    }
    if (!data[2].is_empty()) {
        data[2] >> m_bReconnect;
    }
}

void Device::Connect() {
    if (m_Port.empty()) {
        SetFault("no port: set the device property Port (or --port without a database)");
        return;
    }
    int baudIndex = -1;
    for (int index = CSerDev::kBaud2400; index <= CSerDev::kBaud115200; ++index) {
        if (CSerDev::BaudRate(index) == m_Baud) {
            baudIndex = index;
        }
    }
    if (baudIndex < 0) {
        SetFault("Baud " + std::to_string(m_Baud) + " bit/s: the instrument takes 2400 to 115200");
        return;
    }
    if (m_Instrument->InitConnection(m_Port.c_str(), baudIndex) != 0) {
        SetFault(m_Instrument->GetLastError());
    }
}

Tango::DevState Device::dev_state() {
    Tango::DevState state = Tango::ON;
    std::string text = "connected to " + m_Port;
    {
        std::lock_guard<std::mutex> lock(m_FaultMutex);
        if (!m_Fault.empty()) {
            state = Tango::FAULT;
            text = m_Fault;
        }
    }
    if (m_Instrument && m_Instrument->IsConnected()) {
        // A failed command's fault stands until the next command succeeds.
    } else if (m_bReconnect && m_bLineLost) {
        state = Tango::ALARM;
        text = "the line to " + m_Port + " is lost: reconnecting";
    } else if (state != Tango::FAULT) {
        state = Tango::FAULT;
        text = "not connected to " + m_Port;
    }
    set_state(state);
    m_StatusText = text;
    set_status(m_StatusText);
    return state;
}

Tango::ConstDevString Device::dev_status() {
    dev_state();
    return m_StatusText.c_str();
}

CVeltor& Device::Instrument() {
    if (!m_Instrument) {
        Refuse("the device is being initialised", "Device::Instrument");
    }
    return *m_Instrument;
}

CChannel& Device::Channel(const std::string& letter) {
    CChannel* channel = letter.size() == 1 ? Instrument().GetChannel(letter[0]) : nullptr;
    if (channel == nullptr) {
        Refuse("no channel '" + letter + "': give one of A to H", "Device::Channel");
    }
    return *channel;
}

void Device::SetFault(const std::string& text) {
    std::lock_guard<std::mutex> lock(m_FaultMutex);
    m_Fault = text;
}

void Device::Check(bool ok, const char* origin) {
    if (ok) {
        SetFault("");
        return;
    }
    std::string error = Instrument().GetLastError();
    if (error.empty()) {
        error = std::string(origin) + " failed";
    }
    SetFault(error);
    Tango::Except::throw_exception("Veltor_CommandFailed", error, origin);
}

void Device::Refuse(const std::string& description, const char* origin) {
    Tango::Except::throw_exception("Veltor_Refused", description, origin);
}

// ---- Attributes ------------------------------------------------------------

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
        case ChannelField::kEnabled:
            value.flag = ch.GetEnabledState() == 1;
            attribute.set_value(&value.flag);
            return;
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
            CSerDev::Hold hold(instrument);
            Check(on ? ch.CmdEnable() : ch.CmdDisable(), "Device::WriteChannel");
            return;
        }
        case ChannelField::kLogic: {
            Tango::DevString text = nullptr;
            attribute.get_write_value(text);
            CSerDev::Hold hold(instrument);
            const std::string previous = ch.GetChannelLogic();
            if (!ch.SetChannelLogic(text) || !ch.CompileLogic()) {
                // The library keeps a text that fails; the attribute keeps
                // the last one taken.
                const std::string error = ch.CompileLogic() ? "" : ch.GetLogicError();
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
        // Outside the request now: the monitor keeps Init from replacing the
        // instrument while the refusal is worded.
        Tango::TangoMonitor& monitor = get_dev_monitor();
        monitor.get_monitor();
        for (CORBA::ULong i = 0; i < failed.errors.length(); ++i) {
            Tango::NamedDevError& error = failed.errors[i];
            const CORBA::Long index = error.index_in_call;
            if (error.err_list.length() == 0 ||
                std::strcmp(error.err_list[0].reason.in(), Tango::API_WAttrOutsideLimit) != 0 ||
                index < 0 || static_cast<CORBA::ULong>(index) >= values.length() ||
                values[index].value._d() != Tango::ATT_DOUBLE ||
                values[index].value.double_att_value().length() != 1) {
                continue;
            }
            const std::string name = error.name.in();
            for (int channel = 0; channel < 8 && m_Instrument; ++channel) {
                for (const ChannelField field : {ChannelField::kDelay, ChannelField::kDuration}) {
                    const auto& row = kChannelAttributes[static_cast<int>(field)];
                    if (::strcasecmp(name.c_str(),
                                     ChannelAttributeName(channel, row.name).c_str()) == 0) {
                        const std::string refusal =
                            TimeRefusal(channel, field, values[index].value.double_att_value()[0]);
                        if (!refusal.empty()) {
                            error.err_list[0].desc = CORBA::string_dup(refusal.c_str());
                        }
                    }
                }
            }
        }
        monitor.rel_monitor();
        throw;
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
        if (!instrument.SetGlobalLogic(text)) {
            Refuse("global logic: " + instrument.GetGlobalLogicError(), "Device::WriteDevice");
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

// ---- Commands --------------------------------------------------------------

void Device::UpdateAll() {
    CVeltor& instrument = Instrument();
    CSerDev::Hold hold(instrument);
    // Nothing is sent when any part would be refused: an update that stops
    // halfway leaves the outputs off and the panel locked.
    std::string problems;
    for (const DeviceProblem& problem : FindDeviceProblems(instrument)) {
        std::string where = problem.channel != 0
                                ? std::string("channel ") + problem.channel
                                : std::string(problem.logic ? "global logic" : "clocks");
        problems += (problems.empty() ? "" : "; ") + where + ": " + problem.text;
    }
    if (!problems.empty()) {
        Refuse(problems + " (nothing sent)", "Device::UpdateAll");
    }
    Check(instrument.CmdUpdateAll(), "Device::UpdateAll");
}

std::vector<std::string> Device::CheckSetup(const std::string& json) {
    try {
        veltor::setup::Setup setup = veltor::setup::Parse(json);
        return veltor::setup::Check(setup);
    } catch (const veltor::setup::Error& error) {
        return {error.what()};
    }
}

void Device::ApplySetup(const std::string& json) {
    veltor::setup::Setup setup;
    std::vector<std::string> problems;
    try {
        setup = veltor::setup::Parse(json);
        problems = veltor::setup::Check(setup);
    } catch (const veltor::setup::Error& error) {
        problems.push_back(error.what());
    }
    if (!problems.empty()) {
        std::string text;
        for (const std::string& problem : problems) {
            text += (text.empty() ? "" : "; ") + problem;
        }
        Refuse(text + " (nothing sent)", "Device::ApplySetup");
    }
    CVeltor& instrument = Instrument();
    CSerDev::Hold hold(instrument);
    // The old modes go only once Apply has given every channel a new one.
    veltor::setup::Setup previous = std::move(m_Setup);
    m_Setup = std::move(setup);
    const bool applied = veltor::setup::Apply(m_Setup, instrument);
    RefreshAllRanges();
    Check(applied, "Device::ApplySetup");
}

std::string Device::ExportSetup() {
    CVeltor& instrument = Instrument();
    CSerDev::Hold hold(instrument);
    return veltor::setup::Format(veltor::setup::Capture(instrument));
}

double Device::Query(const std::string& letter) {
    CChannel& channel = Channel(letter);
    CSerDev::Hold hold(Instrument());
    Check(channel.CmdQuery(), "Device::Query");
    return channel.GetLastDelay();
}

void Device::RunChannel(const std::string& letter, bool (CChannel::*command)()) {
    CChannel& channel = Channel(letter);
    CSerDev::Hold hold(Instrument());
    Check((channel.*command)(), "Device::RunChannel");
}

void Device::ResetAll() {
    CSerDev::Hold hold(Instrument());
    Check(Instrument().CmdResetAll(), "Device::ResetAll");
}

}  // namespace veltor::tango
