// Shared pieces of the timing-mode tests: the four clock sources on a real
// device, payload capture and hex notation.
#pragma once

#include <veltor/CTimingMode.h>
#include <veltor/CVeltor.h>
#include <veltor/SGeneral.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace modes_test {

using Bytes = std::vector<unsigned char>;

// One clock source, tried on the channel named here; the other pairs run on a
// different clock so that a mode asking the wrong pair shows.
struct SClockSource {
    const char* szName;
    int nCode;
    double dRefClockHz;
    char cChannel;
};

inline const SClockSource kClockSources[] = {
    {"200 MHz", 0, 100000000.0, 'A'},
    {"3.125 MHz", 1, 100000000.0, 'D'},
    {"twice a 10 MHz reference", 2, 10000000.0, 'e'},
    {"a sixty-fourth of twice a 10 MHz reference", 3, 10000000.0, 'H'},
};

inline void UseClock(CVeltor& device, const SClockSource& source) {
    SGeneral* general = device.GetPropA();
    const int other = source.nCode == 1 ? 0 : 1;
    int* pairs[] = {&general->nClockAB, &general->nClockCD, &general->nClockEF, &general->nClockGH};
    for (int* pair : pairs) {
        *pair = other;
    }
    const char upper = source.cChannel >= 'a' ? source.cChannel - 'a' + 'A' : source.cChannel;
    *pairs[(upper - 'A') / 2] = source.nCode;
    general->dRefClockHz = source.dRefClockHz;
}

// What MakeCommand wrote, in a buffer prefilled with 0xCC so that a byte
// left unwritten shows.
inline Bytes Payload(CTimingMode& mode, CVeltor const* device, char channel) {
    unsigned char buffer[64];
    std::memset(buffer, 0xCC, sizeof buffer);
    const long length = mode.MakeCommand(buffer, device, channel);
    if (length < 0 || length > 64) {
        return Bytes(1, 0xEE);
    }
    return Bytes(buffer, buffer + length);
}

inline Bytes Hex(const std::string& text) {
    Bytes bytes;
    unsigned int value = 0;
    int consumed = 0;
    for (const char* cursor = text.c_str(); std::sscanf(cursor, "%2x%n", &value, &consumed) == 1;
         cursor += consumed) {
        bytes.push_back(static_cast<unsigned char>(value));
    }
    return bytes;
}

inline std::string ToHex(const Bytes& bytes) {
    std::string text;
    char part[4];
    for (unsigned char byte : bytes) {
        std::snprintf(part, sizeof part, "%02X ", byte);
        text += part;
    }
    return text;
}

}  // namespace modes_test
