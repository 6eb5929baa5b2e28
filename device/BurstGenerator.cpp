#include "device/BurstGenerator.h"

#include <cstdint>

namespace veltor {

void MakeBurst(unsigned char* burst) {
    std::uint32_t state = 12121;
    int filled = 0;
    while (filled < kBurstSize) {
        state = state * 214013u + 2531011u;
        const unsigned char byte = static_cast<unsigned char>((state >> 16) & 0x7FFF);
        if (byte != 0x25) {
            burst[filled++] = byte;
        }
    }
}

}  // namespace veltor
