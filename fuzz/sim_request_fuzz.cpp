// The simulated instrument's request side on arbitrary bytes: the frame
// parser fed in arbitrary chunks, each frame it finds handled by the
// instrument. The first input byte chooses the chunk sizes; the rest is the
// byte stream the host sends.
//
// Beyond memory and undefined behaviour, it checks: the frames do not depend
// on how the stream was cut; every byte is in a frame, skipped, or in the
// frame still open; every frame is as long as its length byte says; every
// answer is a negative one or a positive one with a right length and
// checksum; a negative answer changes nothing but the request counters; and
// logic code the instrument calls well formed evaluates without a fault.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "fuzz/FuzzCheck.h"
#include "sim/FrameParser.h"
#include "sim/Instrument.h"
#include "sim/Logic.h"

namespace {

using Bytes = std::vector<uint8_t>;

void CheckAnswer(const Bytes& answer) {
    if (answer == vsim::Instrument::NegativeAnswer()) {
        return;
    }
    FUZZ_CHECK(answer.size() >= 3 && answer[0] == 0xAA);
    FUZZ_CHECK(answer[1] == answer.size() - 2);
    unsigned sum = 0;
    for (size_t i = 1; i < answer.size(); ++i) {
        sum += answer[i];
    }
    FUZZ_CHECK((sum & 0xFF) == 0);
}

void Handle(vsim::Instrument& instrument, const Bytes& frame) {
    FUZZ_CHECK(frame.size() >= 3 && frame[0] == 0x25 && frame.size() == 3u + frame[2]);
    vsim::InstrumentState before = instrument.State();
    const Bytes answer = instrument.HandleRequest(frame);
    CheckAnswer(answer);
    const vsim::InstrumentState& after = instrument.State();
    FUZZ_CHECK(after.requestCount == before.requestCount + 1);
    if (answer == vsim::Instrument::NegativeAnswer()) {
        FUZZ_CHECK(after.negativeCount == before.negativeCount + 1);
        before.requestCount = after.requestCount;
        before.negativeCount = after.negativeCount;
        FUZZ_CHECK(before == after);
    } else {
        FUZZ_CHECK(after.negativeCount == before.negativeCount);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) {
        return 0;
    }
    uint32_t chunking = data[0];
    const uint8_t* stream = data + 1;
    const size_t n = size - 1;

    vsim::FrameParser split;
    vsim::Instrument instrument;
    std::vector<Bytes> frames;
    size_t framed = 0;
    for (size_t at = 0; at < n;) {
        // A small generator seeded by the first byte: chunks of 1 to 16 bytes.
        chunking = chunking * 1103515245u + 12345u;
        const size_t piece = std::min<size_t>(1 + ((chunking >> 16) & 0x0F), n - at);
        for (Bytes& frame : split.Feed(stream + at, piece)) {
            framed += frame.size();
            Handle(instrument, frame);
            frames.push_back(std::move(frame));
        }
        at += piece;
    }
    FUZZ_CHECK(framed + split.SkippedBytes() <= n);
    FUZZ_CHECK(split.InFrame() || framed + split.SkippedBytes() == n);

    vsim::FrameParser whole;
    FUZZ_CHECK(whole.Feed(stream, n) == frames);
    FUZZ_CHECK(whole.SkippedBytes() == split.SkippedBytes() && whole.InFrame() == split.InFrame());

    for (int ch = 0; ch < vsim::kChannelCount; ++ch) {
        const vsim::ChannelState& c = instrument.State().ch[ch];
        FUZZ_CHECK(c.logicWellFormed == vsim::IsWellFormedLogic(c.logicCode));
        for (uint8_t inputs : {0x00, 0xFF, 0x5A}) {
            bool ok = false;
            instrument.LogicInput(ch, inputs, static_cast<uint8_t>(~inputs), &ok);
            FUZZ_CHECK(ok == c.logicWellFormed);
        }
    }
    return 0;
}
