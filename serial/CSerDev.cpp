#include <veltor/CCommand.h>
#include <veltor/CSerDev.h>

#include <algorithm>
#include <utility>

#include "platform/Platform.h"
#include "serial/CSerDevImpl.h"
#include "serial/Clock.h"
#include "serial/link/Link.h"

namespace pf = veltor::platform;
namespace lk = veltor::link;
namespace protocol = veltor::protocol;

// The exchange's outcomes are the device's, value for value.
static_assert(static_cast<int>(protocol::Outcome::kCancelled) == CSerDev::kCancelled &&
                  static_cast<int>(protocol::Outcome::kOutOfStep) == CSerDev::kOutOfStep &&
                  static_cast<int>(protocol::Outcome::kSuccess) == CSerDev::kSuccess,
              "protocol::Outcome and CSerDev::Outcome differ");

namespace {

using veltor::NowUs;
using veltor::WireUs;
using veltor::WriteBoundMs;

std::string BaudError(int baudIndex) {
    return "no baud index " + std::to_string(baudIndex) +
           ": 0 to 6 stand for 2400 to 115200 bit/s (CSerDev::kBaud2400 .. kBaud115200)";
}

}  // namespace

CSerDev::CSerDev() : m_pImpl(new Impl(*this)) {}

CSerDev::~CSerDev() {
    // A device owner closes the connection first; a bare serial device is
    // closed here so that its watcher never outlives it.
    CSerDev::CloseConnection();
    delete m_pImpl;
}

void CSerDev::HandleUnsolicited(unsigned char*, unsigned long) {}

void CSerDev::HandleDelayReport(unsigned char, unsigned int) {}

bool CSerDev::IsConnected() const {
    return m_pImpl->m_Connection.Connected();
}

int CSerDev::InitConnection(int port, int baudIndex) {
    // No port number below 1 names a port (and none may overflow the name).
    if (pf::BaudForIndex(baudIndex) == 0 || port < 1) {
        CommandScope scope(*this);
        SetLastError(port < 1 ? "no port number " + std::to_string(port) + ": ports count from 1"
                              : BaudError(baudIndex));
        return -1;
    }
    char name[64];
    pf::PortName(port, name, sizeof(name));
    return InitConnection(name, baudIndex);
}

int CSerDev::InitConnection(const char* device, int baudIndex) {
    const long baud = pf::BaudForIndex(baudIndex);
    const std::string name = device != nullptr ? device : "(no port name)";
    if (baud == 0) {
        CommandScope scope(*this);
        SetLastError(BaudError(baudIndex));
        return -1;
    }
    // Opening again replaces the connection (or what a failed opening left);
    // a command in progress on another thread is ended first.
    CloseConnection();
    CommandScope scope(*this);
    m_pImpl->m_Ledger = veltor::protocol::Ledger();
    m_pImpl->m_LineFreeUs = NowUs();
    std::string error;
    const int opened = m_pImpl->m_Connection.Open(device, baud, error);
    if (opened != 0) {
        // Whatever failed releases all that was taken, the port's lock included.
        SetLastError(name + ": " + error);
        CloseConnection();
    }
    return opened;
}

int CSerDev::CloseConnection() {
    m_pImpl->m_Connection.Close();
    return 0;
}

void CSerDev::CancelCommand() {
    m_pImpl->m_Connection.Cancel();
}

void CSerDev::Lock() {
    m_pImpl->m_Connection.Commands().lock();
}

void CSerDev::Unlock() {
    m_pImpl->m_Connection.Commands().unlock();
}

bool CSerDev::TryLock() {
    return m_pImpl->m_Connection.Commands().try_lock();
}

bool CSerDev::HoldsLock() const {
    return m_pImpl->m_Connection.Commands().HeldHere();
}

CSerDev::Outcome CSerDev::GetLastOutcome() const {
    return m_pImpl->m_LastOutcome;
}

const char* CSerDev::DescribeOutcome(Outcome outcome) {
    switch (outcome) {
        case kNone:
            return "no exchange yet";
        case kSuccess:
            return "acknowledged";
        case kNotConnected:
            return "not connected";
        case kWriteFailed:
            return "the request could not be written";
        case kNoAnswer:
            return "no answer";
        case kNegative:
            return "refused by the instrument";
        case kWrongLead:
            return "no answer, only bytes that are neither an answer nor a report";
        case kIncomplete:
            return "the answer stopped after its header";
        case kBadChecksum:
            return "the answer's checksum failed";
        case kPortLost:
            return "port lost (unplugged or hung up): reconnect";
        case kMismatch:
            return "only answers to other requests arrived";
        case kClosed:
            return "the connection was closed meanwhile";
        case kCancelled:
            return "cancelled by the host";
        case kOutOfStep:
            return "not sent: answers owed to earlier requests never came, and the line could not "
                   "be brought back in step";
    }
    return "unknown outcome";
}

long CSerDev::BaudRate(int baudIndex) {
    return pf::BaudForIndex(baudIndex);
}

std::string CSerDev::GetLastError() const {
    return m_pImpl->LastError();
}

void CSerDev::SetLastError(const std::string& text) {
    m_pImpl->SetLastError(text);
}

void CSerDev::PrefixLastError(const std::string& context) {
    std::lock_guard<std::mutex> hold(m_pImpl->m_ErrorLock);
    m_pImpl->m_LastError = context + m_pImpl->m_LastError;
    m_pImpl->m_bHasError = !m_pImpl->m_LastError.empty();
}

