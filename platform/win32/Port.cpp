// COM ports on Win32 with overlapped I/O, and the watcher's waits on them.
#include <cstdio>
#include <cstring>
#include <new>

#include "platform/win32/Win32.h"

namespace veltor {
namespace platform {

namespace {

// Received characters and transmit-buffer-empty, the events the watcher asks
// the port for.
const DWORD kWatchedEvents = EV_RXCHAR | EV_TXEMPTY;

// The receive queue holds bytes when a read is issued, so it completes at
// once on any driver we know; the bound only keeps a misbehaving driver from
// hanging the watcher with the receive lock held.
const DWORD kReadBoundMs = 1000;

// Under Wine a wait for serial events on a pseudo-terminal is unreliable
// (see WatchWait): the queue is looked at this often besides.
const DWORD kWineQueueCheckMs = 10;

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

DWORD QueuedBytes(HANDLE port) {
    DWORD errors = 0;
    COMSTAT status;
    std::memset(&status, 0, sizeof(status));
    return ::ClearCommError(port, &errors, &status) ? status.cbInQue : 0;
}

// Cancels this thread's pending I/O on the port and waits, bounded, for the
// operation to end. False when it did not: its record and buffer must then
// stay allocated.
bool CancelAndSettle(HANDLE port, OVERLAPPED* overlapped) {
    ::CancelIo(port);
    if (!AwaitEnd(overlapped, kCancelBoundMs)) {
        return false;
    }
    DWORD ignored = 0;
    ::GetOverlappedResult(port, overlapped, &ignored, FALSE);
    return true;
}

}  // namespace

void PortName(int portNumber, char* name, std::size_t size) {
    std::snprintf(name, size, "\\\\.\\COM%i", portNumber);
}

Handle OpenPort(const char* name) {
    if (name == nullptr) {
        return nullptr;
    }
    HANDLE port = ::CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                FILE_FLAG_OVERLAPPED, nullptr);
    return port == INVALID_HANDLE_VALUE ? nullptr : FromWin32(port);
}

int PortConfigure(Handle handle, long baud) {
    HANDLE port = ToWin32(handle);
    if (!::SetCommMask(port, kWatchedEvents)) {
        return -2;
    }

    DCB dcb;
    std::memset(&dcb, 0, sizeof(dcb));
    dcb.DCBlength = 28;
    if (!::GetCommState(port, &dcb)) {
        return -3;
    }
    dcb.BaudRate = static_cast<DWORD>(baud);
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    // Bits 3 to 6 of the flag word (0x78): no DSR output flow control, DTR
    // held off, no DSR sensitivity. CTS flow, RTS control and XON/XOFF stay
    // as the port had them.
    dcb.fOutxDsrFlow = FALSE;
    dcb.fDtrControl = DTR_CONTROL_DISABLE;
    dcb.fDsrSensitivity = FALSE;
    if (!::SetCommState(port, &dcb)) {
        return -4;
    }

    // A read returns at once with whatever is queued; writes have no limit of
    // the driver's own (PortWrite bounds its wait itself).
    COMMTIMEOUTS timeouts;
    timeouts.ReadIntervalTimeout = MAXDWORD;
    timeouts.ReadTotalTimeoutMultiplier = 0;
    timeouts.ReadTotalTimeoutConstant = 0;
    timeouts.WriteTotalTimeoutMultiplier = 0;
    timeouts.WriteTotalTimeoutConstant = 0;
    if (!::SetCommTimeouts(port, &timeouts)) {
        return -5;
    }
    return 0;
}

void PortPurgeInput(Handle port) {
    ::PurgeComm(ToWin32(port), PURGE_RXCLEAR);
}

bool PortWrite(Handle handle, const unsigned char* bytes, int count, long timeoutMs) {
    if (count <= 0) {
        return count == 0;
    }
    HANDLE port = ToWin32(handle);
    OVERLAPPED overlapped;
    std::memset(&overlapped, 0, sizeof(overlapped));
    overlapped.hEvent = ::CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (overlapped.hEvent == nullptr) {
        return false;
    }

    bool written = false;
    DWORD done = 0;
    if (::WriteFile(port, bytes, static_cast<DWORD>(count), &done, &overlapped)) {
        written = done == static_cast<DWORD>(count);
    } else if (::GetLastError() == ERROR_IO_PENDING) {
        const DWORD limit = timeoutMs < 0 ? INFINITE : static_cast<DWORD>(timeoutMs);
        if (AwaitEnd(&overlapped, limit)) {
            written = ::GetOverlappedResult(port, &overlapped, &done, FALSE) &&
                      done == static_cast<DWORD>(count);
        } else if (!CancelAndSettle(port, &overlapped)) {
            // The driver still holds the record; leaving its event open is
            // the lesser harm than closing it under a completing write.
            return false;
        }
    }
    ::CloseHandle(overlapped.hEvent);
    return written;
}

// ---- The watcher's waits ----------------------------------------------------

struct Watch {
    HANDLE port;
    HANDLE stopEvent;
    // Manual-reset events of the watcher's own WaitCommEvent and ReadFile.
    HANDLE portEvent;
    HANDLE readEvent;
    OVERLAPPED waitOverlapped;
    DWORD eventMask;
    // A WaitCommEvent was issued and has not yet been seen to complete: the
    // port still writes eventMask through waitOverlapped.
    bool waitPending;
    OVERLAPPED readOverlapped;
    // Reads land here, not in the caller's buffer, so that a read abandoned
    // after a failed cancel cannot write into memory that is gone.
    unsigned char readBuffer[4096];
    // An operation never reported its end after being cancelled: the record
    // is left allocated on close.
    bool abandoned;
    // How long a wait for port events may last before the queue is looked
    // at: INFINITE where the events can be trusted.
    DWORD queueCheckMs;
};

Watch* WatchOpen(Handle port, Handle stopEvent) {
    Watch* watch = new (std::nothrow) Watch;
    if (watch == nullptr) {
        return nullptr;
    }
    std::memset(watch, 0, sizeof(*watch));
    watch->port = ToWin32(port);
    watch->stopEvent = ToWin32(stopEvent);
    watch->queueCheckMs = RunningUnderWine() ? kWineQueueCheckMs : INFINITE;
    watch->portEvent = ::CreateEventA(nullptr, TRUE, FALSE, nullptr);
    watch->readEvent = ::CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (watch->portEvent == nullptr || watch->readEvent == nullptr) {
        WatchClose(watch);
        return nullptr;
    }
    return watch;
}

void WatchClose(Watch* watch) {
    if (watch == nullptr) {
        return;
    }
    if (watch->waitPending && !CancelAndSettle(watch->port, &watch->waitOverlapped)) {
        watch->abandoned = true;
    }
    if (watch->abandoned) {
        return;
    }
    if (watch->portEvent != nullptr) {
        ::CloseHandle(watch->portEvent);
    }
    if (watch->readEvent != nullptr) {
        ::CloseHandle(watch->readEvent);
    }
    delete watch;
}

WatchEvent WatchWait(Watch* watch) {
    const HANDLE waitList[2] = {watch->stopEvent, watch->portEvent};
    for (;;) {
        if (!watch->waitPending) {
            ::ResetEvent(watch->portEvent);
            std::memset(&watch->waitOverlapped, 0, sizeof(watch->waitOverlapped));
            watch->waitOverlapped.hEvent = watch->portEvent;
            watch->eventMask = 0;
            if (::WaitCommEvent(watch->port, &watch->eventMask, &watch->waitOverlapped)) {
                ::SetEvent(watch->portEvent);
            } else if (::GetLastError() != ERROR_IO_PENDING) {
                return WatchEvent::Failed;
            }
            watch->waitPending = true;
        }

        const DWORD woken = ::WaitForMultipleObjects(2, waitList, FALSE, watch->queueCheckMs);
        if (woken == WAIT_OBJECT_0) {
            return WatchEvent::Stop;
        }
        if (woken == WAIT_TIMEOUT) {
            // Wine at times leaves a wait pending for good while bytes sit in
            // the queue. They are reported here; the wait stays issued and is
            // waited on again next time.
            if (QueuedBytes(watch->port) != 0) {
                return WatchEvent::Received;
            }
            continue;
        }
        if (woken != WAIT_OBJECT_0 + 1) {
            return WatchEvent::Failed;
        }
        if (!HasEnded(&watch->waitOverlapped)) {
            // Woken by the event while the wait still reads pending (see
            // HasEnded): wait on, unless it ended just now.
            ::ResetEvent(watch->portEvent);
            if (!HasEnded(&watch->waitOverlapped)) {
                continue;
            }
        }
        watch->waitPending = false;
        DWORD ignored = 0;
        if (!::GetOverlappedResult(watch->port, &watch->waitOverlapped, &ignored, FALSE)) {
            // Wine cannot wait for serial events on a pseudo-terminal: it ends
            // most pending waits after about 3 ms as aborted, with an empty
            // mask, and reports received bytes when a wait is issued while
            // they are queued. Nothing else here cancels the wait.
            if (::GetLastError() != ERROR_OPERATION_ABORTED) {
                return WatchEvent::Failed;
            }
            watch->eventMask = 0;
        }
        // Transmit-buffer-empty alone says nothing about input, and an empty
        // mask nothing at all: both mean wait again.
        if ((watch->eventMask & ~static_cast<DWORD>(EV_TXEMPTY)) != 0) {
            return WatchEvent::Received;
        }
    }
}

long WatchRead(Watch* watch, unsigned char* buffer, std::size_t capacity) {
    DWORD errors = 0;
    COMSTAT status;
    std::memset(&status, 0, sizeof(status));
    if (!::ClearCommError(watch->port, &errors, &status)) {
        return -1;
    }
    DWORD wanted = status.cbInQue;
    if (wanted > capacity) {
        wanted = static_cast<DWORD>(capacity);
    }
    if (wanted > sizeof(watch->readBuffer)) {
        wanted = sizeof(watch->readBuffer);
    }
    if (wanted == 0) {
        return 0;
    }

    // Only what the driver reports queued is asked for: Wine leaves a read
    // on an empty pseudo-terminal pending despite the read time-outs.
    ::ResetEvent(watch->readEvent);
    std::memset(&watch->readOverlapped, 0, sizeof(watch->readOverlapped));
    watch->readOverlapped.hEvent = watch->readEvent;
    DWORD got = 0;
    if (!::ReadFile(watch->port, watch->readBuffer, wanted, &got, &watch->readOverlapped)) {
        if (::GetLastError() != ERROR_IO_PENDING) {
            return -1;
        }
        if (!AwaitEnd(&watch->readOverlapped, kReadBoundMs)) {
            if (!CancelAndSettle(watch->port, &watch->readOverlapped)) {
                watch->abandoned = true;
            }
            return -1;
        }
        if (!::GetOverlappedResult(watch->port, &watch->readOverlapped, &got, FALSE)) {
            return -1;
        }
    }
    std::memcpy(buffer, watch->readBuffer, got);
    return static_cast<long>(got);
}

}  // namespace platform
}  // namespace veltor
