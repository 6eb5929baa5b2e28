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

namespace {

double SignedSecondsAt(double hz, long long counts) {
    const double magnitude =
        SecondsAt(hz, static_cast<std::uint32_t>(counts < 0 ? -counts : counts));
    return counts < 0 ? -magnitude : magnitude;
}

const TimeRow* FindRow(const TimeTable& table, const char* name) {
    for (int i = 0; i < table.count; ++i) {
        if (std::strcmp(table.rows[i].name, name) == 0) {
            return &table.rows[i];
        }
    }
    return nullptr;
}

// The interval a check applies to a row: the delay and the duration as the
// mode's virtual range calls give them.
void PutCheckedRange(const CTimingMode& mode, const TimeTable& table, const TimeRow& row,
                     double* minimum, double* maximum, CVeltor const* device, char channel) {
    if (std::strcmp(row.name, "delay") == 0) {
        mode.GetDelayRange(minimum, maximum, device, channel);
    } else if (std::strcmp(row.name, "duration") == 0) {
        mode.GetDurationRange(minimum, maximum, device, channel);
    } else {
        PutRowRange(table, row.name, minimum, maximum, device, channel);
    }
}

}  // namespace

void PutRowRange(const TimeTable& table, const char* name, double* minimum, double* maximum,
                 CVeltor const* device, char channel) {
    const TimeRow* row = FindRow(table, name);
    const double hz = ClockHz(device, channel);
    if (minimum != nullptr) {
        *minimum = SignedSecondsAt(hz, row != nullptr ? row->lowCounts : 0);
    }
    if (maximum != nullptr) {
        *maximum = SignedSecondsAt(hz, row != nullptr ? row->highCounts : kMaxCounts);
    }
}

bool AreRowsWithin(const CTimingMode& mode, CVeltor const* device, char channel) {
    return mode.GetTimeParameters(nullptr, 0, device, channel, true) == 0;
}

int PutTimeParameters(const CTimingMode& mode, const TimeTable& table, bool onlyFailing,
                      STimeParameter* parameters, int capacity, CVeltor const* device,
                      char channel) {
    const double hz = ClockHz(device, channel);
    int count = 0;
    for (int i = 0; i < table.count; ++i) {
        const TimeRow& row = table.rows[i];
        if (row.checked != nullptr && !row.checked(mode)) {
            continue;
        }
        STimeParameter parameter{};
        parameter.szName = row.name;
        parameter.dValue = row.value(mode);
        PutCheckedRange(mode, table, row, &parameter.dMinimum, &parameter.dMaximum, device,
                        channel);
        parameter.dClockHz = IsUsableClock(hz) ? hz : 0.0;
        if (IsUsableClock(hz)) {
            parameter.nMinimumCounts = std::llround(parameter.dMinimum * hz);
            parameter.nMaximumCounts = std::llround(parameter.dMaximum * hz);
        }
        parameter.bWithin = IsWithin(parameter.dValue, parameter.dMinimum, parameter.dMaximum);
        if (onlyFailing && parameter.bWithin) {
            continue;
        }
        if (count < capacity && parameters != nullptr) {
            parameters[count] = parameter;
        }
        ++count;
    }
    return count;
}

}  // namespace veltor::modes
