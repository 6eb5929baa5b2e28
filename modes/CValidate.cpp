#include <veltor/CValidate.h>

#include "modes/Payload.h"

using namespace veltor::modes;

namespace {

constexpr std::uint32_t kMinDelayCounts = 512;
constexpr std::uint32_t kMinDurationCounts = 1536;

}  // namespace

void CValidate::GetDurationRange(double* minimum, double* maximum, CVeltor const* device,
                                 char channel) const {
    PutCountRange(minimum, maximum, kMinDurationCounts, kMaxCounts, device, channel);
}

void CValidate::GetDelayRange(double* minimum, double* maximum, CVeltor const* device,
                              char channel) const {
    PutCountRange(minimum, maximum, kMinDelayCounts, kMaxCounts, device, channel);
}

bool CValidate::CheckParameters(CVeltor const* device, char channel) const {
    return AreTimesWithin(*this, m_Validate.dDelay, m_Validate.dDuration, device, channel);
}

long CValidate::MakeCommand(unsigned char* buffer, CVeltor const* device, char channel) {
    SPayload payload;
    payload.nMode = kCodeDelay | TimesFlags(m_Validate);
    payload.nOption = kValidateOptionBit | Flag(m_Trigger.bOption2, kOption2Bit);
    PutTimes(payload, m_Validate.dDelay, m_Validate.dDuration, device, channel);
    PutTrigger(payload, m_Trigger);
    return WritePayload(buffer, GetID(channel), payload);
}
