// Splits the byte stream the host sends into request frames.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace vsim {

// Request frame layout: 0x25, frame code, L, then L more bytes (payload,
// a 0x00 pad byte and the checksum). The parser only finds frame
// boundaries; judging a frame (code, pad, checksum) is the instrument's job.
//
// Bytes outside a frame are skipped until the next 0x25: this passes over
// the filler burst the host sends after connecting and any line noise.
class FrameParser {
public:
    // Feeds received bytes; returns the frames completed by them, in order.
    std::vector<std::vector<uint8_t>> Feed(const uint8_t* data, size_t n);

    // Forgets a partly received frame.
    void Reset();

    // Bytes passed over while looking for a lead byte, since construction.
    uint64_t SkippedBytes() const { return skipped_; }
    // True while a frame has been started but is not complete.
    bool InFrame() const { return !current_.empty(); }

private:
    std::vector<uint8_t> current_;
    uint64_t skipped_ = 0;
};

}  // namespace vsim
