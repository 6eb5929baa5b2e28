#include <veltor/CChLogic.h>
#include <veltor/CChannel.h>
#include <veltor/CCommand.h>
#include <veltor/CTimingMode.h>
#include <veltor/CVeltor.h>
#include <veltor/Diagnostics.h>

#include <string>

#include "device/DefaultMode.h"
#include "device/Request.h"
#include "serial/Wire.h"

CTimingMode* CChannel::m_pDefaultMode = nullptr;

namespace {

const unsigned char kEnable = 0x08;
const unsigned char kDisable = 0x0E;
const unsigned char kForceTrigger = 0x0C;
const unsigned char kReset = 0x09;
const int kModeBufferSize = 64;

// The channel's device lock for a scope, when the channel has a device.
class DeviceHold {
public:
    explicit DeviceHold(CVeltor* device) : m_pDevice(device) {
        if (m_pDevice != nullptr) {
            m_pDevice->Lock();
        }
    }
    ~DeviceHold() {
        if (m_pDevice != nullptr) {
            m_pDevice->Unlock();
        }
    }
    DeviceHold(const DeviceHold&) = delete;
    DeviceHold& operator=(const DeviceHold&) = delete;

private:
    CVeltor* m_pDevice;
};

}  // namespace

CChannel::CChannel(CVeltor* device, char name)
    : m_pDevice(device),
      m_Name(name >= 'a' && name <= 'h' ? static_cast<char>(name - 'a' + 'A') : name),
      m_pMode(nullptr),
      m_pChLogic(nullptr),
      m_nLastDelay(0),
      m_nReports(0),
      m_nEnabled(-1) {
    m_pChLogic = new CChLogic(device != nullptr ? device->GetGlobalSymbols() : nullptr, m_Name);
}

CChannel::~CChannel() {
    delete m_pChLogic;
}

bool CChannel::CanSend() const {
    if (m_pDevice == nullptr) {
        return false;
    }
    if (m_Name < 'A' || m_Name > 'H') {
        m_pDevice->SetLastError(std::string("no channel '") + m_Name + "': channels are A to H");
        return false;
    }
    return true;
}

bool CChannel::Failed() const {
    m_pDevice->PrefixLastError(std::string("channel ") + m_Name + ": ");
    return false;
}

bool CChannel::SendChannelRequest(unsigned char selector, unsigned char code, const char* status,
                                  const char* once) {
    if (m_pDevice == nullptr) {
        return false;
    }
    CVeltor::CommandScope scope(*m_pDevice);
    if (!CanSend()) {
        return false;
    }
    const unsigned char payload[3] = {static_cast<unsigned char>(selector + (m_Name - 'A')), code,
                                      0x00};
    return veltor::SendRequest(m_pDevice, payload, sizeof(payload), status, veltor::kTimeoutMs,
                               nullptr, once) ||
           Failed();
}

bool CChannel::CmdEnable() {
    // Held past the request, so that the state stored is the last sent.
    DeviceHold hold(m_pDevice);
    const bool done = SendChannelRequest(0x88, kEnable, "Enabling the channel...");
    m_nEnabled = done ? 1 : -1;
    return done;
}

bool CChannel::CmdDisable() {
    DeviceHold hold(m_pDevice);
    const bool done = SendChannelRequest(0x88, kDisable, "Disabling the channel...");
    m_nEnabled = done ? 0 : -1;
    return done;
}

int CChannel::GetEnabledState() const {
    return m_nEnabled;
}

bool CChannel::CmdForceTrigger() {
    // A trigger fires the channel: it is never sent twice for one call.
    return SendChannelRequest(0x88, kForceTrigger, "Forcing the trigger...", "the trigger");
}

bool CChannel::CmdReset() {
    return SendChannelRequest(0x88, kReset, "Resetting the channel...");
}

bool CChannel::CmdQuery() {
    if (m_pDevice == nullptr) {
        return false;
    }
    CVeltor::CommandScope scope(*m_pDevice);
    if (!CanSend()) {
        return false;
    }
    const unsigned char payload[3] = {
        static_cast<unsigned char>(veltor::kQuerySelector + (m_Name - 'A')), veltor::kQueryCode,
        0x00};
    veltor::Response response;
    if (!veltor::SendRequest(m_pDevice, payload, sizeof(payload), "Querying the channel...",
                             veltor::kTimeoutMs, &response)) {
        return Failed();
    }
    // The exchange takes only an answer that carries this channel's delay.
    SetLastDelay(veltor::DelayCounts(response.bytes));
    return true;
}

CTimingMode* CChannel::EffectiveMode(std::unique_lock<std::recursive_mutex>& defaultHold) const {
    if (m_pMode != nullptr) {
        return m_pMode;
    }
    // The class-wide default may be replaced and deleted by the host on
    // another thread: the caller keeps the lock while it uses the mode.
    defaultHold = std::unique_lock<std::recursive_mutex>(veltor::DefaultModeLock());
    return m_pDefaultMode;
}

