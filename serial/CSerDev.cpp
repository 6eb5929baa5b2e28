#include <veltor/CCommand.h>
#include <veltor/CSerDev.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <optional>
#include <utility>

#include "platform/Platform.h"
#include "serial/CSerialBuffer.h"
#include "serial/Clock.h"
#include "serial/CommandLock.h"
#include "serial/ReceiveSide.h"
#include "serial/Watcher.h"
#include "serial/Wire.h"
#include "serial/link/Link.h"
#include "serial/protocol/Exchange.h"

namespace pf = veltor::platform;
namespace lk = veltor::link;
namespace protocol = veltor::protocol;

// The exchange's outcomes are the device's, value for value.
static_assert(static_cast<int>(protocol::Outcome::kCancelled) == CSerDev::kCancelled &&
                  static_cast<int>(protocol::Outcome::kOutOfStep) == CSerDev::kOutOfStep &&
                  static_cast<int>(protocol::Outcome::kSuccess) == CSerDev::kSuccess,
              "protocol::Outcome and CSerDev::Outcome differ");

namespace {

const int kWatcherFailed = -6;

// The device whose line bytes this thread is handing to HandleUnsolicited.
thread_local const CSerDev* t_pHandingOver = nullptr;

// Marks a hand-over of line bytes for its scope.
class HandingOver {
public:
    explicit HandingOver(const CSerDev* device) : m_pOuter(t_pHandingOver) {
        t_pHandingOver = device;
    }
    ~HandingOver() { t_pHandingOver = m_pOuter; }
    HandingOver(const HandingOver&) = delete;
    HandingOver& operator=(const HandingOver&) = delete;

private:
    const CSerDev* m_pOuter;
};

using veltor::MsUntil;
using veltor::NowUs;

// Ten bit times a byte: start bit, eight data bits, stop bit.
long long WireUs(long long count, long baud) {
    return baud > 0 ? count * 10 * 1000000 / baud : 0;
}

// A write may be held back (for instance by a flow-control line); the host
// waits for it twice the wire time of its bytes plus two seconds, then gives
// the write up instead of hanging.
long WriteBoundMs(long long wireUs) {
    return static_cast<long>(2000 + 2 * wireUs / 1000);
}

std::string BaudError(int baudIndex) {
    return "no baud index " + std::to_string(baudIndex) +
           ": 0 to 6 stand for 2400 to 115200 bit/s (CSerDev::kBaud2400 .. kBaud115200)";
}

}  // namespace

// What the receive side hands over reaches the device's handlers and trace.
class CSerDev::Sink final : public veltor::ReceiveSink {
public:
    explicit Sink(CSerDev& device) : m_Device(device) {}
    void Unasked(const veltor::SplitOutput& sorted, const char* status) override {
        m_Device.Unasked(sorted, status);
    }

private:
    CSerDev& m_Device;
};

CSerDev::CSerDev()
    : m_bConnected(false),
      m_bAwaiting(false),
      m_pBuffer(new CSerialBuffer),
      m_hDataEvent(nullptr),
      m_hPort(nullptr),
      m_hStopEvent(nullptr),
      m_hThread(nullptr),
      m_hStartedEvent(nullptr),
      m_nBaud(0),
      m_LastOutcome(kNone),
      m_pCommandLock(new CommandLock),
      m_bClosing(false),
      m_pSink(nullptr),
      m_pReceive(nullptr),
      m_bLost(false),
      m_bWatcherStarted(false),
      m_LineFreeUs(0),
      m_pLedger(new protocol::Ledger),
      m_bHasError(false),
      m_nCommandDepth(0),
      m_bTracing(false),
      m_hAsideEvent(nullptr) {
    m_pSink = new Sink(*this);
    m_pReceive = new veltor::ReceiveSide(*m_pBuffer, m_bAwaiting, *m_pSink);
}

