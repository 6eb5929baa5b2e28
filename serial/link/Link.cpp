#include "serial/link/Link.h"

#include <string>

#include "serial/link/Kinds.h"

namespace veltor {
namespace link {

namespace pf = platform;

WatchEvent ToWatchEvent(pf::Woken woken) {
    switch (woken) {
        case pf::Woken::Stop:
            return WatchEvent::Stop;
        case pf::Woken::Aside:
            return WatchEvent::Aside;
        case pf::Woken::Ready:
            return WatchEvent::Received;
        case pf::Woken::HungUp:
            return WatchEvent::HungUp;
        case pf::Woken::TimedOut:
            return WatchEvent::TimedOut;
        case pf::Woken::Gone:
        case pf::Woken::Failed:
            break;
    }
    return WatchEvent::Failed;
}

DataWait ToDataWait(pf::EventOrPort woken) {
    return AsDataWait(woken);
}

std::atomic<int> PortDeadline::s_Live{0};

Handle Open(const char* name) {
    if (name == nullptr) {
        return nullptr;
    }
    pf::ClearFailure();
    std::string malformed;
    const NetAddress address = ParseNetAddress(name, malformed);
    Link* link = nullptr;
    switch (address.link) {
        case NetLink::Raw:
            link = OpenTcp(address);
            break;
        case NetLink::Rfc2217:
            link = OpenRfc2217(address);
            break;
        case NetLink::None:
            if (!malformed.empty()) {
                // Reported as the reason; no system call failed.
                pf::SetFailure(malformed);
                return nullptr;
            }
            link = OpenSerialPort(name);
            break;
    }
    return link != nullptr ? pf::ToHandle(link) : nullptr;
}

int Configure(Handle port, long baud) {
    pf::ClearFailure();
    Link* link = AsLink(port);
    if (link == nullptr) {
        pf::SetFailure("not an open port");
        return -2;
    }
    return link->Configure(baud);
}

void PurgeInput(Handle port) {
    if (Link* link = AsLink(port)) {
        link->PurgeInput();
    }
}

bool Write(Handle port, const unsigned char* bytes, int count, long timeoutMs) {
    Link* link = AsLink(port);
    if (link == nullptr || bytes == nullptr || count < 0) {
        return false;
    }
    return link->Write(bytes, count, PortDeadline::Bound(timeoutMs));
}

void Drain(Handle port, long timeoutMs) {
    if (Link* link = AsLink(port)) {
        link->Drain(PortDeadline::Bound(timeoutMs));
    }
}

long ReadQueued(Handle port, unsigned char* buffer, std::size_t capacity) {
    Link* link = AsLink(port);
    return link != nullptr ? link->ReadQueued(buffer, capacity) : -1;
}

DataWait WaitForDataOrPort(Handle event, Handle port, long timeoutMs) {
    Link* link = AsLink(port);
    return link != nullptr ? link->WaitForData(event, timeoutMs) : DataWait::Failed;
}

Watch* WatchOpen(Handle port, Handle stopEvent, Handle asideEvent) {
    Link* link = AsLink(port);
    if (link == nullptr || !pf::IsHeld(stopEvent)) {
        return nullptr;
    }
    return link->OpenWatch(stopEvent, asideEvent);
}

void WatchClose(Watch* watch) {
    delete watch;
}

WatchEvent WatchWait(Watch* watch, bool withPort, long timeoutMs, bool hangUp) {
    return watch->Wait(withPort, timeoutMs, hangUp);
}

long WatchRead(Watch* watch, unsigned char* buffer, std::size_t capacity) {
    return watch->Read(buffer, capacity);
}

}  // namespace link
}  // namespace veltor
