// A COM port on Win32 with overlapped I/O, and the watcher's waits on it.
#include <cstdio>
#include <cstring>
#include <new>
#include <string>

#include "platform/win32/Win32.h"
#include "serial/link/Kinds.h"

namespace veltor {
namespace link {

namespace {

using platform::ToWin32;

// Received characters and transmit-buffer-empty, the events the watcher asks
// the port for.
const DWORD kWatchedEvents = EV_RXCHAR | EV_TXEMPTY;

// The most one read takes from the receive queue.
const DWORD kReadChunk = 4096;

// The receive queue holds bytes when a read is issued, so it completes at
// once on any driver we know; the bound only keeps a misbehaving driver from
// hanging the watcher with the receive lock held.
const DWORD kReadBoundMs = 1000;

// Under Wine a wait for serial events on a pseudo-terminal is unreliable
// (see WatchWait): the queue is looked at this often besides.
const DWORD kWineQueueCheckMs = 10;

// A port whose waits for events keep ending with nothing to report is polled
// instead (see StartPolling): after this many such waits in a row with
// nothing queued. Wine ends a wait on a pseudo-terminal that way every 2 to 3
// ms, and each wait costs the process and the Wine server together about a
// millisecond of processor time: waiting again at once kept them at 40 % of a
// processor while the line was quiet. A driver whose waits work hardly ever
// ends one empty, never several in a row, and is never polled.
const unsigned kEmptyWaitsBeforePolling = 4;

// The pause between two looks at a polled port's queue. It is the shortest
// for kPollQuickMs after a write (its answer is due) or after received bytes
// (more of the same burst may follow), then doubles up to the longest while
// the line stays quiet: an unasked byte is seen within kPollPauseMaxMs. A
// look costs under Wine about 80 us of processor time, the Wine server's
// share included, so an idle polled port costs about 2 % of a processor.
const DWORD kPollPauseMinMs = 1;
const DWORD kPollPauseMaxMs = 5;
const DWORD kPollQuickMs = 100;

// How long a cancelled operation is given to report its end before its
// OVERLAPPED record is abandoned rather than freed under the driver.
const DWORD kCancelBoundMs = 1000;

// True once the operation has ended. The status word, not the event, is
// what counts: under Wine the event of an overlapped operation is at times
// found set while its status still reads pending (a late signal of an
// earlier operation on the same event, or one that runs ahead of the status).
bool HasEnded(const OVERLAPPED* overlapped) {
    return static_cast<volatile const ULONG_PTR&>(overlapped->Internal) != STATUS_PENDING;
}

// Waits at most timeoutMs (INFINITE: no limit) for an overlapped operation
// to end. A set event whose operation has not ended is reset and waited on
// again; a real completion writes the status before it sets the event, so
// the check after the reset cannot miss it.
bool AwaitEnd(OVERLAPPED* overlapped, DWORD timeoutMs) {
    const ULONGLONG deadline = ::GetTickCount64() + timeoutMs;
    for (;;) {
        if (HasEnded(overlapped)) {
            return true;
        }
        DWORD wait = INFINITE;
        if (timeoutMs != INFINITE) {
            const ULONGLONG now = ::GetTickCount64();
            wait = now >= deadline ? 0 : static_cast<DWORD>(deadline - now);
        }
        if (::WaitForSingleObject(overlapped->hEvent, wait) != WAIT_OBJECT_0) {
            return HasEnded(overlapped);
        }
        if (!HasEnded(overlapped)) {
            ::ResetEvent(overlapped->hEvent);
        }
    }
}

bool RunningUnderWine() {
    const HMODULE ntdll = ::GetModuleHandleA("ntdll.dll");
    return ntdll != nullptr && ::GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

// An overlapped operation together with the bytes the driver reads from or
// writes into. Both live on the heap, apart from the caller's memory, so that
// an operation whose cancel never settles can be left with the driver instead
// of writing into memory that has gone.
struct IoRecord {
    OVERLAPPED overlapped;
    // Issued and not yet seen to end: the driver may still write the record
    // and its bytes.
    bool pending;
    DWORD capacity;

    unsigned char* Bytes() { return reinterpret_cast<unsigned char*>(this + 1); }
};

// A record with room for capacity bytes and a manual-reset event of its own;
// null when either cannot be had.
IoRecord* NewRecord(DWORD capacity) {
    void* memory = ::operator new(sizeof(IoRecord) + capacity, std::nothrow);
    if (memory == nullptr) {
        return nullptr;
    }
    IoRecord* record = static_cast<IoRecord*>(memory);
    std::memset(record, 0, sizeof(IoRecord));
    record->capacity = capacity;
    record->overlapped.hEvent = ::CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (record->overlapped.hEvent == nullptr) {
        ::operator delete(memory);
        return nullptr;
    }
    return record;
}

// Makes the record ready for the next operation.
OVERLAPPED* Rearm(IoRecord* record) {
    const HANDLE event = record->overlapped.hEvent;
    ::ResetEvent(event);
    std::memset(&record->overlapped, 0, sizeof(record->overlapped));
    record->overlapped.hEvent = event;
    record->pending = false;
    return &record->overlapped;
}

// Waits, bounded, for a record's operation to end, cancelling it first when
// it has not. Only this one operation is cancelled: the watcher's wait for
// port events may be pending on the same port meanwhile. False when the
// operation did not end: the driver still holds the record.
bool Settle(HANDLE port, IoRecord* record) {
    if (!record->pending) {
        return true;
    }
    if (!HasEnded(&record->overlapped)) {
        ::CancelIoEx(port, &record->overlapped);
        // Within a deadline (the port probe) the cancel gets what is left
        // of it: a record abandoned costs less than a broken bound.
        if (!AwaitEnd(&record->overlapped,
                      static_cast<DWORD>(PortDeadline::Bound(static_cast<long>(kCancelBoundMs))))) {
            return false;
        }
    }
    DWORD ignored = 0;
    ::GetOverlappedResult(port, &record->overlapped, &ignored, FALSE);
    record->pending = false;
    return true;
}

// Frees a record once its operation has ended or has been cancelled and
// settled. A record whose cancel never settles is left allocated for good,
// deliberately: the driver may still write into it or read from it, and
// memory lost once on a failing port is the lesser harm.
void Release(HANDLE port, IoRecord* record) {
    if (record == nullptr || !Settle(port, record)) {
        return;
    }
    ::CloseHandle(record->overlapped.hEvent);
    ::operator delete(static_cast<void*>(record));
}

// The port's queues, clearing any line error; false when the port cannot
// tell.
bool ReadStatus(HANDLE port, COMSTAT& status) {
    DWORD errors = 0;
    std::memset(&status, 0, sizeof(status));
    return ::ClearCommError(port, &errors, &status) != 0;
}

// The port's line settings; false when the port cannot tell.
bool ReadLineSettings(HANDLE port, DCB& dcb) {
    std::memset(&dcb, 0, sizeof(dcb));
    dcb.DCBlength = sizeof(dcb);
    return ::GetCommState(port, &dcb) != 0;
}

// The number of bytes in the driver's receive queue, clearing any line
// error; -1 when the port cannot tell, which is how a port that has gone
// away answers (under Wine, a pseudo-terminal whose master closed fails with
// ERROR_NOT_READY).
long QueuedBytes(HANDLE port) {
    COMSTAT status;
    if (!ReadStatus(port, status)) {
        return -1;
    }
    return static_cast<long>(status.cbInQue);
}

// Reads at most capacity of the queued bytes through the record. Only what
// the driver reports queued is asked for: Wine leaves a read on an empty
// pseudo-terminal pending despite the read time-outs. A read reported
// pending is waited for with a bound; one that does not end in time stays
// pending in the record for the caller to settle. Returns the number read,
// or -1 when the port is gone or the read failed.
long ReadThrough(HANDLE port, IoRecord* record, unsigned char* buffer, std::size_t capacity) {
    const long queued = QueuedBytes(port);
    if (queued <= 0) {
        return queued;
    }
    DWORD wanted = static_cast<DWORD>(queued);
    if (wanted > capacity) {
        wanted = static_cast<DWORD>(capacity);
    }
    if (wanted > record->capacity) {
        wanted = record->capacity;
    }
    if (wanted == 0) {
        return 0;
    }
    OVERLAPPED* overlapped = Rearm(record);
    DWORD got = 0;
    if (!::ReadFile(port, record->Bytes(), wanted, &got, overlapped)) {
        if (::GetLastError() != ERROR_IO_PENDING) {
            return -1;
        }
        record->pending = true;
        if (!AwaitEnd(overlapped, kReadBoundMs)) {
            return -1;
        }
        record->pending = false;
        // Under Wine a read of a pseudo-terminal whose master closed ends
        // here with ERROR_BROKEN_PIPE.
        if (!::GetOverlappedResult(port, overlapped, &got, FALSE)) {
            return -1;
        }
    }
    std::memcpy(buffer, record->Bytes(), got);
    return static_cast<long>(got);
}

class ComLink;

// The watcher's waits on a COM port.
class ComWatch : public Watch {
public:
    ComWatch(ComLink& link, HANDLE port, HANDLE stopEvent);
    ~ComWatch() override;
    // False when the records or events cannot be had.
    bool Ready() const { return m_pWait != nullptr && m_pRead != nullptr && m_hWritten != nullptr; }
    WatchEvent Wait(bool withPort, long timeoutMs, bool hangUp) override;
    long Read(unsigned char* buffer, std::size_t capacity) override;
    // Ends the pause of a polled port: a write was made.
    void Written() { ::SetEvent(m_hWritten); }

private:
    void PollQuickly();
    void StartPolling();
    void FreeCancelledWait();
    WatchEvent PollWait();

    ComLink& m_Link;
    HANDLE m_hPort;
    HANDLE m_hStop;
    // The watcher's WaitCommEvent; its bytes hold the event mask the port
    // writes when the wait ends. Null once a wait was abandoned after a
    // cancel that did not settle.
    IoRecord* m_pWait = nullptr;
    // The watcher's reads, one record used again and again; null once a read
    // was abandoned after a cancel that did not settle.
    IoRecord* m_pRead = nullptr;
    // How long a wait for port events may last before the queue is looked
    // at: INFINITE where the events can be trusted.
    DWORD m_QueueCheckMs = INFINITE;
    // Waits in a row that ended with nothing to report and nothing queued.
    unsigned m_EmptyWaits = 0;
    // Set once the port's waits for events were found not to work: its queue
    // is looked at after a pause instead, for the rest of the connection.
    bool m_bPolling = false;
    // Set by a write on a polled port (auto-reset): it ends the pause.
    HANDLE m_hWritten = nullptr;
    DWORD m_PauseMs = 0;         // the next pause of a polled port
    ULONGLONG m_QuickUntil = 0;  // pauses stay the shortest until then
    // The wait for events cancelled when polling began, until it has ended.
    IoRecord* m_pCancelled = nullptr;
};

class ComLink : public Link {
public:
    explicit ComLink(HANDLE port) : m_hPort(port) {}
    ~ComLink() override {
        // Within a deadline (the port probe) a port's unsent bytes are
        // dropped rather than waited for.
        if (PortDeadline::Active()) {
            ::PurgeComm(m_hPort, PURGE_TXABORT | PURGE_TXCLEAR);
        }
        ::CloseHandle(m_hPort);
    }

    int Configure(long baud) override {
        if (!::SetCommMask(m_hPort, kWatchedEvents)) {
            return -2;
        }

        DCB dcb;
        if (!ReadLineSettings(m_hPort, dcb)) {
            return -3;
        }
        dcb.BaudRate = static_cast<DWORD>(baud);
        dcb.ByteSize = 8;
        dcb.Parity = NOPARITY;
        dcb.StopBits = ONESTOPBIT;
        // Frames, answers and reports are binary: 0x11 and 0x13 in them must
        // not be taken for XON/XOFF in either direction (a port set up for
        // software flow control swallows them and stops its output at the
        // first 0x13), null bytes must not be stripped, and no byte replaced
        // or checked for parity.
        dcb.fBinary = TRUE;
        dcb.fParity = FALSE;
        dcb.fOutX = FALSE;
        dcb.fInX = FALSE;
        dcb.fNull = FALSE;
        dcb.fErrorChar = FALSE;
        // A line error (noise on the line) must not fail the watcher's wait
        // and every read and write until someone clears it: the watcher takes
        // a failed wait for a port that is gone.
        dcb.fAbortOnError = FALSE;
        // Bits 3 to 6 of the flag word (0x78): no DSR output flow control,
        // DTR held off, no DSR sensitivity. CTS flow and RTS control stay as
        // the port had them.
        dcb.fOutxDsrFlow = FALSE;
        dcb.fDtrControl = DTR_CONTROL_DISABLE;
        dcb.fDsrSensitivity = FALSE;
        if (!::SetCommState(m_hPort, &dcb)) {
            return -4;
        }

        // A read returns at once with whatever is queued; writes have no
        // limit of the driver's own (Write bounds its wait itself).
        COMMTIMEOUTS timeouts;
        timeouts.ReadIntervalTimeout = MAXDWORD;
        timeouts.ReadTotalTimeoutMultiplier = 0;
        timeouts.ReadTotalTimeoutConstant = 0;
        timeouts.WriteTotalTimeoutMultiplier = 0;
        timeouts.WriteTotalTimeoutConstant = 0;
        if (!::SetCommTimeouts(m_hPort, &timeouts)) {
            return -5;
        }
        return 0;
    }

    void PurgeInput() override { ::PurgeComm(m_hPort, PURGE_RXCLEAR); }

    bool Write(const unsigned char* bytes, int count, long timeoutMs) override {
        if (count == 0) {
            return true;
        }
        // The driver reads the bytes from the record's copy: the caller's
        // buffer may be gone by the time a write given up ends.
        IoRecord* record = NewRecord(static_cast<DWORD>(count));
        if (record == nullptr) {
            return false;
        }
        std::memcpy(record->Bytes(), bytes, static_cast<std::size_t>(count));
        OVERLAPPED* overlapped = Rearm(record);

        bool written = false;
        DWORD done = 0;
        if (::WriteFile(m_hPort, record->Bytes(), static_cast<DWORD>(count), &done, overlapped)) {
            written = done == static_cast<DWORD>(count);
        } else if (::GetLastError() == ERROR_IO_PENDING) {
            record->pending = true;
            const DWORD limit = timeoutMs < 0 ? INFINITE : static_cast<DWORD>(timeoutMs);
            if (AwaitEnd(overlapped, limit)) {
                record->pending = false;
                written = ::GetOverlappedResult(m_hPort, overlapped, &done, FALSE) &&
                          done == static_cast<DWORD>(count);
            }
        }
        // A write still pending is cancelled here.
        Release(m_hPort, record);
        if (written) {
            WakePolledWatcher();
        }
        return written;
    }

    void Drain(long timeoutMs) override {
        DCB dcb;
        if (timeoutMs <= 0 || !ReadLineSettings(m_hPort, dcb) || dcb.BaudRate == 0) {
            return;
        }
        // No port event tells when the output queue has emptied without
        // taking the watcher's wait for events: the queue is looked at again
        // after about the wire time of what it held, until it is empty or
        // the bound has passed. A driver that reports its queue empty (a USB
        // adapter with a buffer of its own) ends the wait at once.
        const ULONGLONG deadline = ::GetTickCount64() + static_cast<ULONGLONG>(timeoutMs);
        for (;;) {
            COMSTAT status;
            if (!ReadStatus(m_hPort, status) || status.cbOutQue == 0) {
                return;
            }
            const ULONGLONG now = ::GetTickCount64();
            if (now >= deadline) {
                return;
            }
            ULONGLONG pause =
                static_cast<ULONGLONG>(status.cbOutQue) * 10 * 1000 / dcb.BaudRate + 1;
            if (pause > deadline - now) {
                pause = deadline - now;
            }
            ::Sleep(static_cast<DWORD>(pause));
        }
    }

    long ReadQueued(unsigned char* buffer, std::size_t capacity) override {
        if (capacity > kReadChunk) {
            capacity = kReadChunk;
        }
        // A record of its own for each read: the caller's thread may end,
        // and its buffer go, while a read abandoned here is still held by
        // the driver.
        IoRecord* record = NewRecord(static_cast<DWORD>(capacity));
        if (record == nullptr) {
            // Nothing was read; the bytes stay queued for a later read.
            return QueuedBytes(m_hPort) < 0 ? -1 : 0;
        }
        const long got = ReadThrough(m_hPort, record, buffer, capacity);
        Release(m_hPort, record);
        return got;
    }

    // An overlapped wait on the port beside the data event would need a
    // second WaitCommEvent on a handle that allows one: the exchange waits on
    // its event alone, and the watcher reads every byte.
    DataWait WaitForData(Handle event, long timeoutMs) override {
        return ToDataWait(platform::WaitEventAlone(event, timeoutMs));
    }

    // The exchange never reads the port itself here (PortWaitable is false),
    // so the watcher has no reason to stand aside and takes no aside event.
    Watch* OpenWatch(Handle stopEvent, Handle) override {
        ComWatch* watch = new (std::nothrow) ComWatch(*this, m_hPort, ToWin32(stopEvent));
        if (watch != nullptr && !watch->Ready()) {
            delete watch;
            return nullptr;
        }
        return watch;
    }

    // The watch of this port while it is polled, so that a write can wake
    // its watcher for the answer it is likely to bring. The watch joins on
    // the watcher thread when it starts polling and leaves when it is
    // closed; writers only read it.
    void SetPolled(ComWatch* watch) {
        ::AcquireSRWLockExclusive(&m_PolledLock);
        m_pPolled = watch;
        ::ReleaseSRWLockExclusive(&m_PolledLock);
    }

private:
    // Wakes the watcher of a polled port after a write; nothing for a port
    // whose waits work.
    void WakePolledWatcher() {
        ::AcquireSRWLockShared(&m_PolledLock);
        if (m_pPolled != nullptr) {
            m_pPolled->Written();
        }
        ::ReleaseSRWLockShared(&m_PolledLock);
    }

    const HANDLE m_hPort;
    SRWLOCK m_PolledLock = SRWLOCK_INIT;
    ComWatch* m_pPolled = nullptr;
};

ComWatch::ComWatch(ComLink& link, HANDLE port, HANDLE stopEvent)
    : m_Link(link), m_hPort(port), m_hStop(stopEvent) {
    m_QueueCheckMs = RunningUnderWine() ? kWineQueueCheckMs : INFINITE;
    m_pWait = NewRecord(sizeof(DWORD));
    m_pRead = NewRecord(kReadChunk);
    m_hWritten = ::CreateEventA(nullptr, FALSE, FALSE, nullptr);
}

ComWatch::~ComWatch() {
    if (m_bPolling) {
        m_Link.SetPolled(nullptr);
    }
    Release(m_hPort, m_pWait);
    Release(m_hPort, m_pRead);
    // A cancelled wait that has still not ended is left with the driver
    // (see Release): its cancel was asked for long ago, and waiting for it
    // again would only hold up the close.
    FreeCancelledWait();
    if (m_hWritten != nullptr) {
        ::CloseHandle(m_hWritten);
    }
}

// The line is expected to be busy for a while from now: an answer or the
// rest of a burst may come at any moment.
void ComWatch::PollQuickly() {
    m_PauseMs = kPollPauseMinMs;
    m_QuickUntil = ::GetTickCount64() + kPollQuickMs;
}

// Polls the port from now on. Its pending wait for events, if any, is
// cancelled but not waited for: under Wine such a cancel at times reports no
// end for longer than any bound, and the watcher would read nothing
// meanwhile (a command's answer waited for a second, the command sent again).
// The record is freed once its wait has ended (FreeCancelledWait). Watcher
// thread.
void ComWatch::StartPolling() {
    if (m_pWait != nullptr && m_pWait->pending) {
        ::CancelIoEx(m_hPort, &m_pWait->overlapped);
        m_pCancelled = m_pWait;
        m_pWait = nullptr;
    }
    m_bPolling = true;
    PollQuickly();
    m_Link.SetPolled(this);
}

// Frees the record of the wait cancelled when polling began, once the wait
// has ended; until then the driver may still write into it.
void ComWatch::FreeCancelledWait() {
    if (m_pCancelled != nullptr && HasEnded(&m_pCancelled->overlapped)) {
        Release(m_hPort, m_pCancelled);
        m_pCancelled = nullptr;
    }
}

// A polled port's wait: the queue is looked at, then again after a pause
// while it stays empty. A failed look is a port that has gone (see
// QueuedBytes), seen within one pause.
WatchEvent ComWatch::PollWait() {
    const HANDLE waitList[2] = {m_hStop, m_hWritten};
    for (;;) {
        FreeCancelledWait();
        const long queued = QueuedBytes(m_hPort);
        if (queued < 0) {
            return WatchEvent::Failed;
        }
        if (queued > 0) {
            PollQuickly();
            return WatchEvent::Received;
        }
        const DWORD woken = ::WaitForMultipleObjects(2, waitList, FALSE, m_PauseMs);
        if (woken == WAIT_OBJECT_0) {
            return WatchEvent::Stop;
        }
        if (woken == WAIT_OBJECT_0 + 1) {
            PollQuickly();
        } else if (woken != WAIT_TIMEOUT) {
            return WatchEvent::Failed;
        } else if (::GetTickCount64() >= m_QuickUntil) {
            m_PauseMs = m_PauseMs * 2 < kPollPauseMaxMs ? m_PauseMs * 2 : kPollPauseMaxMs;
        }
    }
}

// The watcher reads every byte here (PortWaitable is false): it never stands
// aside, so it waits on the port always and without a limit.
WatchEvent ComWatch::Wait(bool, long, bool) {
    if (m_bPolling) {
        return PollWait();
    }
    IoRecord* wait = m_pWait;
    DWORD* mask = reinterpret_cast<DWORD*>(wait->Bytes());
    const HANDLE waitList[2] = {m_hStop, wait->overlapped.hEvent};
    for (;;) {
        if (!wait->pending) {
            OVERLAPPED* overlapped = Rearm(wait);
            *mask = 0;
            if (!::WaitCommEvent(m_hPort, mask, overlapped)) {
                if (::GetLastError() != ERROR_IO_PENDING) {
                    return WatchEvent::Failed;
                }
                wait->pending = true;
            }
        }

        if (wait->pending) {
            const DWORD woken = ::WaitForMultipleObjects(2, waitList, FALSE, m_QueueCheckMs);
            if (woken == WAIT_OBJECT_0) {
                return WatchEvent::Stop;
            }
            if (woken == WAIT_TIMEOUT) {
                // Wine at times leaves a wait pending for good while bytes sit
                // in the queue: a wait that does not report them is of no use,
                // and the port is polled from here on.
                const long queued = QueuedBytes(m_hPort);
                if (queued < 0) {
                    return WatchEvent::Failed;
                }
                if (queued > 0) {
                    StartPolling();
                    return WatchEvent::Received;
                }
                continue;
            }
            if (woken != WAIT_OBJECT_0 + 1) {
                return WatchEvent::Failed;
            }
            if (!HasEnded(&wait->overlapped)) {
                // Woken by the event while the wait still reads pending (see
                // HasEnded): wait on, unless it ended just now.
                ::ResetEvent(wait->overlapped.hEvent);
                if (!HasEnded(&wait->overlapped)) {
                    continue;
                }
            }
            wait->pending = false;
            DWORD ignored = 0;
            if (!::GetOverlappedResult(m_hPort, &wait->overlapped, &ignored, FALSE)) {
                // Wine cannot wait for serial events on a pseudo-terminal: it
                // ends most pending waits after about 3 ms as aborted, with an
                // empty mask, and reports received bytes only when a wait is
                // issued while they are queued. Nothing else here cancels the
                // wait.
                if (::GetLastError() != ERROR_OPERATION_ABORTED) {
                    return WatchEvent::Failed;
                }
                *mask = 0;
            }
        }
        if ((*mask & ~static_cast<DWORD>(EV_TXEMPTY)) != 0) {
            m_EmptyWaits = 0;
            return WatchEvent::Received;
        }
        // Transmit-buffer-empty alone says nothing about input, and an empty
        // mask nothing at all. The queue tells whether bytes wait and whether
        // the port is still there: under Wine every wait on a pseudo-terminal
        // whose master closed ends at once as aborted, and only the queue
        // check, failing, tells the port is gone.
        const long queued = QueuedBytes(m_hPort);
        if (queued < 0) {
            return WatchEvent::Failed;
        }
        if (queued > 0) {
            m_EmptyWaits = 0;
            return WatchEvent::Received;
        }
        m_EmptyWaits = *mask == 0 ? m_EmptyWaits + 1 : 0;
        if (m_EmptyWaits >= kEmptyWaitsBeforePolling) {
            // Waiting again at once would spin through the driver (and under
            // Wine, its server) for as long as the line is quiet.
            StartPolling();
            return PollWait();
        }
    }
}

long ComWatch::Read(unsigned char* buffer, std::size_t capacity) {
    if (m_pRead == nullptr) {
        return -1;
    }
    const long got = ReadThrough(m_hPort, m_pRead, buffer, capacity);
    if (!Settle(m_hPort, m_pRead)) {
        // Left with the driver (see Release); the watcher ends on the -1.
        m_pRead = nullptr;
    }
    return got;
}

}  // namespace

Link* OpenSerialPort(const char* name) {
    HANDLE port = ::CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                FILE_FLAG_OVERLAPPED, nullptr);
    if (port == INVALID_HANDLE_VALUE) {
        return nullptr;
    }
    ComLink* link = new (std::nothrow) ComLink(port);
    if (link == nullptr) {
        ::CloseHandle(port);
    }
    return link;
}

bool PortWaitable() {
    return false;
}

}  // namespace link
}  // namespace veltor
