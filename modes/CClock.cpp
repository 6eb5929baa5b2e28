#include <veltor/CClock.h>

#include "modes/Payload.h"

using namespace veltor::modes;

namespace {

// Both times 128 to 10485720 counts (40 below 0xA00000).
const TimeRow kRows[] = {
    {"delay", Field<CClock, SClockProp, &CClock::m_Clock, &SClockProp::dDelay>, 128, 10485720,
     nullptr},
    {"duration", Field<CClock, SClockProp, &CClock::m_Clock, &SClockProp::dDuration>, 128, 10485720,
     nullptr},
};
const TimeTable kTable = {kRows, 2};

}  // namespace

const TimeTable* CClock::GetTimeTable() const {
    return &kTable;
}

long CClock::MakeCommand(unsigned char* buffer, CVeltor const* device, char channel) {
    SPayload payload;
    payload.bClockLayout = true;
    payload.nMode = kCodeClock | kModeBit4 | Flag(m_Clock.bInvert, kInvertBit);
    // Inverting the clock output also exchanges its two times.
    const bool invert = m_Clock.bInvert;
    PutTimes(payload, invert ? m_Clock.dDuration : m_Clock.dDelay,
             invert ? m_Clock.dDelay : m_Clock.dDuration, device, channel);
    return WritePayload(buffer, GetID(channel), payload);
}

bool CClock::IsUsingLogic() const {
    return false;
}

void CClock::Destroy() {}
