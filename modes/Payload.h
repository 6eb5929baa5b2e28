// What the nine timing modes share: the layout of the set-timing-mode payload
// written once, the bits that come from shared records, the conversions
// between seconds and clock counts of a channel, and the range test.
#pragma once

#include <cstdint>

class CTimingMode;
class CVeltor;
struct STimeParameter;
struct STriggerProp;

namespace veltor::modes {

constexpr std::uint32_t kMaxCounts = 0xFFFFFFFFu;

// Mode codes, bits 0..2 of the mode byte. Two pairs share a code and are told
// apart by the option byte (delay/validate, count/up-down).
constexpr unsigned char kCodeDelay = 0;
constexpr unsigned char kCodeToggle = 1;
constexpr unsigned char kCodeCount = 3;
constexpr unsigned char kCodeNull = 4;
constexpr unsigned char kCodePassive = 5;
constexpr unsigned char kCodeClock = 6;
constexpr unsigned char kCodeDynDelay = 7;

// Mode-byte flags.
constexpr unsigned char kSweepBit = 0x80;
constexpr unsigned char kKindOneBit = 0x40;
constexpr unsigned char kInvertBit = 0x20;
// Bit 4 follows the trigger kind where there is one and is fixed otherwise.
constexpr unsigned char kModeBit4 = 0x10;
constexpr unsigned char kModeBit3 = 0x08;

// Option-byte flags.
constexpr unsigned char kValidateOptionBit = 0x40;
constexpr unsigned char kOption2Bit = 0x04;
constexpr unsigned char kOption1Bit = 0x02;

inline unsigned char Flag(bool on, unsigned char bit) {
    return on ? bit : 0;
}

// Inversion (bit 5) and bit 3 of a record shaped like SDlyProp.
template <class Times>
unsigned char TimesFlags(const Times& times) {
    return Flag(times.bInvert, kInvertBit) | Flag(times.bModeBit3, kModeBit3);
}

// What one mode puts into its payload; whatever it leaves at 0 goes out as 0.
struct SPayload {
    // The clock mode's 22 bytes: the second time is 24 bits plus an overflow
    // byte, no trigger or sweep, 0xA5 last.
    bool bClockLayout = false;
    unsigned char nMode = 0;
    unsigned char nOption = 0;
    unsigned char nAux = 0;
    std::uint32_t nFirst = 0;
    std::uint32_t nSecond = 0;
    std::uint32_t nTriggerValue = 0;  // low 24 bits sent
    unsigned char nTriggerSelector = 0;
    std::uint32_t nSweep = 0;
};

// Writes the whole payload for the channel index (0..7, or 0xFF for a letter
// that names no channel, sent as it is); returns its length, 25 or 22.
long WritePayload(unsigned char* buffer, unsigned char index, const SPayload& payload);

// The first and second time in counts of the channel's clock.
void PutTimes(SPayload& payload, double first, double second, CVeltor const* device, char channel);

// Mode-byte bits 6 and 4 from nKind.
unsigned char TriggerKindBits(const STriggerProp& trigger);
// Payload byte 17 from nValueMode and bValueFlag.
unsigned char TriggerSelector(const STriggerProp& trigger);
// Adds the trigger's mode bits, option bit 1, value and selector. Option bit 2
// is the mode's own business (CUpDown sets it whatever bOption2 says).
void PutTrigger(SPayload& payload, const STriggerProp& trigger);

// Clock frequency of the channel's pair; 0.0 without a device or for a letter
// that names no channel.
double ClockHz(CVeltor const* device, char channel);
// Counts for a time at hz, rounded half up. Saturates instead of overflowing:
// NaN and negative times give 0, times beyond the counter 4294967295. Without
// a usable clock (0, negative or not finite) every time gives 0.
std::uint32_t CountsAt(double hz, double seconds);
// Seconds for a count at hz. Without a usable clock the result is NaN, so every
// interval built from it is empty and every range test against it fails.
double SecondsAt(double hz, std::uint32_t counts);

// One time a mode checks: its name, where the mode keeps it, its interval in
// counts of the channel's clock (both bounds inclusive, the low one may be
// negative) and when it is checked (null: always).
struct TimeRow {
    const char* name;
    double (*value)(const CTimingMode& mode);
    long long lowCounts;
    long long highCounts;
    bool (*checked)(const CTimingMode& mode);
};
// A mode's times, the one place its intervals are written.
struct TimeTable {
    const TimeRow* rows;
    int count;
};

// The field of a mode's record, for a TimeRow.
template <class Mode, class Record, Record Mode::*record, double Record::*field>
double Field(const CTimingMode& mode) {
    return (static_cast<const Mode&>(mode).*record).*field;
}

// The interval of the row of that name, in seconds at the channel's clock,
// through non-null pointers; [0, 4294967295] counts when the table has none.
void PutRowRange(const TimeTable& table, const char* name, double* minimum, double* maximum,
                 CVeltor const* device, char channel);
// Every time the mode checks now within its interval; the delay and the
// duration through the mode's own (virtual) range calls, so that a subclass's
// ranges apply.
bool AreRowsWithin(const CTimingMode& mode, CVeltor const* device, char channel);
// CTimingMode::GetTimeParameters over a table.
int PutTimeParameters(const CTimingMode& mode, const TimeTable& table, bool onlyFailing,
                      STimeParameter* parameters, int capacity, CVeltor const* device,
                      char channel);

// The one range test: both bounds inclusive; a time that is not a finite
// number never passes, and neither does any time against a NaN bound.
bool IsWithin(double seconds, double minimum, double maximum);

}  // namespace veltor::modes
