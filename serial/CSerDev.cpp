#include <veltor/CCommand.h>
#include <veltor/CSerDev.h>

#include "platform/Platform.h"
#include "serial/CSerialBuffer.h"

namespace pf = veltor::platform;

namespace {

const unsigned char kPositiveLead = 0xAA;
const unsigned char kNegativeLead = 0xEE;
const unsigned char kReportLead = 0x51;
const unsigned char kReportLength = 8;

// A write may be held back (for instance by a flow-control line); the host
// waits for it twice the wire time of its bytes plus two seconds, then gives
// the write up instead of hanging.
long WriteBoundMs(int count, long baud) {
    if (baud <= 0) {
        baud = 2400;
    }
    const long long wireMs = static_cast<long long>(count) * 10 * 1000 / baud;
    return static_cast<long>(2000 + 2 * wireMs);
}

bool IsValidReport(const unsigned char* report) {
    if (report[0] != kReportLead || report[1] != 6 || report[2] >= 8) {
        return false;
    }
    unsigned char sum = 0;
    for (int i = 1; i < kReportLength; ++i) {
        sum = static_cast<unsigned char>(sum + report[i]);
    }
    return sum == 0;
}

}  // namespace

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
      m_LastOutcome(kNone) {}

CSerDev::~CSerDev() {
    // A device owner closes the connection first; a bare serial device is
    // closed here so that its watcher never outlives it.
    CSerDev::CloseConnection();
    delete m_pBuffer;
}

void CSerDev::HandleUnsolicited(unsigned char*, unsigned long) {}

bool CSerDev::IsConnected() const {
    return m_bConnected;
}

int CSerDev::InitConnection(int port, int baudIndex) {
    if (pf::BaudForIndex(baudIndex) == 0) {
        return -1;
    }
    char name[64];
    pf::PortName(port, name, sizeof(name));
    return InitConnection(name, baudIndex);
}

int CSerDev::InitConnection(const char* device, int baudIndex) {
    const long baud = pf::BaudForIndex(baudIndex);
    if (baud == 0) {
        return -1;
    }
    // Opening again replaces the connection (or what a failed opening left).
    CloseConnection();

    m_hDataEvent = pf::CreateEvent(false);
    if (m_hDataEvent == nullptr) {
        return -1;
    }
    m_hPort = pf::OpenPort(device);
    if (m_hPort == nullptr) {
        return -1;
    }
    const int configured = pf::PortConfigure(m_hPort, baud);
    if (configured != 0) {
        return configured;
    }
    m_nBaud = baud;
    m_hStopEvent = pf::CreateEvent(false);
    m_hStartedEvent = pf::CreateEvent(false);
    if (m_hStopEvent == nullptr || m_hStartedEvent == nullptr) {
        return -1;
    }
    pf::PortPurgeInput(m_hPort);
    m_hThread = pf::StartThread(&CSerDev::CommWatchProc, this);
    if (m_hThread == nullptr) {
        return -1;
    }
    pf::WaitForEvent(m_hStartedEvent, pf::kInfinite);
    CloseAndCleanHandle(m_hStartedEvent);
    m_bConnected = true;
    return 0;
}