CSerDev::~CSerDev() {
    // A device owner closes the connection first; a bare serial device is
    // closed here so that its watcher never outlives it.
    CSerDev::CloseConnection();
    delete m_pReceive;
    delete m_pLedger;
    delete m_pSink;
    delete m_pBuffer;
    delete m_pCommandLock;
}

void CSerDev::HandleUnsolicited(unsigned char*, unsigned long) {}

void CSerDev::HandleDelayReport(unsigned char, unsigned int) {}

bool CSerDev::IsConnected() const {
    return m_bConnected;
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

    // Whatever fails releases all that was taken, the port's lock included.
    auto fail = [this, &name](int code, const std::string& step) {
        SetLastError(name + ": " + step);
        CloseConnection();
        return code;
    };
    // CancelCommand sets the data event from any thread under the receive
    // lock: it is stored under that lock too.
    const veltor::Handle dataEvent = pf::CreateEvent(false);
    m_pBuffer->Lock();
    m_hDataEvent = dataEvent;
    m_pBuffer->Unlock();
    if (m_hDataEvent == nullptr) {
        return fail(-1, "cannot create an event: " + pf::LastError());
    }
    m_hPort = lk::Open(device);
    if (m_hPort == nullptr) {
        return fail(-1, "cannot open the port: " + pf::LastError());
    }
    const int configured = lk::Configure(m_hPort, baud);
    if (configured != 0) {
        static const char* const kSteps[] = {
            "cannot watch the port for received bytes",  // -2
            "cannot read the line settings",             // -3
            "cannot set the line to 8N1 raw at the speed asked for",
            "cannot set the read time-outs",  // -5
        };
        const int step = configured <= -2 && configured >= -5 ? -configured - 2 : 0;
        return fail(configured, std::string(kSteps[step]) + " (" + std::to_string(baud) +
                                    " bit/s): " + pf::LastError());
    }
    m_nBaud = baud;
    m_hStopEvent = pf::CreateEvent(false);
    m_hStartedEvent = pf::CreateEvent(false);
    const bool exchangeReads = m_pReceive->ExchangeReadsPort();
    m_hAsideEvent = exchangeReads ? pf::CreateEvent(false) : nullptr;
    if (m_hStopEvent == nullptr || m_hStartedEvent == nullptr ||
        (exchangeReads && m_hAsideEvent == nullptr)) {
        return fail(kWatcherFailed, "cannot create the watcher's events: " + pf::LastError());
    }
    lk::PurgeInput(m_hPort);
    // A new line: nothing half-received on an earlier one carries over.
    m_pReceive->Open(m_hPort, m_hDataEvent, m_hAsideEvent);
    *m_pLedger = protocol::Ledger();
    m_LineFreeUs = NowUs();
    m_bWatcherStarted = false;
    m_hThread = pf::StartThread(&CSerDev::CommWatchProc, this);
    if (m_hThread == nullptr) {
        return fail(kWatcherFailed, "cannot start the watcher thread: " + pf::LastError());
    }
    // The started event stays until the connection closes: the watcher may
    // still be inside its SetEvent when this wait returns.
    pf::WaitForEvent(m_hStartedEvent, pf::kInfinite);
    if (!m_bWatcherStarted) {
        return fail(kWatcherFailed, "the watcher cannot wait on the port");
    }
    m_bConnected = true;
    return 0;
}

int CSerDev::CloseConnection() {
    // A command in progress on another thread is woken and ends; the data
    // event it waits on is set and released under the receive lock, so that
    // a second closing thread never sets a released event.
    m_pBuffer->Lock();
    m_bClosing = true;
    if (pf::IsHeld(m_hDataEvent)) {
        pf::SetEvent(m_hDataEvent);
    }
    m_pBuffer->Unlock();
    std::lock_guard<CommandLock> hold(*m_pCommandLock);
    if (pf::IsHeld(m_hStopEvent) && pf::IsHeld(m_hThread)) {
        pf::SetEvent(m_hStopEvent);
        pf::JoinThread(m_hThread);
    }
    CloseAndCleanHandle(m_hStopEvent);
    CloseAndCleanHandle(m_hThread);
    CloseAndCleanHandle(m_hAsideEvent);
    m_pBuffer->Lock();
    CloseAndCleanHandle(m_hDataEvent);
    m_pBuffer->Unlock();
    CloseAndCleanHandle(m_hPort);
    CloseAndCleanHandle(m_hStartedEvent);
    m_bConnected = false;
    m_bAwaiting = false;
    m_bLost = false;
    m_bClosing = false;
    return 0;
}

