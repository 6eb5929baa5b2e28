#include <veltor/CClock.h>

#include "modes/Payload.h"

using namespace veltor::modes;

namespace {

constexpr std::uint32_t kMinCounts = 128;
// 40 counts below 0xA00000.
constexpr std::uint32_t kMaxClockCounts = 10485720;

}  // namespace

void CClock::GetDurationRange(double* minimum, double* maximum, CVeltor const* device,
                              char channel) const {
    PutCountRange(minimum, maximum, kMinCounts, kMaxClockCounts, device, channel);
}

void CClock::GetDelayRange(double* minimum, double* maximum, CVeltor const* device,
                           char channel) const {
    PutCountRange(minimum, maximum, kMinCounts, kMaxClockCounts, device, channel);
}

bool CClock::CheckParameters(CVeltor const* device, char channel) const {
    return AreTimesWithin(*this, m_Clock.dDelay, m_Clock.dDuration, device, channel);
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
