// The device's life, its state and its commands; its attributes are in
// DeviceAttributes.cpp.
#include "tango/Device.h"

#include <veltor/Diagnostics.h>

#include "tango/Options.h"

namespace veltor::tango {

namespace {

// "channels.A: ...; channels.B: ... (nothing sent)".
std::string JoinProblems(const std::vector<std::string>& problems) {
    std::string text;
    for (const std::string& problem : problems) {
        text += (text.empty() ? "" : "; ") + problem;
    }
    return text + " (nothing sent)";
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

// ---- Commands --------------------------------------------------------------

void Device::UpdateAll() {
    CVeltor& instrument = Instrument();
    CSerDev::Hold hold(instrument);
    // Nothing is sent when any part would be refused: an update that stops
    // halfway leaves the outputs off and the panel locked.
    std::vector<std::string> problems;
    for (const DeviceProblem& problem : FindDeviceProblems(instrument)) {
        const std::string where = problem.channel != 0
                                      ? std::string("channel ") + problem.channel
                                      : std::string(problem.logic ? "global logic" : "clocks");
        problems.push_back(where + ": " + problem.text);
    }
    if (!problems.empty()) {
        Refuse(JoinProblems(problems), "Device::UpdateAll");
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
        Refuse(JoinProblems(problems), "Device::ApplySetup");
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
