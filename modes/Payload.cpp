#include "modes/Payload.h"

#include <veltor/CTimingMode.h>
#include <veltor/CVeltor.h>
#include <veltor/Props.h>

#include <cmath>
#include <cstring>
#include <limits>

namespace veltor::modes {

namespace {

constexpr unsigned char kSetTimingMode = 0x0F;
constexpr long kLength = 25;
constexpr long kClockLength = 22;
constexpr unsigned char kClockTrailer = 0xA5;
constexpr std::uint32_t kCounts24 = 0x1000000u;

void PutLittleEndian(unsigned char* target, std::uint32_t value, int width) {
    for (int i = 0; i < width; ++i) {
        target[i] = static_cast<unsigned char>(value >> (8 * i));
    }
}

bool IsUsableClock(double hz) {
    return std::isfinite(hz) && hz > 0.0;
}

}  // namespace

long WritePayload(unsigned char* buffer, unsigned char index, const SPayload& payload) {
    const long length = payload.bClockLayout ? kClockLength : kLength;
    std::memset(buffer, 0, static_cast<std::size_t>(length));
    buffer[0] = index;
    buffer[1] = kSetTimingMode;
    buffer[2] = static_cast<unsigned char>(length - 3);
    buffer[3] = payload.nMode;
    buffer[4] = payload.nOption;
    buffer[5] = payload.nAux;
    PutLittleEndian(buffer + 6, payload.nFirst, 4);
    if (payload.bClockLayout) {
        PutLittleEndian(buffer + 10, payload.nSecond, 3);
        buffer[13] = payload.nSecond >= kCounts24 ? 1 : 0;
        buffer[21] = kClockTrailer;
    } else {
        PutLittleEndian(buffer + 10, payload.nSecond, 4);
        PutLittleEndian(buffer + 14, payload.nTriggerValue, 3);
        buffer[17] = payload.nTriggerSelector;
        PutLittleEndian(buffer + 18, payload.nSweep, 4);
    }
    return length;
}

void PutTimes(SPayload& payload, double first, double second, CVeltor const* device, char channel) {
    const double hz = ClockHz(device, channel);
    payload.nFirst = CountsAt(hz, first);
    payload.nSecond = CountsAt(hz, second);
}

unsigned char TriggerKindBits(const STriggerProp& trigger) {
    return Flag(trigger.nKind == 1, kKindOneBit) | Flag(trigger.nKind != 2, kModeBit4);
}

unsigned char TriggerSelector(const STriggerProp& trigger) {
    if (trigger.nValueMode == 0) {
        return 0x00;
    }
    const unsigned char mode = trigger.nValueMode == 1 ? 0x03 : 0x01;
    return mode | Flag(trigger.bValueFlag, 0x04);
}

void PutTrigger(SPayload& payload, const STriggerProp& trigger) {
    payload.nMode |= TriggerKindBits(trigger);
    payload.nOption |= Flag(trigger.bOption1, kOption1Bit);
    payload.nTriggerValue = static_cast<std::uint32_t>(trigger.nValue) & (kCounts24 - 1);
    payload.nTriggerSelector = TriggerSelector(trigger);
}

double ClockHz(CVeltor const* device, char channel) {
    return device != nullptr ? device->GetClockFrequencyHz(channel) : 0.0;
}

std::uint32_t CountsAt(double hz, double seconds) {
    if (!IsUsableClock(hz)) {
        return 0;
    }
    // The product first, then the half: an exact half count rounds up.
    const double counts = hz * seconds + 0.5;
    if (!(counts > 0.0)) {
        return 0;
    }
    if (counts >= 4294967296.0) {
        return kMaxCounts;
    }
    return static_cast<std::uint32_t>(counts);
}

double SecondsAt(double hz, std::uint32_t counts) {
    if (!IsUsableClock(hz)) {
        return std::numeric_limits<double>::quiet_NaN();
    }
    return static_cast<double>(counts) / hz;
}

bool IsWithin(double seconds, double minimum, double maximum) {
    return std::isfinite(seconds) && seconds >= minimum && seconds <= maximum;
}

void PutCountRange(double* minimum, double* maximum, std::uint32_t low, std::uint32_t high,
                   CVeltor const* device, char channel) {
    const double hz = ClockHz(device, channel);
    if (minimum != nullptr) {
        *minimum = SecondsAt(hz, low);
    }
    if (maximum != nullptr) {
        *maximum = SecondsAt(hz, high);
    }
}

bool AreTimesWithin(const CTimingMode& mode, double delay, double duration, CVeltor const* device,
                    char channel) {
    double minimum = 0.0;
    double maximum = 0.0;
    mode.GetDelayRange(&minimum, &maximum, device, channel);
    if (!IsWithin(delay, minimum, maximum)) {
        return false;
    }
    mode.GetDurationRange(&minimum, &maximum, device, channel);
    return IsWithin(duration, minimum, maximum);
}

}  // namespace veltor::modes
