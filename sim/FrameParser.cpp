#include "sim/FrameParser.h"

#include <cstdio>

#include "sim/Wire.h"

namespace vsim {

std::string ToHex(const uint8_t* p, size_t n) {
    std::string s;
    s.reserve(n * 3);
    char buf[4];
    for (size_t i = 0; i < n; ++i) {
        std::snprintf(buf, sizeof buf, "%02X", p[i]);
        if (i != 0) {
            s.push_back(' ');
        }
        s += buf;
    }
    return s;
}

std::vector<std::vector<uint8_t>> FrameParser::Feed(const uint8_t* data, size_t n) {
    std::vector<std::vector<uint8_t>> frames;
    for (size_t i = 0; i < n; ++i) {
        const uint8_t b = data[i];
        if (current_.empty()) {
            if (b == kRequestLead) {
                current_.push_back(b);
            } else {
                ++skipped_;
            }
            continue;
        }
        current_.push_back(b);
        // Lead, frame code and length byte, then as many bytes as the
        // length byte announces.
        if (current_.size() >= 3 && current_.size() == 3u + current_[2]) {
            frames.push_back(std::move(current_));
            current_.clear();
        }
    }
    return frames;
}

void FrameParser::Reset() {
    current_.clear();
}

}  // namespace vsim