int CSerDev::CloseConnection() {
    if (!pf::IsHeld(m_hStopEvent) && !pf::IsHeld(m_hThread) && !pf::IsHeld(m_hDataEvent) &&
        !pf::IsHeld(m_hPort) && !pf::IsHeld(m_hStartedEvent)) {
        m_bConnected = false;
        return 0;
    }
    if (pf::IsHeld(m_hStopEvent) && pf::IsHeld(m_hThread)) {
        pf::SetEvent(m_hStopEvent);
        pf::JoinThread(m_hThread);
    }
    CloseAndCleanHandle(m_hStopEvent);
    CloseAndCleanHandle(m_hThread);
    CloseAndCleanHandle(m_hDataEvent);
    CloseAndCleanHandle(m_hPort);
    CloseAndCleanHandle(m_hStartedEvent);
    m_bConnected = false;
    m_bAwaiting = false;
    return 0;
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

bool CSerDev::Write(unsigned char* bytes, int count) {
    if (!m_bConnected) {
        return false;
    }
    pf::PortWrite(m_hPort, bytes, count, WriteBoundMs(count, m_nBaud));
    return true;
}

bool CSerDev::SendReceive(CCommand* command) {
    if (command == nullptr || !m_bConnected) {
        m_LastOutcome = kNotConnected;
        return false;
    }
    command->m_ResponseCount = 0;
    m_pBuffer->Clear();
    // Awaiting is raised before the request goes out: an instrument that
    // answers before the write call returns must not have its answer taken
    // for unasked bytes (the retry would carry the command out twice).
    m_bAwaiting = true;
    m_LastOutcome = Exchange(command);
    m_bAwaiting = false;
    return m_LastOutcome == kSuccess;
}

CSerDev::Outcome CSerDev::GetLastOutcome() const {
    return m_LastOutcome;
}

CSerDev::Outcome CSerDev::Exchange(CCommand* command) {
    if (!pf::PortWrite(m_hPort, command->m_Request, command->m_RequestLength,
                       WriteBoundMs(command->m_RequestLength, m_nBaud))) {
        return kWriteFailed;
    }
    unsigned char scratch[1024];
    const long timeout = command->m_Timeout;
    if (ReadN(scratch, 2, timeout) != 0) {
        return kNoAnswer;
    }
    // A delay report the instrument sent just before its answer is handed to
    // the unasked-bytes path instead of failing the attempt, so the report is
    // kept and the command is not carried out a second time by a retry.
    while (scratch[0] == kReportLead && scratch[1] == kReportLength - 2) {
        if (ReadN(scratch + 2, kReportLength - 2, timeout) != 0) {
            return kNoAnswer;
        }
        if (!IsValidReport(scratch)) {
            break;
        }
        m_pBuffer->Lock();
        try {
            HandleUnsolicited(scratch, kReportLength);
        } catch (...) {
        }
        m_pBuffer->Unlock();
        if (ReadN(scratch, 2, timeout) != 0) {
            return kNoAnswer;
        }
    }
    if (scratch[0] == kNegativeLead) {
        return kNegative;
    }
    if (scratch[0] != kPositiveLead) {
        pf::PortPurgeInput(m_hPort);
        return kWrongLead;
    }
    if (command->AddResponse(scratch, 2)) {
        return kSuccess;
    }
    const long length = scratch[1];
    if (ReadN(scratch, length, timeout) != 0) {
        return kIncomplete;
    }
    const bool complete = command->AddResponse(scratch, static_cast<unsigned int>(length));
    if (!complete) {
        return kIncomplete;
    }
    return command->m_ResponseCount == CCommand::kChecksumFailed ? kBadChecksum : kSuccess;
}

long CSerDev::ReadN(unsigned char* destination, long count, long timeout) {
    long delivered = m_pBuffer->Get(destination, count, m_hDataEvent);
    while (delivered < count) {
        if (pf::WaitForEvent(m_hDataEvent, timeout) != pf::WaitResult::Signalled) {
            return -1;
        }
        delivered += m_pBuffer->Get(destination + delivered, count - delivered, m_hDataEvent);
    }
    return 0;
}

unsigned CSerDev::CommWatchProc(void* argument) {
    CSerDev* device = static_cast<CSerDev*>(argument);
    pf::Watch* watch = pf::WatchOpen(device->m_hPort, device->m_hStopEvent);
    pf::SetEvent(device->m_hStartedEvent);
    if (watch == nullptr) {
        return 1;
    }
    unsigned char drained[CSerialBuffer::kSize];
    bool running = true;
    while (running) {
        const pf::WatchEvent event = pf::WatchWait(watch);
        if (event == pf::WatchEvent::Stop) {
            break;
        }
        if (event == pf::WatchEvent::Failed) {
            running = false;
            break;
        }
        bool stored = false;
        device->m_pBuffer->Lock();
        try {
            const long count = pf::WatchRead(watch, drained, sizeof(drained));
            if (count < 0) {
                running = false;
            } else if (count > 0) {
                if (device->m_bAwaiting) {
                    device->m_pBuffer->Put(drained, static_cast<unsigned long>(count));
                    stored = true;
                } else {
                    device->HandleUnsolicited(drained, static_cast<unsigned long>(count));
                }
            }
        } catch (...) {
            // A host's handler that throws must not end the watcher.
            stored = false;
        }
        device->m_pBuffer->Unlock();
        if (stored) {
            pf::SetEvent(device->m_hDataEvent);
        }
    }
    pf::WatchClose(watch);
    return 0;
}
