// The device's life, its state and its commands; its attributes are in
// DeviceAttributes.cpp.
#include "tango/Device.h"

#include <veltor/Diagnostics.h>

#include <algorithm>
#include <cctype>
#include <chrono>

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

// The library's advice after a failed update names the C++ flags a host
// clears; the server puts them back itself, and a client knows them as
// attributes.
std::string TangoWords(std::string text) {
    static const char kFlags[] = "; bLockFP and bDisableOutputs stay set";
    const std::size_t from = text.find(kFlags);
    if (from == std::string::npos) {
        return text;
    }
    const std::size_t to = text.find(')', from);
    text.replace(from, to == std::string::npos ? std::string::npos : to - from,
                 "; the next UpdateAll that succeeds leaves them as OutputsEnabled and "
                 "PanelLocked read");
    return text;
}

}  // namespace

Device::Device(Tango::DeviceClass* deviceClass, std::string& name)
    : Tango::Device_5Impl(deviceClass, name) {
    m_Pusher = std::make_unique<EventPusher>(
        *this, [this](char channel, double seconds) { PushLastDelay(channel, seconds); });
    init_device();
}

Device::~Device() {
    delete_device();
    m_Pusher.reset();
}

void Device::init_device() {
    ReadProperties();
    m_Setup = veltor::setup::Setup();
    m_bUpdated = false;
    m_WantEnabled = {};
    m_bLineLost = false;
    m_bStopping = false;
    m_bBadSettings = false;
    {
        std::lock_guard<std::mutex> lock(m_FaultMutex);
        m_Fault.clear();
        m_OpenError.clear();
        m_bOpenerStop = false;
    }
    m_Instrument = std::make_unique<CVeltor>();
    EventPusher* pusher = m_Pusher.get();
    m_Instrument->SetReportListener([pusher](char channel, unsigned, double seconds, long long) {
        pusher->Post(channel, seconds);
    });
    m_Instrument->SetReconnectListener(
        [this](CVeltor::ReconnectEvent event) { OnReconnect(event); });
    if (m_bReconnect) {
        // The server sends the last update again itself, with the channels'
        // enabled states after it (an instrument switched off meanwhile lost
        // both).
        m_Instrument->SetReconnect(CVeltor::ReconnectPolicy());
    }
    Connect();
}

void Device::delete_device() {
    m_bStopping = true;
    StopOpener();
    if (m_Instrument) {
        // A resend in progress ends at once; neither listener ever waits for
        // the monitor held here, so these return as soon as a call ends.
        m_Instrument->CancelCommand();
        m_Instrument->SetReportListener(nullptr);
        m_Instrument->SetReconnectListener(nullptr);
    }
    if (m_Pusher) {
        m_Pusher->Drop();
    }
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
        m_bBadSettings = true;
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
        m_bBadSettings = true;
        SetFault("Baud " + std::to_string(m_Baud) + " bit/s: the instrument takes 2400 to 115200");
        return;
    }
    if (m_Instrument->InitConnection(m_Port.c_str(), baudIndex) == 0) {
        return;
    }
    const std::string error = m_Instrument->GetLastError();
    if (!m_bReconnect) {
        SetFault(error);
        return;
    }
    // The library opens again only a line it once had: a port missing now
    // is the server's to try.
    {
        std::lock_guard<std::mutex> lock(m_FaultMutex);
        m_OpenError = error;
    }
    m_Opener = std::thread([this, baudIndex] { OpenLater(baudIndex); });
}

void Device::OpenLater(int baudIndex) {
    // Nothing thrown here may end the server: it ends the tries, as a fault.
    try {
        // The same tries as the library's reconnecting policy.
        const CVeltor::ReconnectPolicy policy;
        unsigned intervalMs = policy.firstMs;
        std::unique_lock<std::mutex> lock(m_FaultMutex);
        for (;;) {
            if (m_OpenerWake.wait_for(lock, std::chrono::milliseconds(intervalMs),
                                      [this] { return m_bOpenerStop; })) {
                return;
            }
            lock.unlock();
            const bool opened = m_Instrument->InitConnection(m_Port.c_str(), baudIndex) == 0;
            const std::string error = opened ? "" : m_Instrument->GetLastError();
            lock.lock();
            m_OpenError = error;
            if (opened) {
                return;
            }
            intervalMs = std::min(intervalMs * 2, policy.longestMs);
        }
    } catch (const std::exception& error) {
        SetFault(std::string("opening the port again failed: ") + error.what());
    } catch (...) {
        SetFault("opening the port again failed");
    }
    std::lock_guard<std::mutex> lock(m_FaultMutex);
    m_OpenError.clear();
}

void Device::StopOpener() {
    {
        std::lock_guard<std::mutex> lock(m_FaultMutex);
        m_bOpenerStop = true;
    }
    m_OpenerWake.notify_all();
    if (m_Opener.joinable()) {
        m_Opener.join();
    }
}

