#include <veltor/CChLogic.h>
#include <veltor/CChannel.h>
#include <veltor/CCommand.h>
#include <veltor/CTimingMode.h>
#include <veltor/CVeltor.h>
#include <veltor/Diagnostics.h>

#include <mutex>
#include <string>

#include "device/CChannelImpl.h"
#include "device/ChannelHost.h"
#include "device/DefaultMode.h"
#include "device/Request.h"
#include "serial/Wire.h"

namespace {

// The class-wide default timing mode (under veltor::DefaultModeLock).
CTimingMode* s_pDefaultMode = nullptr;

const unsigned char kEnable = 0x08;
const unsigned char kDisable = 0x0E;
const unsigned char kForceTrigger = 0x0C;
const unsigned char kReset = 0x09;
const int kModeBufferSize = 64;

// The channel's device lock for a scope, when the channel has a device.
class DeviceHold {
public:
    explicit DeviceHold(veltor::ChannelHost* host) : m_pHost(host) {
        if (m_pHost != nullptr) {
            m_pHost->Lock();
        }
    }
    ~DeviceHold() {
        if (m_pHost != nullptr) {
            m_pHost->Unlock();
        }
    }
    DeviceHold(const DeviceHold&) = delete;
    DeviceHold& operator=(const DeviceHold&) = delete;

private:
    veltor::ChannelHost* m_pHost;
};

}  // namespace

CChannel::CChannel(CVeltor* device, char name)
    : m_pImpl(new Impl(device, veltor::HostOf(device),
                       name >= 'a' && name <= 'h' ? static_cast<char>(name - 'a' + 'A') : name)) {
    m_pImpl->m_pChLogic =
        new CChLogic(device != nullptr ? device->GetGlobalSymbols() : nullptr, m_pImpl->m_Name);
}

CChannel::~CChannel() {
    delete m_pImpl->m_pChLogic;
    delete m_pImpl;
}

bool CChannel::Impl::CanSend() const {
    if (m_pHost == nullptr) {
        return false;
    }
    if (m_Name < 'A' || m_Name > 'H') {
        m_pHost->SetLastError(std::string("no channel '") + m_Name + "': channels are A to H");
        return false;
    }
    return true;
}

bool CChannel::Impl::Failed() const {
    m_pHost->PrefixLastError(std::string("channel ") + m_Name + ": ");
    return false;
}

bool CChannel::Impl::SendChannelRequest(unsigned char selector, unsigned char code,
                                        const char* status, const char* once) {
    if (m_pHost == nullptr) {
        return false;
    }
    auto body = [&] {
        if (!CanSend()) {
            return false;
        }
        const unsigned char payload[3] = {static_cast<unsigned char>(selector + (m_Name - 'A')),
                                          code, 0x00};
        return veltor::SendRequest(*m_pHost, payload, sizeof(payload), status, veltor::kTimeoutMs,
                                   nullptr, once) ||
               Failed();
    };
    return veltor::InCommand(*m_pHost, body);
}

bool CChannel::CmdEnable() {
    // Held past the request, so that the state stored is the last sent.
    DeviceHold hold(m_pImpl->m_pHost);
    const bool done = m_pImpl->SendChannelRequest(0x88, kEnable, "Enabling the channel...");
    m_pImpl->m_nEnabled = done ? 1 : -1;
    return done;
}

bool CChannel::CmdDisable() {
    DeviceHold hold(m_pImpl->m_pHost);
    const bool done = m_pImpl->SendChannelRequest(0x88, kDisable, "Disabling the channel...");
    m_pImpl->m_nEnabled = done ? 0 : -1;
    return done;
}

int CChannel::GetEnabledState() const {
    return m_pImpl->m_nEnabled;
}

bool CChannel::CmdForceTrigger() {
    // A trigger fires the channel: it is never sent twice for one call.
    return m_pImpl->SendChannelRequest(0x88, kForceTrigger, "Forcing the trigger...",
                                       "the trigger");
}

bool CChannel::CmdReset() {
    return m_pImpl->SendChannelRequest(0x88, kReset, "Resetting the channel...");
}

bool CChannel::CmdQuery() {
    Impl& d = *m_pImpl;
    if (d.m_pHost == nullptr) {
        return false;
    }
    auto body = [&] {
        if (!d.CanSend()) {
            return false;
        }
        const unsigned char payload[3] = {
            static_cast<unsigned char>(veltor::kQuerySelector + (d.m_Name - 'A')),
            veltor::kQueryCode, 0x00};
        veltor::Response response;
        if (!veltor::SendRequest(*d.m_pHost, payload, sizeof(payload), "Querying the channel...",
                                 veltor::kTimeoutMs, &response)) {
            return d.Failed();
        }
        // The exchange takes only an answer that carries this channel's delay.
        SetLastDelay(veltor::DelayCounts(response.bytes));
        return true;
    };
    return veltor::InCommand(*d.m_pHost, body);
}

CTimingMode* CChannel::Impl::EffectiveMode(
    std::unique_lock<std::recursive_mutex>& defaultHold) const {
    if (m_pMode != nullptr) {
        return m_pMode;
    }
    // The class-wide default may be replaced and deleted by the host on
    // another thread: the caller keeps the lock while it uses the mode.
    defaultHold = std::unique_lock<std::recursive_mutex>(veltor::DefaultModeLock());
    return s_pDefaultMode;
}