void CSerDev::SetExchangeError(const CCommand* command, int attempts) {
    // "Setting timing mode..." names the step: "setting timing mode".
    std::string step = command != nullptr ? command->m_Status : "";
    while (!step.empty() && (step.back() == '.' || step.back() == ' ')) {
        step.pop_back();
    }
    if (!step.empty() && step[0] >= 'A' && step[0] <= 'Z') {
        step[0] = static_cast<char>(step[0] - 'A' + 'a');
    }
    std::string text = step.empty() ? "" : step + ": ";
    text += DescribeOutcome(m_pImpl->m_LastOutcome);
    if (attempts > 1) {
        text += " after " + std::to_string(attempts) + " attempts";
    }
    SetLastError(text);
}

CSerDev::CommandScope::CommandScope(CSerDev& device) : m_Device(device) {
    Impl& impl = *m_Device.m_pImpl;
    impl.m_Connection.Commands().lock();
    // Every command clears the last failure: without one, nothing to do.
    if (impl.m_nCommandDepth++ == 0 && impl.m_bHasError) {
        impl.SetLastError("");
    }
}

CSerDev::CommandScope::~CommandScope() {
    Impl& impl = *m_Device.m_pImpl;
    --impl.m_nCommandDepth;
    impl.m_Connection.Commands().unlock();
}

void CSerDev::SetTrace(TraceListener trace) {
    std::lock_guard<std::mutex> hold(m_pImpl->m_TraceLock);
    m_pImpl->m_Trace = std::move(trace);
    m_pImpl->m_bTracing = static_cast<bool>(m_pImpl->m_Trace);
}

bool CSerDev::Write(unsigned char* bytes, int count) {
    return WriteNamed(bytes, count, std::to_string(count) + " bytes");
}

bool CSerDev::WriteNamed(const unsigned char* bytes, int count, const std::string& what) {
    std::lock_guard<veltor::CommandLock> hold(m_pImpl->m_Connection.Commands());
    const veltor::Connection& connection = m_pImpl->m_Connection;
    if (!connection.Connected()) {
        SetLastError("writing " + what + ": " +
                     DescribeOutcome(connection.Lost() ? kPortLost : kNotConnected));
        return false;
    }
    const long long start = NowUs();
    const long baud = connection.Baud();
    const long boundMs = WriteBoundMs(WireUs(count, baud));
    const bool written = lk::Write(connection.Port(), bytes, count, boundMs);
    m_pImpl->m_LineFreeUs = std::max(m_pImpl->m_LineFreeUs, start) + WireUs(count, baud);
    if (written) {
        return true;
    }
    // A port that takes nothing (held by flow control, output suspended)
    // runs out the bound; a port that refuses says why.
    const long long tookMs = (NowUs() - start) / 1000;
    SetLastError("writing " + what + ": " +
                 (tookMs + 1 >= boundMs
                      ? "the port took no more bytes within " + std::to_string(boundMs) +
                            " ms (output held back: flow control, or a stopped line)"
                      : "the write failed: " + pf::LastError()));
    return false;
}

// ---- Runs of the exchange ------------------------------------------------------------

bool CSerDev::SendReceive(CCommand* command) {
    std::lock_guard<veltor::CommandLock> hold(m_pImpl->m_Connection.Commands());
    protocol::Exchange exchange(m_pImpl->m_Ledger, protocol::Exchange::Run::kOneAttempt, command,
                                false);
    return m_pImpl->Drive(exchange).outcome == protocol::Outcome::kSuccess;
}

bool CSerDev::AwaitLateAnswers() {
    std::lock_guard<veltor::CommandLock> hold(m_pImpl->m_Connection.Commands());
    protocol::Exchange exchange(m_pImpl->m_Ledger, protocol::Exchange::Run::kAwaitOwed, nullptr,
                                false);
    return m_pImpl->Drive(exchange).outcome == protocol::Outcome::kSuccess;
}

bool CSerDev::GetInStep(const CCommand* next) {
    std::lock_guard<veltor::CommandLock> hold(m_pImpl->m_Connection.Commands());
    // Getting back in step reads the next command's request and time-out
    // only; it is not sent.
    protocol::Exchange exchange(m_pImpl->m_Ledger, protocol::Exchange::Run::kGetInStep,
                                const_cast<CCommand*>(next), false);
    return m_pImpl->Drive(exchange).outcome == protocol::Outcome::kSuccess;
}

bool CSerDev::RunCommand(CCommand* command, const char* once) {
    std::lock_guard<veltor::CommandLock> hold(m_pImpl->m_Connection.Commands());
    protocol::Exchange exchange(m_pImpl->m_Ledger, protocol::Exchange::Run::kCommand, command,
                                once != nullptr);
    const protocol::Step done = m_pImpl->Drive(exchange);
    if (done.outcome == protocol::Outcome::kSuccess) {
        return true;
    }
    SetExchangeError(command, done.attempts);
    if (done.mayHaveHappened) {
        SetLastError(GetLastError() + ": " + once +
                     " may or may not have been carried out, and was not sent again");
    }
    return false;
}

void CSerDev::HandleLineLost() {}

void CSerDev::StayLost() {
    m_pImpl->m_Connection.StayLost();
}
