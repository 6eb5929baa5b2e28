// Byte-level helpers shared by the simulated instrument's pieces: the
// checksum rule of the serial protocol and little-endian fields.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace vsim {

// Lead bytes and fixed codes seen on the line.
constexpr uint8_t kRequestLead = 0x25;   // '%', starts every host request
constexpr uint8_t kFrameCode = 0xD8;     // the only frame code the instrument knows
constexpr uint8_t kPositiveLead = 0xAA;  // positive answer
constexpr uint8_t kNegativeLead = 0xEE;  // negative answer
constexpr uint8_t kReportLead = 0x51;    // 'Q', unasked delay report

// Sum of n bytes modulo 256.
inline uint8_t ByteSum(const uint8_t* p, size_t n) {
    unsigned s = 0;
    for (size_t i = 0; i < n; ++i) {
        s += p[i];
    }
    return static_cast<uint8_t>(s);
}

// The byte that makes the given bytes plus itself sum to 0 modulo 256.
inline uint8_t ClosingChecksum(const uint8_t* p, size_t n) {
    return static_cast<uint8_t>(0x100 - ByteSum(p, n));
}

inline uint32_t ReadLe32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

inline uint32_t ReadLe24(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16);
}

inline void AppendLe32(std::vector<uint8_t>& out, uint32_t v) {
    for (int i = 0; i < 4; ++i) {
        out.push_back(static_cast<uint8_t>(v >> (8 * i)));
    }
}

// "25 D8 03 80 00 7D" style text for logs and test messages.
std::string ToHex(const uint8_t* p, size_t n);
inline std::string ToHex(const std::vector<uint8_t>& v) {
    return ToHex(v.data(), v.size());
}

}  // namespace vsim
