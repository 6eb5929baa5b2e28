#include <veltor/CountModes.h>

#include <cmath>

#include "modes/Payload.h"

using namespace veltor::modes;

namespace {

constexpr unsigned char kCountOption = 0x07;
constexpr unsigned char kUpDownOption = 0x04;
constexpr unsigned char kSecondScalingOption = 0x40;
// The delay may be negative: -16777215 to +16777215 counts.
const TimeRow kUpDownRows[] = {
    {"delay", Field<CUpDown, SDlyProp, &CUpDown::m_Dly, &SDlyProp::dDelay>, -0xFFFFFF, 0xFFFFFF,
     nullptr},
    {"duration", Field<CUpDown, SDlyProp, &CUpDown::m_Dly, &SDlyProp::dDuration>, 1600, kMaxCounts,
     nullptr},
};
const TimeTable kUpDownTable = {kUpDownRows, 2};

}  // namespace

long CCount::MakeCommand(unsigned char* buffer, CVeltor const*, char channel) {
    SPayload payload;
    // nMode 0 wraps to 0xF0 in the high nibble.
    payload.nMode = static_cast<unsigned char>((m_Counter.nMode - 1) * 16) | kCodeCount;
    payload.nOption = kCountOption;
    return WritePayload(buffer, GetID(channel), payload);
}

bool CCount::ParseQuery(unsigned char* buffer, CVeltor const* device, char channel, bool) {
    if (buffer == nullptr || (buffer[3] & 0x07) != kCodeCount || m_Counter.nMode != 0) {
        return false;
    }
    // 24 bits; byte 9 of the report is not part of the count.
    const unsigned int counts = buffer[6] | buffer[7] << 8 | buffer[8] << 16;
    const double measured = GetRealTime(counts, device, channel);
    // Without a usable clock there is no time to report: keep the last one.
    if (std::isnan(measured)) {
        return false;
    }
    m_Counter.dMeasured = measured;
    return true;
}

const TimeTable* CUpDown::GetTimeTable() const {
    return &kUpDownTable;
}

long CUpDown::MakeCommand(unsigned char* buffer, CVeltor const* device, char channel) {
    SPayload payload;
    payload.nMode = kCodeCount | TimesFlags(m_Dly);
    payload.nOption = kUpDownOption | Flag(!m_Scaling.bUseFirst, kSecondScalingOption);
    payload.nAux =
        static_cast<unsigned char>(m_Scaling.bUseFirst ? m_Scaling.nFirst : m_Scaling.nSecond);
    // A negative delay goes out as a 32-bit two's complement count.
    payload.nFirst = m_Dly.dDelay > 0.0 ? GetClicks(m_Dly.dDelay, device, channel)
                                        : 0u - GetClicks(-m_Dly.dDelay, device, channel);
    payload.nSecond = GetClicks(m_Dly.dDuration, device, channel);
    PutTrigger(payload, m_Trigger);
    return WritePayload(buffer, GetID(channel), payload);
}
