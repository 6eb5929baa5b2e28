#include "platform/Platform.h"

namespace veltor {
namespace platform {

std::vector<PortInfo> ListSerialPorts() {
    return ReadSysfsPorts("/sys", "/dev/serial/by-id");
}

}  // namespace platform
}  // namespace veltor