bool CChannel::CheckParameters() const {
    DeviceHold hold(m_pDevice);
    std::unique_lock<std::recursive_mutex> defaultHold;
    CTimingMode* mode = EffectiveMode(defaultHold);
    return mode != nullptr && mode->CheckParameters(m_pDevice, m_Name);
}

bool CChannel::CmdSetTimingMode() {
    if (m_pDevice == nullptr) {
        return false;
    }
    CVeltor::CommandScope scope(*m_pDevice);  // the mode is checked and sent as one
    if (!CanSend()) {
        return false;
    }
    unsigned char payload[kModeBufferSize] = {};
    long length = 0;
    {
        // The mode is used only here: the payload is the request's own copy,
        // and the default's lock is not held over the exchange.
        std::unique_lock<std::recursive_mutex> defaultHold;
        CTimingMode* mode = EffectiveMode(defaultHold);
        if (mode == nullptr) {
            m_pDevice->SetLastError("no timing mode: none is attached and no default is installed");
            return Failed();
        }
        if (!mode->CheckParameters(m_pDevice, m_Name)) {
            std::string text;
            for (const std::string& problem :
                 veltor::FindParameterProblems(*mode, m_pDevice, m_Name)) {
                text += (text.empty() ? "" : "; ") + problem;
            }
            m_pDevice->SetLastError(text);
            return Failed();
        }
        length = mode->MakeCommand(payload, m_pDevice, m_Name);
    }
    if (length < 0 || length > kModeBufferSize) {
        m_pDevice->SetLastError("the timing mode wrote no valid payload");
        return Failed();
    }
    return veltor::SendRequest(m_pDevice, payload, static_cast<int>(length),
                               "Setting timing mode...") ||
           Failed();
}

CTimingMode* CChannel::GetTimingMode() const {
    DeviceHold hold(m_pDevice);
    return m_pMode;
}

CTimingMode* CChannel::SetTimingMode(CTimingMode* mode) {
    DeviceHold hold(m_pDevice);
    CTimingMode* previous = m_pMode;
    m_pMode = mode;
    return previous;
}

CTimingMode* CChannel::SetDefaultTimingMode(CTimingMode* mode) {
    std::lock_guard<std::recursive_mutex> hold(veltor::DefaultModeLock());
    CTimingMode* previous = m_pDefaultMode;
    m_pDefaultMode = mode;
    return previous;
}

void CChannel::SetLastDelay(unsigned int counts) {
    m_nLastDelay.store(counts, std::memory_order_relaxed);
}

unsigned long CChannel::GetReportCount() const {
    return m_nReports.load();
}

void CChannel::CountReport() {
    ++m_nReports;
}

double CChannel::GetLastDelay() const {
    const int index = m_Name - 'A';
    const double frequency =
        m_pDevice != nullptr && index >= 0 && index < 8 ? m_pDevice->ClockForReading(index) : 0.0;
    if (frequency <= 0.0) {
        return 0.0;
    }
    return static_cast<double>(m_nLastDelay.load(std::memory_order_relaxed)) / frequency;
}

// ---- Logic ----------------------------------------------------------------------

bool CChannel::SetChannelLogic(const char* text) {
    DeviceHold hold(m_pDevice);
    m_pChLogic->SetLogicText(text);
    return m_pChLogic->ParseLogicText();
}

std::string CChannel::GetChannelLogic() const {
    DeviceHold hold(m_pDevice);
    return m_pChLogic->GetLogicText();
}

bool CChannel::CheckLogic() {
    DeviceHold hold(m_pDevice);
    return m_pChLogic->ParseLogicText();
}

bool CChannel::CompileLogic() {
    DeviceHold hold(m_pDevice);
    return m_pChLogic->Compile();
}

std::string CChannel::GetLogicError(int* line) const {
    DeviceHold hold(m_pDevice);
    if (line != nullptr) {
        *line = m_pChLogic->GetErrorLine();
    }
    return m_pChLogic->GetLastError();
}

std::vector<veltor::LogicWarning> CChannel::GetLogicWarnings() const {
    DeviceHold hold(m_pDevice);
    return veltor::FindLogicWarnings(m_pChLogic->GetLogicText());
}

std::vector<unsigned char> CChannel::GetLogicCode() const {
    DeviceHold hold(m_pDevice);
    unsigned char code[256];
    const int length = m_pChLogic->GetCode(code, sizeof(code));
    return length > 0 ? std::vector<unsigned char>(code, code + length)
                      : std::vector<unsigned char>();
}

bool CChannel::CmdTransferLogic() {
    if (m_pDevice == nullptr) {
        return false;
    }
    CVeltor::CommandScope scope(*m_pDevice);
    if (!CanSend()) {
        return false;
    }
    CCommand* command = m_pChLogic->GetCommand();
    if (command == nullptr) {
        m_pDevice->SetLastError(std::string("logic: ") + m_pChLogic->GetLastError());
        return Failed();
    }
    const bool ok = m_pDevice->DoCommand(command);
    delete command;
    return ok || Failed();
}
