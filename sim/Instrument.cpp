#include "sim/Instrument.h"

#include "sim/Logic.h"
#include "sim/Wire.h"

namespace vsim {

namespace {

// Payload selectors (first payload byte).
constexpr uint8_t kSelTimingMode = 0x00;  // + channel
constexpr uint8_t kSelLogic = 0x08;       // + channel
constexpr uint8_t kSelClock = 0x10;
constexpr uint8_t kSelQuery = 0x40;  // + channel
constexpr uint8_t kSelLock = 0x50;
constexpr uint8_t kSelUnlock = 0x58;
constexpr uint8_t kSelResetAll = 0x70;
constexpr uint8_t kSelOutputsOn = 0x80;
constexpr uint8_t kSelChannel = 0x88;  // + channel
constexpr uint8_t kSelOutputsOff = 0x90;
constexpr uint8_t kSelImplement = 0xC0;

// Command codes after a channel selector.
constexpr uint8_t kCodeEnable = 0x08;
constexpr uint8_t kCodeReset = 0x09;
constexpr uint8_t kCodeQuery = 0x0B;
constexpr uint8_t kCodeTrigger = 0x0C;
constexpr uint8_t kCodeDisable = 0x0E;
constexpr uint8_t kCodeLogic = 0x07;
constexpr uint8_t kCodeTimingMode = 0x0F;

// Timing-mode payloads: 22 bytes follow the header for most modes, 19 for
// the clock mode, which closes with 0xA5.
constexpr size_t kModeLength = 25;
constexpr size_t kClockModeLength = 22;
constexpr uint8_t kClockModeCode = 6;
constexpr uint8_t kClockModeTrailer = 0xA5;

// Clock options: selector, flags, sources, then these fixed bytes.
constexpr uint8_t kClockFixed[6] = {0x00, 0x02, 0xEB, 0xC4, 0x25, 0x67};
constexpr uint8_t kClockFlagLock = 0x20;
constexpr uint8_t kClockFlagOutputsOff = 0x08;

const char* ModeName(uint8_t code, uint8_t option) {
    switch (code) {
        case 0:
            return (option & 0x40) != 0 ? "validate" : "delay";
        case 1:
            return "toggle";
        case 3:
            return option == 0x07 ? "count" : "updown";
        case 4:
            return "null";
        case 5:
            return "passive";
        case 6:
            return "clock";
        case 7:
            return "dyndelay";
        default:
            return "";
    }
}

}  // namespace

bool operator==(const ChannelState& a, const ChannelState& b) {
    return a.enabled == b.enabled && a.triggerCount == b.triggerCount &&
           a.resetCount == b.resetCount && a.delayCounts == b.delayCounts &&
           a.modePayload == b.modePayload && a.modeCount == b.modeCount && a.hasMode == b.hasMode &&
           a.modeCode == b.modeCode && a.modeByte == b.modeByte && a.optionByte == b.optionByte &&
           a.auxByte == b.auxByte && a.delayCounts1 == b.delayCounts1 &&
           a.signedDelay == b.signedDelay && a.durationCounts == b.durationCounts &&
           a.triggerValue == b.triggerValue && a.valueSelector == b.valueSelector &&
           a.sweepCounts == b.sweepCounts && a.inverted == b.inverted && a.modeName == b.modeName &&
           a.clockHz == b.clockHz && a.delaySeconds == b.delaySeconds &&
           a.durationSeconds == b.durationSeconds && a.logicCode == b.logicCode &&
           a.logicLoadCount == b.logicLoadCount && a.logicWellFormed == b.logicWellFormed &&
           a.activeLogicCode == b.activeLogicCode;
}

bool operator==(const InstrumentState& a, const InstrumentState& b) {
    if (a.outputsEnabled != b.outputsEnabled || a.panelLocked != b.panelLocked ||
        a.clockFlags != b.clockFlags || a.clockSources != b.clockSources ||
        a.clockOptionsReceived != b.clockOptionsReceived || a.resetAllCount != b.resetAllCount ||
        a.implementCount != b.implementCount || a.logicImplemented != b.logicImplemented ||
        a.referenceHz != b.referenceHz || a.requestCount != b.requestCount ||
        a.negativeCount != b.negativeCount) {
        return false;
    }
    for (int i = 0; i < kChannelCount; ++i) {
        if (a.ch[i] != b.ch[i]) {
            return false;
        }
    }
    return true;
}

Instrument::Instrument() {
    UpdateSeconds();
}

bool Instrument::ParseFrame(const uint8_t* frame, size_t n, std::vector<uint8_t>* payload) {
    // 25 code L payload(L-2) 00 checksum: at least five bytes.
    if (frame == nullptr || n < 5 || frame[0] != kRequestLead || frame[1] != kFrameCode) {
        return false;
    }
    if (frame[2] != n - 3 || frame[n - 2] != 0x00) {
        return false;
    }
    if (ByteSum(frame + 2, n - 2) != 0) {
        return false;
    }
    if (payload != nullptr) {
        payload->assign(frame + 3, frame + n - 2);
    }
    return true;
}

std::vector<uint8_t> Instrument::PositiveAnswer(const std::vector<uint8_t>& data) {
    std::vector<uint8_t> out;
    out.reserve(data.size() + 3);
    out.push_back(kPositiveLead);
    out.push_back(static_cast<uint8_t>(data.size() + 1));
    out.insert(out.end(), data.begin(), data.end());
    out.push_back(ClosingChecksum(out.data() + 1, out.size() - 1));
    return out;
}

std::vector<uint8_t> Instrument::DelayReport(int channel, uint32_t counts) {
    std::vector<uint8_t> out = {kReportLead, 0x06, static_cast<uint8_t>(channel)};
    AppendLe32(out, counts);
    out.push_back(ClosingChecksum(out.data() + 1, out.size() - 1));
    return out;
}

std::vector<uint8_t> Instrument::HandleRequest(const uint8_t* frame, size_t n) {
    ++state_.requestCount;
    std::vector<uint8_t> payload;
    std::vector<uint8_t> data;
    // Every handler checks its whole payload before it changes anything, so
    // a rejected request leaves the state as it was.
    if (ParseFrame(frame, n, &payload) && Execute(payload, &data)) {
        return PositiveAnswer(data);
    }
    ++state_.negativeCount;
    return NegativeAnswer();
}

bool Instrument::Execute(const std::vector<uint8_t>& p, std::vector<uint8_t>* data) {
    if (p.empty()) {
        return false;
    }
    const uint8_t sel = p[0];
    if (sel < kSelLogic) {
        return SetTimingMode(p);
    }
    if (sel < kSelClock) {
        return LoadLogic(p);
    }
    if (sel >= kSelQuery && sel < kSelQuery + kChannelCount) {
        if (p.size() != 3 || p[1] != kCodeQuery || p[2] != 0) {
            return false;
        }
        const int ch = sel - kSelQuery;
        data->push_back(static_cast<uint8_t>(ch));
        AppendLe32(*data, state_.ch[ch].delayCounts);
        return true;
    }
    if (sel >= kSelChannel && sel < kSelChannel + kChannelCount) {
        return ChannelCommand(p);
    }
    if (sel == kSelClock) {
        return SetClockOptions(p);
    }
    // The remaining operations are single bytes.
    if (p.size() != 1) {
        return false;
    }
    switch (sel) {
        case kSelLock:
            state_.panelLocked = true;
            return true;
        case kSelUnlock:
            state_.panelLocked = false;
            return true;
        case kSelResetAll:
            ++state_.resetAllCount;
            return true;
        case kSelOutputsOn:
            state_.outputsEnabled = true;
            return true;
        case kSelOutputsOff:
            state_.outputsEnabled = false;
            return true;
        case kSelImplement:
            ++state_.implementCount;
            state_.logicImplemented = true;
            for (ChannelState& c : state_.ch) {
                c.activeLogicCode = c.logicCode;
            }
            return true;
        default:
            return false;
    }
}

bool Instrument::ChannelCommand(const std::vector<uint8_t>& p) {
    if (p.size() != 3 || p[2] != 0) {
        return false;
    }
    ChannelState& c = state_.ch[p[0] - kSelChannel];
    switch (p[1]) {
        case kCodeEnable:
            c.enabled = true;
            return true;
        case kCodeDisable:
            c.enabled = false;
            return true;
        case kCodeTrigger:
            ++c.triggerCount;
            return true;
        case kCodeReset:
            ++c.resetCount;
            return true;
        default:
            return false;
    }
}

bool Instrument::SetTimingMode(const std::vector<uint8_t>& p) {
    if (p.size() < 4 || p[1] != kCodeTimingMode || p[2] != p.size() - 3) {
        return false;
    }
    const uint8_t code = p[3] & 0x07;
    const bool clock = code == kClockModeCode;
    if (clock) {
        if (p.size() != kClockModeLength || p[21] != kClockModeTrailer || p[13] > 1) {
            return false;
        }
    } else if (p.size() != kModeLength || code == 2) {
        return false;  // mode code 2 means nothing to the instrument
    }

    ChannelState& c = state_.ch[p[0]];
    c.modePayload = p;
    ++c.modeCount;
    c.hasMode = true;
    c.modeCode = code;
    c.modeByte = p[3];
    c.optionByte = p[4];
    c.auxByte = p[5];
    c.delayCounts1 = ReadLe32(&p[6]);
    c.signedDelay = static_cast<int32_t>(c.delayCounts1);
    c.inverted = (p[3] & 0x20) != 0;
    if (clock) {
        c.durationCounts = ReadLe24(&p[10]) + (p[13] == 1 ? (1u << 24) : 0u);
        c.triggerValue = 0;
        c.valueSelector = p[17];
        c.sweepCounts = 0;
    } else {
        c.durationCounts = ReadLe32(&p[10]);
        c.triggerValue = ReadLe24(&p[14]);
        c.valueSelector = p[17];
        c.sweepCounts = ReadLe32(&p[18]);
    }
    c.modeName = ModeName(code, c.optionByte);
    UpdateSeconds();
    return true;
}

bool Instrument::LoadLogic(const std::vector<uint8_t>& p) {
    // selector, 07, L + 1, L, L code bytes
    if (p.size() < 4 || p[1] != kCodeLogic) {
        return false;
    }
    const size_t codeLength = p[3];
    if (p[2] != codeLength + 1 || p.size() != codeLength + 4) {
        return false;
    }
    ChannelState& c = state_.ch[p[0] - kSelLogic];
    c.logicCode.assign(p.begin() + 4, p.end());
    ++c.logicLoadCount;
    c.logicWellFormed = IsWellFormedLogic(c.logicCode);
    return true;
}

bool Instrument::SetClockOptions(const std::vector<uint8_t>& p) {
    if (p.size() != 9) {
        return false;
    }
    for (size_t i = 0; i < sizeof kClockFixed; ++i) {
        if (p[3 + i] != kClockFixed[i]) {
            return false;
        }
    }
    if ((p[1] & ~(kClockFlagLock | kClockFlagOutputsOff)) != 0) {
        return false;  // undefined flag bits
    }
    // The flags only travel with the options; locking and the outputs
    // follow their own requests.
    state_.clockFlags = p[1];
    state_.clockSources = p[2];
    ++state_.clockOptionsReceived;
    UpdateSeconds();
    return true;
}

double Instrument::ClockHz(int channel) const {
    if (channel < 0 || channel >= kChannelCount) {
        return 0.0;
    }
    const int pair = channel / 2;
    switch ((state_.clockSources >> (2 * pair)) & 0x03) {
        case 1:
            return 3125000.0;
        case 2:
            return 2.0 * state_.referenceHz;
        case 3:
            return 2.0 * state_.referenceHz / 64.0;
        default:
            return 200000000.0;
    }
}

void Instrument::UpdateSeconds() {
    for (int i = 0; i < kChannelCount; ++i) {
        ChannelState& c = state_.ch[i];
        c.clockHz = ClockHz(i);
        const double delay =
            c.modeName == "updown" ? static_cast<double>(c.signedDelay) : c.delayCounts1;
        c.delaySeconds = delay / c.clockHz;
        c.durationSeconds = c.durationCounts / c.clockHz;
    }
}

void Instrument::SetChannelDelay(int channel, uint32_t counts) {
    if (channel >= 0 && channel < kChannelCount) {
        state_.ch[channel].delayCounts = counts;
    }
}

void Instrument::SetReferenceHz(double hz) {
    state_.referenceHz = hz;
    UpdateSeconds();
}

bool Instrument::LogicInput(int channel, uint8_t inputs, uint8_t outputs, bool* ok) const {
    if (channel < 0 || channel >= kChannelCount) {
        if (ok != nullptr) {
            *ok = false;
        }
        return false;
    }
    return EvaluateLogic(state_.ch[channel].logicCode, inputs, outputs, ok);
}

}  // namespace vsim
