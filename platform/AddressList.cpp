// The address list of platform/Socket.h is getaddrinfo's list on every
// system: walked and released the same way everywhere.
#include "platform/Socket.h"

#ifdef _WIN32
#include <ws2tcpip.h>
#else
#include <netdb.h>
#endif

namespace veltor {
namespace platform {

namespace {

addrinfo* Native(const Addresses* addresses) {
    return reinterpret_cast<addrinfo*>(const_cast<Addresses*>(addresses));
}

}  // namespace

void FreeAddresses(Addresses* addresses) {
    if (addresses != nullptr) {
        ::freeaddrinfo(Native(addresses));
    }
}

const Address* FirstAddress(const Addresses* addresses) {
    return reinterpret_cast<const Address*>(Native(addresses));
}

const Address* NextAddress(const Address* address) {
    return reinterpret_cast<const Address*>(reinterpret_cast<const addrinfo*>(address)->ai_next);
}

}  // namespace platform
}  // namespace veltor