void Device::OnReconnect(CVeltor::ReconnectEvent event) {
    if (event == CVeltor::kLineLost) {
        m_bLineLost = true;
        return;
    }
    if (event != CVeltor::kLineBack) {
        return;
    }
    // On the library's reconnecting thread: what it throws is contained here
    // and reported as a fault, and the policy goes on.
    try {
        // Init removes this listener before it replaces the instrument.
        CVeltor& instrument = *m_Instrument;
        CSerDev::Hold hold(instrument);
        if (m_bStopping) {
            return;
        }
        const bool sent =
            !m_bUpdated || (SendUpdate(instrument) && SendEnabledStates(instrument, m_WantEnabled));
        SetFault(sent ? ""
                      : "sending the last update again once the line was back failed: " +
                            TangoWords(instrument.GetLastError()));
    } catch (const std::exception& error) {
        SetFault(std::string("sending the last update again once the line was back failed: ") +
                 error.what());
    } catch (...) {
        SetFault("sending the last update again once the line was back failed");
    }
    m_bLineLost = false;
}

Tango::DevState Device::dev_state() {
    std::string fault;
    std::string openError;
    {
        std::lock_guard<std::mutex> lock(m_FaultMutex);
        fault = m_Fault;
        openError = m_OpenError;
    }
    const bool connected = m_Instrument && m_Instrument->IsConnected();
    Tango::DevState state = Tango::ON;
    std::string text = "connected to " + m_Port;
    if (m_bReconnect && !m_bBadSettings && (!connected || m_bLineLost)) {
        // From the moment the line goes until the update has gone again.
        state = Tango::ALARM;
        if (connected) {
            text = "the line to " + m_Port + " is back: sending the last update again";
        } else if (!openError.empty()) {
            text = "the port is not open yet: reconnecting (" + openError + ")";
        } else {
            text = "the line to " + m_Port + " is lost: reconnecting";
        }
    } else if (!fault.empty()) {
        // A failed command's fault stands until the next command succeeds.
        state = Tango::FAULT;
        text = fault;
    } else if (!connected) {
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
    CVeltor& instrument = Instrument();
    std::string error = TangoWords(instrument.GetLastError());
    if (error.empty()) {
        error = "the instrument did not carry out the command";
    }
    // A line that is away while the server reconnects is the state ALARM,
    // not a fault of the command.
    const CSerDev::Outcome outcome = instrument.GetLastOutcome();
    if (!m_bReconnect || m_bBadSettings ||
        (outcome != CSerDev::kPortLost && outcome != CSerDev::kNotConnected)) {
        SetFault(error);
    }
    Tango::Except::throw_exception("Veltor_CommandFailed", error, origin);
}

void Device::Refuse(const std::string& description, const char* origin) {
    Tango::Except::throw_exception("Veltor_Refused", description, origin);
}

// ---- Commands --------------------------------------------------------------

bool Device::SendUpdate(CVeltor& instrument) {
    CSerDev::Hold hold(instrument);
    SGeneral& general = *instrument.GetPropA();
    const bool locked = general.bLockFP;
    const bool disabled = general.bDisableOutputs;
    if (instrument.CmdUpdateAll()) {
        m_bUpdated = true;
        return true;
    }
    general.bLockFP = locked;
    general.bDisableOutputs = disabled;
    return false;
}

bool Device::SendEnabledStates(CVeltor& instrument,
                               const std::array<std::optional<bool>, 8>& states) {
    CSerDev::Hold hold(instrument);
    for (int i = 0; i < 8; ++i) {
        CChannel& channel = *instrument.GetChannel(static_cast<char>('A' + i));
        if (states[i] && !(*states[i] ? channel.CmdEnable() : channel.CmdDisable())) {
            return false;
        }
    }
    return true;
}

bool Device::SetEnabled(int channel, bool on) {
    CVeltor& instrument = Instrument();
    CSerDev::Hold hold(instrument);
    m_WantEnabled[channel] = on;
    CChannel& ch = *instrument.GetChannel(static_cast<char>('A' + channel));
    return on ? ch.CmdEnable() : ch.CmdDisable();
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
    Check(SendUpdate(instrument), "Device::UpdateAll");
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
    // The old modes go only once the device has a new one for every channel.
    veltor::setup::Setup previous = std::move(m_Setup);
    m_Setup = std::move(setup);
    // As veltor apply does (setup::Apply), with the flags put back when the
    // update fails and the enabled states kept for a reconnection.
    veltor::setup::Attach(m_Setup, instrument);
    std::array<std::optional<bool>, 8> enabled;
    for (int i = 0; i < 8; ++i) {
        enabled[i] = m_Setup.channels[i].enabled;
        if (enabled[i]) {
            m_WantEnabled[i] = enabled[i];
        }
    }
    const bool applied = SendUpdate(instrument) && SendEnabledStates(instrument, enabled);
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
    const int index = std::toupper(static_cast<unsigned char>(letter[0])) - 'A';
    if (command == &CChannel::CmdEnable || command == &CChannel::CmdDisable) {
        Check(SetEnabled(index, command == &CChannel::CmdEnable), "Device::RunChannel");
        return;
    }
    Check((channel.*command)(), "Device::RunChannel");
}

void Device::ResetAll() {
    CSerDev::Hold hold(Instrument());
    Check(Instrument().CmdResetAll(), "Device::ResetAll");
}

}  // namespace veltor::tango