void CSerDev::CancelCommand() {
    m_pCommandLock->Cancel();
    // Wakes the command's wait; under the receive lock, as closing sets it,
    // so that the event is never set once released.
    m_pBuffer->Lock();
    if (pf::IsHeld(m_hDataEvent)) {
        pf::SetEvent(m_hDataEvent);
    }
    m_pBuffer->Unlock();
}

void CSerDev::Lock() {
    m_pCommandLock->lock();
}

void CSerDev::Unlock() {
    m_pCommandLock->unlock();
}

bool CSerDev::TryLock() {
    return m_pCommandLock->try_lock();
}

bool CSerDev::HoldsLock() const {
    return m_pCommandLock->HeldHere();
}

void CSerDev::CloseAndCleanHandle(veltor::Handle& handle) {
    if (pf::IsHeld(handle)) {
        pf::CloseHandle(handle);
        InvalidateHandle(handle);
    }
}

void CSerDev::InvalidateHandle(veltor::Handle& handle) {
    handle = pf::InvalidHandle();
}

CSerDev::Outcome CSerDev::GetLastOutcome() const {
    return m_LastOutcome;
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
    std::lock_guard<std::mutex> hold(m_ErrorLock);
    return m_LastError;
}

void CSerDev::SetLastError(const std::string& text) {
    // Every command clears it: without a failure to clear, no lock.
    if (text.empty() && !m_bHasError) {
        return;
    }
    std::lock_guard<std::mutex> hold(m_ErrorLock);
    m_LastError = text;
    m_bHasError = !text.empty();
}

void CSerDev::PrefixLastError(const std::string& context) {
    std::lock_guard<std::mutex> hold(m_ErrorLock);
    m_LastError = context + m_LastError;
    m_bHasError = !m_LastError.empty();
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
    text += DescribeOutcome(m_LastOutcome);
    if (attempts > 1) {
        text += " after " + std::to_string(attempts) + " attempts";
    }
    SetLastError(text);
}

CSerDev::CommandScope::CommandScope(CSerDev& device) : m_Device(device) {
    m_Device.m_pCommandLock->lock();
    // Every command clears the last failure: without one, nothing to do.
    if (m_Device.m_nCommandDepth++ == 0 && m_Device.m_bHasError) {
        m_Device.SetLastError("");
    }
}

CSerDev::CommandScope::~CommandScope() {
    --m_Device.m_nCommandDepth;
    m_Device.m_pCommandLock->unlock();
}

void CSerDev::SetTrace(TraceListener trace) {
    std::lock_guard<std::mutex> hold(m_TraceLock);
    m_Trace = std::move(trace);
    m_bTracing = static_cast<bool>(m_Trace);
}

void CSerDev::CallTrace(TraceEvent::Kind kind, const unsigned char* bytes, unsigned long count,
                        const char* status) {
    const long long now = std::chrono::duration_cast<std::chrono::nanoseconds>(
                              std::chrono::steady_clock::now().time_since_epoch())
                              .count();
    std::lock_guard<std::mutex> hold(m_TraceLock);
    if (!m_Trace) {
        return;
    }
    const TraceEvent event{kind, bytes, count, now, status != nullptr ? status : ""};
    try {
        m_Trace(event);
    } catch (...) {
        // A trace that throws must not end an exchange or the watcher.
    }
}

bool CSerDev::Write(unsigned char* bytes, int count) {
    return WriteNamed(bytes, count, std::to_string(count) + " bytes");
}