bool CChannel::CheckParameters() const {
    const Impl& d = *m_pImpl;
    DeviceHold hold(d.m_pHost);
    std::unique_lock<std::recursive_mutex> defaultHold;
    CTimingMode* mode = d.EffectiveMode(defaultHold);
    return mode != nullptr && mode->CheckParameters(d.m_pDevice, d.m_Name);
}

bool CChannel::CmdSetTimingMode() {
    Impl& d = *m_pImpl;
    if (d.m_pHost == nullptr) {
        return false;
    }
    // The mode is checked and sent as one command.
    auto body = [&d] { return d.CheckAndSendMode(); };
    return veltor::InCommand(*d.m_pHost, body);
}

bool CChannel::Impl::CheckAndSendMode() {
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
            m_pHost->SetLastError("no timing mode: none is attached and no default is installed");
            return Failed();
        }
        if (!mode->CheckParameters(m_pDevice, m_Name)) {
            std::string text;
            for (const std::string& problem :
                 veltor::FindParameterProblems(*mode, m_pDevice, m_Name)) {
                text += (text.empty() ? "" : "; ") + problem;
            }
            m_pHost->SetLastError(text);
            return Failed();
        }
        length = mode->MakeCommand(payload, m_pDevice, m_Name);
    }
    if (length < 0 || length > kModeBufferSize) {
        m_pHost->SetLastError("the timing mode wrote no valid payload");
        return Failed();
    }
    return veltor::SendRequest(*m_pHost, payload, static_cast<int>(length),
                               "Setting timing mode...") ||
           Failed();
}

CTimingMode* CChannel::GetTimingMode() const {
    DeviceHold hold(m_pImpl->m_pHost);
    return m_pImpl->m_pMode;
}

CTimingMode* CChannel::SetTimingMode(CTimingMode* mode) {
    DeviceHold hold(m_pImpl->m_pHost);
    CTimingMode* previous = m_pImpl->m_pMode;
    m_pImpl->m_pMode = mode;
    return previous;
}

CTimingMode* CChannel::SetDefaultTimingMode(CTimingMode* mode) {
    std::lock_guard<std::recursive_mutex> hold(veltor::DefaultModeLock());
    CTimingMode* previous = s_pDefaultMode;
    s_pDefaultMode = mode;
    return previous;
}

void CChannel::SetLastDelay(unsigned int counts) {
    m_pImpl->m_nLastDelay.store(counts, std::memory_order_relaxed);
}

unsigned long CChannel::GetReportCount() const {
    return m_pImpl->m_nReports.load();
}

void CChannel::CountReport() {
    ++m_pImpl->m_nReports;
}

double CChannel::GetLastDelay() const {
    const Impl& d = *m_pImpl;
    const int index = d.m_Name - 'A';
    const double frequency =
        d.m_pHost != nullptr && index >= 0 && index < 8 ? d.m_pHost->ClockForReading(index) : 0.0;
    if (frequency <= 0.0) {
        return 0.0;
    }
    return static_cast<double>(m_pImpl->m_nLastDelay.load(std::memory_order_relaxed)) / frequency;
}

// ---- Logic ----------------------------------------------------------------------

bool CChannel::SetChannelLogic(const char* text) {
    DeviceHold hold(m_pImpl->m_pHost);
    m_pImpl->m_pChLogic->SetLogicText(text);
    return m_pImpl->m_pChLogic->ParseLogicText();
}

std::string CChannel::GetChannelLogic() const {
    DeviceHold hold(m_pImpl->m_pHost);
    return m_pImpl->m_pChLogic->GetLogicText();
}

bool CChannel::CheckLogic() {
    DeviceHold hold(m_pImpl->m_pHost);
    return m_pImpl->m_pChLogic->ParseLogicText();
}

bool CChannel::CompileLogic() {
    DeviceHold hold(m_pImpl->m_pHost);
    return m_pImpl->m_pChLogic->Compile();
}

std::string CChannel::GetLogicError(int* line) const {
    DeviceHold hold(m_pImpl->m_pHost);
    if (line != nullptr) {
        *line = m_pImpl->m_pChLogic->GetErrorLine();
    }
    return m_pImpl->m_pChLogic->GetLastError();
}

std::vector<veltor::LogicWarning> CChannel::GetLogicWarnings() const {
    DeviceHold hold(m_pImpl->m_pHost);
    return veltor::FindLogicWarnings(m_pImpl->m_pChLogic->GetLogicText());
}

std::vector<unsigned char> CChannel::GetLogicCode() const {
    DeviceHold hold(m_pImpl->m_pHost);
    unsigned char code[256];
    const int length = m_pImpl->m_pChLogic->GetCode(code, sizeof(code));
    return length > 0 ? std::vector<unsigned char>(code, code + length)
                      : std::vector<unsigned char>();
}

bool CChannel::CmdTransferLogic() {
    Impl& d = *m_pImpl;
    if (d.m_pHost == nullptr) {
        return false;
    }
    auto body = [&d] {
        if (!d.CanSend()) {
            return false;
        }
        CCommand* command = d.m_pChLogic->GetCommand();
        if (command == nullptr) {
            d.m_pHost->SetLastError(std::string("logic: ") + d.m_pChLogic->GetLastError());
            return d.Failed();
        }
        const bool ok = d.m_pHost->Carry(command, nullptr);
        delete command;
        return ok || d.Failed();
    };
    return veltor::InCommand(*d.m_pHost, body);
}
