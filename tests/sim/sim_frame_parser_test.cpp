#include <gtest/gtest.h>

#include <algorithm>

#include "sim/FrameParser.h"
#include "sim_helpers.h"

namespace {

using simtest::Bytes;
using simtest::Request;

std::vector<Bytes> FeedAll(vsim::FrameParser& p, const Bytes& in) {
    return p.Feed(in.data(), in.size());
}

TEST(SimFrameParser, FillerBurstWithoutLeadIsSkippedThenFrameFound) {
    vsim::FrameParser p;
    Bytes burst(1024);
    for (size_t i = 0; i < burst.size(); ++i) {
        burst[i] = static_cast<uint8_t>(i * 37 + 11);
        if (burst[i] == 0x25) {
            burst[i] = 0x26;
        }
    }
    EXPECT_TRUE(FeedAll(p, burst).empty());
    EXPECT_EQ(p.SkippedBytes(), 1024u);
    EXPECT_FALSE(p.InFrame());

    const Bytes enable = Request({0x80});
    const auto frames = FeedAll(p, enable);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0], enable);
}

TEST(SimFrameParser, SplitAndJoinedInputGiveTheSameFrames) {
    const Bytes a = Request({0x42, 0x0B, 0x00});
    const Bytes b = Request({0x70});
    Bytes stream = {0x00, 0xFF, 0x13};  // noise first
    stream.insert(stream.end(), a.begin(), a.end());
    stream.insert(stream.end(), b.begin(), b.end());

    vsim::FrameParser whole;
    const auto joined = FeedAll(whole, stream);
    ASSERT_EQ(joined.size(), 2u);
    EXPECT_EQ(joined[0], a);
    EXPECT_EQ(joined[1], b);

    for (size_t piece : {1u, 2u, 5u}) {
        vsim::FrameParser split;
        std::vector<Bytes> got;
        for (size_t i = 0; i < stream.size(); i += piece) {
            const size_t n = std::min(piece, stream.size() - i);
            for (auto& f : split.Feed(stream.data() + i, n)) {
                got.push_back(f);
            }
        }
        EXPECT_EQ(got, joined) << "pieces of " << piece;
    }
}

TEST(SimFrameParser, LengthByteDecidesTheFrameEnd) {
    vsim::FrameParser p;
    // L = 0: the frame is complete after its length byte.
    auto f = FeedAll(p, {0x25, 0xD8, 0x00, 0x25, 0xD8});
    ASSERT_EQ(f.size(), 1u);
    EXPECT_EQ(f[0], (Bytes{0x25, 0xD8, 0x00}));
    EXPECT_TRUE(p.InFrame());
    // A 0x25 inside a frame is data, not a new start.
    f = FeedAll(p, {0x03, 0x25, 0x00, 0xD8});
    ASSERT_EQ(f.size(), 1u);
    EXPECT_EQ(f[0], (Bytes{0x25, 0xD8, 0x03, 0x25, 0x00, 0xD8}));
    p.Feed(f[0].data(), 2);
    p.Reset();
    EXPECT_FALSE(p.InFrame());
}

}  // namespace
