#include <veltor/DelayModes.h>

#include "modes/Payload.h"

using namespace veltor::modes;

namespace {

constexpr std::uint32_t kMinDelayCounts = 4;
// 1539, three counts above the validate mode's minimum.
constexpr std::uint32_t kMinDurationCounts = 1539;

template <class Mode>
bool CheckDelayAndSweep(const Mode& mode, CVeltor const* device, char channel) {
    if (!AreTimesWithin(mode, mode.m_Dly.dDelay, mode.m_Dly.dDuration, device, channel)) {
        return false;
    }
    if (!mode.m_Sweep.bEnable) {
        return true;
    }
    double minimum = 0.0;
    double maximum = 0.0;
    mode.GetSweepRange(&minimum, &maximum, device, channel);
    return IsWithin(mode.m_Sweep.dSweep, minimum, maximum);
}

// The sweep time goes out even while the sweep is off.
template <class Mode>
SPayload DelayAndSweep(const Mode& mode, unsigned char fixedBits, CVeltor const* device,
                       char channel) {
    SPayload payload;
    payload.nMode = fixedBits | Flag(mode.m_Sweep.bEnable, kSweepBit) | TimesFlags(mode.m_Dly);
    PutTimes(payload, mode.m_Dly.dDelay, mode.m_Dly.dDuration, device, channel);
    payload.nSweep = CountsAt(ClockHz(device, channel), mode.m_Sweep.dSweep);
    return payload;
}

}  // namespace

void CDelayDurate::GetDurationRange(double* minimum, double* maximum, CVeltor const* device,
                                    char channel) const {
    PutCountRange(minimum, maximum, kMinDurationCounts, kMaxCounts, device, channel);
}

void CDelayDurate::GetDelayRange(double* minimum, double* maximum, CVeltor const* device,
                                 char channel) const {
    PutCountRange(minimum, maximum, kMinDelayCounts, kMaxCounts, device, channel);
}

bool CDelayDurate::CheckParameters(CVeltor const* device, char channel) const {
    return CheckDelayAndSweep(*this, device, channel);
}

long CDelayDurate::MakeCommand(unsigned char* buffer, CVeltor const* device, char channel) {
    SPayload payload = DelayAndSweep(*this, kCodeDelay, device, channel);
    PutTrigger(payload, m_Trigger);
    payload.nOption |= Flag(m_Trigger.bOption2, kOption2Bit);
    return WritePayload(buffer, GetID(channel), payload);
}

void CDelayDurate::GetSweepRange(double* minimum, double* maximum, CVeltor const* device,
                                 char channel) const {
    PutCountRange(minimum, maximum, 0, kMaxCounts, device, channel);
}

void CDynDelayDurate::GetDurationRange(double* minimum, double* maximum, CVeltor const* device,
                                       char channel) const {
    PutCountRange(minimum, maximum, kMinDurationCounts, kMaxCounts, device, channel);
}

void CDynDelayDurate::GetDelayRange(double* minimum, double* maximum, CVeltor const* device,
                                    char channel) const {
    PutCountRange(minimum, maximum, kMinDelayCounts, kMaxCounts, device, channel);
}

bool CDynDelayDurate::CheckParameters(CVeltor const* device, char channel) const {
    return CheckDelayAndSweep(*this, device, channel);
}

long CDynDelayDurate::MakeCommand(unsigned char* buffer, CVeltor const* device, char channel) {
    // The character 0xFF stands for "no channel" here: nothing is written.
    if (static_cast<unsigned char>(channel) == 0xFF) {
        return 0;
    }
    SPayload payload = DelayAndSweep(*this, kCodeDynDelay | kModeBit4, device, channel);
    payload.nOption = kOption2Bit;
    payload.nAux = static_cast<unsigned char>(m_Averaging.nAverage);
    return WritePayload(buffer, GetID(channel), payload);
}

void CDynDelayDurate::GetSweepRange(double* minimum, double* maximum, CVeltor const* device,
                                    char channel) const {
    PutCountRange(minimum, maximum, 0, kMaxCounts, device, channel);
}
