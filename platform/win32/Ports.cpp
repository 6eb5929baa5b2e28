// The COM ports Windows lists in the registry: each serial driver enters its
// ports there, and Wine lists the ports it maps. The registry gives no USB
// details; those would need SetupAPI.
#include <algorithm>
#include <cstdio>

#include "platform/win32/Win32.h"

namespace veltor {
namespace platform {

void PortName(int portNumber, char* name, std::size_t size) {
    std::snprintf(name, size, "\\\\.\\COM%i", portNumber);
}

std::vector<PortInfo> ListSerialPorts() {
    std::vector<PortInfo> ports;
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &key) !=
        ERROR_SUCCESS) {
        return ports;
    }
    for (DWORD index = 0;; ++index) {
        char name[256];
        BYTE data[256];
        DWORD nameSize = sizeof(name);
        DWORD dataSize = sizeof(data) - 1;
        DWORD type = 0;
        const LONG result =
            RegEnumValueA(key, index, name, &nameSize, nullptr, &type, data, &dataSize);
        if (result == ERROR_NO_MORE_ITEMS) {
            break;
        }
        if (result != ERROR_SUCCESS || type != REG_SZ) {
            continue;
        }
        data[dataSize] = 0;
        PortInfo port;
        port.path = reinterpret_cast<const char*>(data);
        // The value's name is the driver's device: \Device\Serial0, \Device\VCP0.
        port.bus = name;
        port.description = "serial port (" + std::string(name) + ")";
        ports.push_back(port);
    }
    RegCloseKey(key);
    // COM2 before COM10.
    std::sort(ports.begin(), ports.end(), [](const PortInfo& a, const PortInfo& b) {
        return a.path.size() != b.path.size() ? a.path.size() < b.path.size() : a.path < b.path;
    });
    return ports;
}

}  // namespace platform
}  // namespace veltor