bool CSerDev::WriteNamed(const unsigned char* bytes, int count, const std::string& what) {
    std::lock_guard<CommandLock> hold(*m_pCommandLock);
    if (!m_bConnected) {
        SetLastError("writing " + what + ": " +
                     DescribeOutcome(m_bLost ? kPortLost : kNotConnected));
        return false;
    }
    const long long start = NowUs();
    const long boundMs = WriteBoundMs(WireUs(count, m_nBaud));
    const bool written = lk::Write(m_hPort, bytes, count, boundMs);
    m_LineFreeUs = std::max(m_LineFreeUs, start) + WireUs(count, m_nBaud);
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
    std::lock_guard<CommandLock> hold(*m_pCommandLock);
    protocol::Exchange exchange(*m_pLedger, protocol::Exchange::Run::kOneAttempt, command, false);
    return Drive(exchange).outcome == protocol::Outcome::kSuccess;
}

bool CSerDev::AwaitLateAnswers() {
    std::lock_guard<CommandLock> hold(*m_pCommandLock);
    protocol::Exchange exchange(*m_pLedger, protocol::Exchange::Run::kAwaitOwed, nullptr, false);
    return Drive(exchange).outcome == protocol::Outcome::kSuccess;
}

bool CSerDev::GetInStep(const CCommand* next) {
    std::lock_guard<CommandLock> hold(*m_pCommandLock);
    // Getting back in step reads the next command's request and time-out
    // only; it is not sent.
    protocol::Exchange exchange(*m_pLedger, protocol::Exchange::Run::kGetInStep,
                                const_cast<CCommand*>(next), false);
    return Drive(exchange).outcome == protocol::Outcome::kSuccess;
}

