// Helpers for the simulated instrument's own tests. They frame requests
// independently of the library, from the wire layout.
#pragma once

#include <cstdint>
#include <vector>

namespace simtest {

using Bytes = std::vector<uint8_t>;

// 25 D8 L payload 00 checksum, the checksum closing L..checksum to 0 mod 256.
inline Bytes Request(const Bytes& payload, uint8_t frameCode = 0xD8) {
    Bytes f = {0x25, frameCode, static_cast<uint8_t>(payload.size() + 2)};
    unsigned sum = f[2];
    for (uint8_t b : payload) {
        f.push_back(b);
        sum += b;
    }
    f.push_back(0x00);
    f.push_back(static_cast<uint8_t>(0x100 - (sum & 0xFF)));
    return f;
}

// A 25-byte timing-mode payload for a channel: header, then the bytes from
// offset 3 on as given, zero-padded.
inline Bytes ModePayload(uint8_t channel, const Bytes& fromModeByte) {
    Bytes p = {channel, 0x0F, 0x16};
    p.insert(p.end(), fromModeByte.begin(), fromModeByte.end());
    p.resize(25, 0x00);
    return p;
}

// The 22-byte clock-mode payload: bytes 3..13 as given, zeros, then 0xA5.
inline Bytes ClockPayload(uint8_t channel, const Bytes& modeByteTo13) {
    Bytes p = {channel, 0x0F, 0x13};
    p.insert(p.end(), modeByteTo13.begin(), modeByteTo13.end());
    p.resize(21, 0x00);
    p.push_back(0xA5);
    return p;
}

}  // namespace simtest
