// The simulated instrument's behaviour, without any I/O: one request frame
// in, the answer bytes out, and the state the requests leave behind.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace vsim {

constexpr int kChannelCount = 8;

struct ChannelState {
    bool enabled = false;
    uint32_t triggerCount = 0;  // forced triggers
    uint32_t resetCount = 0;    // single-channel resets (not counting reset-all)
    uint32_t delayCounts = 0;   // what a query answers; settable by tests

    // The last timing-mode payload, raw (22 or 25 bytes), and its decoding.
    std::vector<uint8_t> modePayload;
    uint32_t modeCount = 0;  // timing-mode payloads accepted for this channel
    bool hasMode = false;
    uint8_t modeCode = 0;  // bits 0-2 of the mode byte
    uint8_t modeByte = 0;
    uint8_t optionByte = 0;
    uint8_t auxByte = 0;          // averaging or scaling value
    uint32_t delayCounts1 = 0;    // bytes 6..9 (for the clock mode: the first time)
    int32_t signedDelay = 0;      // bytes 6..9 as a signed count (up/down mode)
    uint32_t durationCounts = 0;  // bytes 10..13; clock mode: 10..12 plus 2^24 if byte 13 is 1
    uint32_t triggerValue = 0;    // bytes 14..16 (0 for the clock mode)
    uint8_t valueSelector = 0;    // byte 17
    uint32_t sweepCounts = 0;     // bytes 18..21 (0 for the clock mode)
    bool inverted = false;        // mode byte bit 5; the clock mode sends its times swapped
    std::string modeName;  // delay, validate, toggle, count, updown, null, passive, clock, dyndelay
    double clockHz = 200e6;        // the pair's clock, from the last clock options
    double delaySeconds = 0.0;     // delayCounts1 (signedDelay for updown) at clockHz
    double durationSeconds = 0.0;  // durationCounts at clockHz

    // Logic code loaded for the channel, and the code in effect since the
    // last implement-logic request.
    std::vector<uint8_t> logicCode;
    uint32_t logicLoadCount = 0;
    bool logicWellFormed = true;  // the loaded code is a complete program
    std::vector<uint8_t> activeLogicCode;
};

bool operator==(const ChannelState& a, const ChannelState& b);
inline bool operator!=(const ChannelState& a, const ChannelState& b) {
    return !(a == b);
}

struct InstrumentState {
    bool outputsEnabled = false;
    bool panelLocked = false;
    uint8_t clockFlags = 0;    // byte 1 of the last clock options
    uint8_t clockSources = 0;  // byte 2: two bits per channel pair, A/B lowest
    uint32_t clockOptionsReceived = 0;
    uint32_t resetAllCount = 0;
    uint32_t implementCount = 0;
    bool logicImplemented = false;
    double referenceHz = 100e6;
    uint32_t requestCount = 0;   // frames handled
    uint32_t negativeCount = 0;  // of which answered negatively
    ChannelState ch[kChannelCount];
};

bool operator==(const InstrumentState& a, const InstrumentState& b);
inline bool operator!=(const InstrumentState& a, const InstrumentState& b) {
    return !(a == b);
}

class Instrument {
public:
    Instrument();

    // Handles one complete request frame (0x25, frame code, L, payload,
    // 0x00, checksum) and returns the answer: AA L data... checksum for a
    // positive answer, EE 00 for a negative one. A frame that is badly
    // framed, or whose payload is not understood or has the wrong length,
    // gets the negative answer and changes nothing but the request counters.
    std::vector<uint8_t> HandleRequest(const uint8_t* frame, size_t n);
    std::vector<uint8_t> HandleRequest(const std::vector<uint8_t>& frame) {
        return HandleRequest(frame.data(), frame.size());
    }

    // Checks the framing only; on success copies the payload out.
    static bool ParseFrame(const uint8_t* frame, size_t n, std::vector<uint8_t>* payload);

    // The unasked delay report: 51 06 channel d0 d1 d2 d3 checksum.
    static std::vector<uint8_t> DelayReport(int channel, uint32_t counts);

    // A positive answer carrying the given data bytes (none: AA 01 FF).
    static std::vector<uint8_t> PositiveAnswer(const std::vector<uint8_t>& data = {});
    static std::vector<uint8_t> NegativeAnswer() { return {0xEE, 0x00}; }

    const InstrumentState& State() const { return state_; }

    void SetChannelDelay(int channel, uint32_t counts);
    // Reference clock behind clock-source codes 2 and 3 (default 100 MHz).
    void SetReferenceHz(double hz);
    // The clock frequency of the channel's pair under the current options.
    double ClockHz(int channel) const;

    // Evaluates the logic code loaded for the channel (see EvaluateLogic).
    bool LogicInput(int channel, uint8_t inputs, uint8_t outputs, bool* ok = nullptr) const;

private:
    // Each returns the answer data on success (positive answer) or false.
    bool Execute(const std::vector<uint8_t>& payload, std::vector<uint8_t>* data);
    bool SetTimingMode(const std::vector<uint8_t>& payload);
    bool LoadLogic(const std::vector<uint8_t>& payload);
    bool SetClockOptions(const std::vector<uint8_t>& payload);
    bool ChannelCommand(const std::vector<uint8_t>& payload);
    void UpdateSeconds();

    InstrumentState state_;
};

}  // namespace vsim
