#include <cstdio>

#include "platform/Platform.h"

namespace veltor {
namespace platform {

void PortName(int portNumber, char* name, std::size_t size) {
    // Computed wide: no port number may overflow it.
    std::snprintf(name, size, "/dev/ttyS%lld", static_cast<long long>(portNumber) - 1);
}

std::vector<PortInfo> ListSerialPorts() {
    return ReadSysfsPorts("/sys", "/dev/serial/by-id");
}

}  // namespace platform
}  // namespace veltor
