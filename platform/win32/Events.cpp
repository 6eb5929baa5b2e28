// Events and the receive lock on Win32.
#include "platform/win32/Win32.h"

namespace veltor {
namespace platform {

void CloseHandle(Handle h) {
    if (NetPort* net = AsNetPort(h)) {
        NetClose(net);
    } else if (IsHeld(h)) {
        // Within a deadline (the port probe) a port's unsent bytes are
        // dropped rather than waited for; any other handle refuses this.
        if (PortDeadline::Active()) {
            ::PurgeComm(ToWin32(h), PURGE_TXABORT | PURGE_TXCLEAR);
        }
        ::CloseHandle(ToWin32(h));
    }
}

Handle CreateEvent(bool manualReset) {
    return FromWin32(::CreateEventA(nullptr, manualReset ? TRUE : FALSE, FALSE, nullptr));
}

void SetEvent(Handle event) {
    ::SetEvent(ToWin32(event));
}

void ResetEvent(Handle event) {
    ::ResetEvent(ToWin32(event));
}

WaitResult WaitForEvent(Handle event, long timeoutMs) {
    const DWORD limit = timeoutMs < 0 ? INFINITE : static_cast<DWORD>(timeoutMs);
    switch (::WaitForSingleObject(ToWin32(event), limit)) {
        case WAIT_OBJECT_0:
            return WaitResult::Signalled;
        case WAIT_TIMEOUT:
            return WaitResult::TimedOut;
        default:
            return WaitResult::Failed;
    }
}

Lock::Lock() : m_Impl(new CRITICAL_SECTION) {
    ::InitializeCriticalSection(static_cast<CRITICAL_SECTION*>(m_Impl));
}

Lock::~Lock() {
    CRITICAL_SECTION* section = static_cast<CRITICAL_SECTION*>(m_Impl);
    ::DeleteCriticalSection(section);
    delete section;
}

void Lock::Enter() {
    ::EnterCriticalSection(static_cast<CRITICAL_SECTION*>(m_Impl));
}

bool Lock::TryEnter() {
    return ::TryEnterCriticalSection(static_cast<CRITICAL_SECTION*>(m_Impl)) != 0;
}

void Lock::Leave() {
    ::LeaveCriticalSection(static_cast<CRITICAL_SECTION*>(m_Impl));
}

}  // namespace platform
}  // namespace veltor