bool CSerDev::RunCommand(CCommand* command, const char* once) {
    std::lock_guard<CommandLock> hold(*m_pCommandLock);
    protocol::Exchange exchange(*m_pLedger, protocol::Exchange::Run::kCommand, command,
                                once != nullptr);
    const protocol::Step done = Drive(exchange);
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

inline protocol::Line CSerDev::LineNow(long long nowUs) const {
    protocol::Line line;
    line.nowUs = nowUs != 0 ? nowUs : NowUs();
    line.seen = m_pReceive->AnswersSeen();
    line.connected = m_bConnected;
    line.lost = m_bLost;
    line.closing = m_bClosing;
    line.cancelled = m_pCommandLock->Cancelled();
    return line;
}

protocol::Step CSerDev::Drive(protocol::Exchange& exchange) {
    // The receive side's part of the attempt in progress.
    std::optional<veltor::ReceiveTurn> turn;
    // The time read last, where it is fresh enough to spare another reading
    // (0 once the thread may have waited since).
    long long nowUs = NowUs();
    unsigned char answer[2 + 256];
    protocol::Step step = exchange.Start(LineNow(nowUs));
    for (;;) {
        m_pReceive->CountRequests(m_pLedger->requests);
        if (step.attemptEnded) {
            m_LastOutcome = static_cast<Outcome>(step.attemptOutcome);
            if (turn) {
                turn->End(m_pLedger->lastAttemptEndUs);
                turn.reset();
            }
        }
        switch (step.kind) {
            case protocol::Step::kDone:
                if (exchange.Last() != protocol::Outcome::kNone) {
                    m_LastOutcome = static_cast<Outcome>(exchange.Last());
                }
                return step;
            case protocol::Step::kSend: {
                // Until its request is written, the attempt's end is bounded
                // by the time-out counted from now, the request's own wire
                // time and what is still on the line before it.
                CCommand* command = step.command;
                if (nowUs == 0) {
                    nowUs = NowUs();
                }
                const long long endBy = std::max(nowUs, m_LineFreeUs) +
                                        WireUs(command->m_RequestLength, m_nBaud) +
                                        static_cast<long long>(command->m_Timeout) * 1000;
                turn.emplace(*m_pReceive, command->m_Status, endBy, step.takeWaiting);
                step = Send(exchange, command, *turn, nowUs);
                if (step.kind == protocol::Step::kAwaitAnswer) {
                    m_pReceive->AttemptEndsBy(step.deadlineUs);
                } else {
                    nowUs = 0;
                }
                break;
            }
            case protocol::Step::kAwaitAnswer: {
                long have = 0;
                const int read = ReadAnswer(*turn, answer, have, step.deadlineUs, nowUs);
                nowUs = 0;
                if (read <= -2) {
                    step = exchange.Stopped(LineNow());
                    break;
                }
                // A refusal, and an answer cut off after its header, are
                // traced as far as the header.
                const bool whole = read == 0;
                if (have >= 2) {
                    const bool headerOnly = answer[0] == veltor::kNegativeLead || !whole;
                    Trace(TraceEvent::kAnswer, answer,
                          headerOnly ? 2UL : static_cast<unsigned long>(have),
                          step.command->m_Status);
                }
                const bool noise = have < 2 && turn->HeardNoise();
                step = exchange.Answered(answer, have, whole, noise, LineNow());
                break;
            }
            case protocol::Step::kAwaitOwed:
                pf::WaitForEvent(m_hDataEvent, MsUntil(step.deadlineUs));
                nowUs = 0;
                step = exchange.Woken(LineNow());
                break;
        }
    }
}

protocol::Step CSerDev::Send(protocol::Exchange& exchange, CCommand* command,
                             veltor::ReceiveTurn& turn, long long& nowUs) {
    if (turn.PortLost()) {
        MarkLost();
        return exchange.NotSent(protocol::Outcome::kPortLost, LineNow());
    }
    const long long start = nowUs;
    exchange.Writing(LineNow(start));
    // The receive side counts the request as owed before it can be answered.
    m_pReceive->CountRequests(m_pLedger->requests);
    const long long wire = WireUs(command->m_RequestLength, m_nBaud);
    Trace(TraceEvent::kRequest, command->m_Request,
          static_cast<unsigned long>(command->m_RequestLength), command->m_Status);
    if (!lk::Write(m_hPort, command->m_Request, command->m_RequestLength,
                   WriteBoundMs(wire + std::max(0LL, m_LineFreeUs - start)))) {
        return exchange.Written(false, 0, LineNow());
    }
    const long long onWire = RequestOnWire(command->m_RequestLength, start, nowUs);
    return exchange.Written(true, onWire, LineNow(nowUs));
}

long long CSerDev::RequestOnWire(int count, long long writeStartUs, long long& nowUs) {
    // write() returns once the driver has queued the bytes. The request is on
    // the wire when the driver's queue has drained, where the driver can
    // tell, and no earlier than the wire time of everything written before
    // it, where it cannot (a pseudo-terminal, a USB adapter with a deep
    // buffer).
    m_LineFreeUs = std::max(m_LineFreeUs, writeStartUs) + WireUs(count, m_nBaud);
    lk::Drain(m_hPort, WriteBoundMs(std::max(0LL, m_LineFreeUs - writeStartUs)));
    nowUs = NowUs();
    return std::max(nowUs, m_LineFreeUs);
}

int CSerDev::ReadAnswer(veltor::ReceiveTurn& turn, unsigned char* answer, long& have,
                        long long deadlineUs, long long nowUs) {
    // An answer held behind what may be a cut-off report is released once
    // the line has been quiet for longer than a report's bytes are apart.
    const long long graceUs = 20000 + WireUs(10, m_nBaud);
    long long releaseAt = 0;
    bool portReady = false;
    // A turn that reads the port itself begins with nothing in the ring and
    // nothing under way in the splitter: its first look is after the wait.
    bool waitFirst = turn.ReadsPort();
    for (;;) {
        // After a wake-up by the port, its bytes are read and the ring looked
        // into together.
        const veltor::ReceiveTurn::Look look = waitFirst
                                                   ? veltor::ReceiveTurn::Look{false, false, 2}
                                                   : turn.Read(portReady, answer, have);
        waitFirst = false;
        if (look.lost) {
            MarkLost();
        }
        // The body of an answer may take its own wire time beyond the
        // attempt's deadline.
        const long whole = look.whole;
        const bool held = look.held;
        if (have >= whole) {
            return 0;
        }
        if (m_bLost) {
            return -2;
        }
        if (m_bClosing) {
            return -3;
        }
        if (m_pCommandLock->Cancelled()) {
            return -4;
        }
        const long long endUs = have < 2 ? deadlineUs : deadlineUs + WireUs(whole - 2, m_nBaud);
        if (nowUs == 0) {
            nowUs = NowUs();
        }
        // The deadline is looked at on every turn, not only when a wait runs
        // out: a line that never stops sending (noise, a flood of zeros) must
        // not keep the attempt going.
        if (nowUs >= endUs) {
            return -1;
        }
        releaseAt = !held ? 0 : releaseAt != 0 ? releaseAt : nowUs + graceUs;
        if (releaseAt != 0 && nowUs >= releaseAt) {
            turn.ReleaseHeldAnswer();
            releaseAt = 0;
            nowUs = 0;
            portReady = false;
            continue;
        }
        const long long wakeAt = releaseAt != 0 ? std::min(releaseAt, endUs) : endUs;
        const long long left = wakeAt - nowUs;
        const long waitMs = left > 0 ? static_cast<long>((left + 999) / 1000) : 0;
        const lk::DataWait woken = lk::WaitForDataOrPort(m_hDataEvent, m_hPort, waitMs);
        nowUs = 0;
        portReady = woken == lk::DataWait::Port;
    }
}

// ---- What the instrument sent unasked ----------------------------------------------

void CSerDev::Unasked(const veltor::SplitOutput& sorted, const char* status) {
    // Reports first: a host that learns of the bytes learns of their
    // effect too.
    for (std::size_t i = 0; i < sorted.reports.count; ++i) {
        try {
            HandleDelayReport(sorted.reports.items[i].channel, sorted.reports.items[i].counts);
        } catch (...) {
            // A handler that throws loses that report only.
        }
    }
    if (sorted.other.count == 0) {
        return;
    }
    Trace(TraceEvent::kUnasked, sorted.other.items, sorted.other.count, status);
    try {
        HandingOver handing(this);
        // The handler's parameter is not const; the bytes are the
        // splitter's, and the next sort overwrites them anyway.
        HandleUnsolicited(const_cast<unsigned char*>(sorted.other.items), sorted.other.count);
    } catch (...) {
        // A host's handler that throws must not end the watcher.
    }
}

void CSerDev::MarkLost() {
    m_pBuffer->Lock();
    m_bLost = true;
    m_bConnected = false;
    m_pBuffer->Unlock();
    // Wakes an exchange waiting for bytes that will never come.
    pf::SetEvent(m_hDataEvent);
    HandleLineLost();
}

void CSerDev::HandleLineLost() {}

bool CSerDev::HandsOverLineBytes() const {
    return t_pHandingOver == this;
}

void CSerDev::StayLost() {
    m_pBuffer->Lock();
    m_bLost = !m_bConnected;
    m_pBuffer->Unlock();
}

unsigned CSerDev::CommWatchProc(void* argument) {
    CSerDev* device = static_cast<CSerDev*>(argument);
    bool lost = false;
    {
        veltor::Watcher watcher(*device->m_pReceive, device->m_hPort, device->m_hStopEvent,
                                device->m_hAsideEvent, device->m_hDataEvent);
        device->m_bWatcherStarted = watcher.Open();
        pf::SetEvent(device->m_hStartedEvent);
        if (!device->m_bWatcherStarted) {
            return 1;
        }
        try {
            lost = watcher.Run();
        } catch (...) {
            // Nothing may end the host's process from this thread (out of
            // memory included): a watcher that cannot go on gives the port up.
            lost = true;
        }
    }
    if (lost) {
        device->MarkLost();
    }
    return 0;
}
