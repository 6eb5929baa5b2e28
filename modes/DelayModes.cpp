#include <veltor/DelayModes.h>

#include "modes/Payload.h"

using namespace veltor::modes;

namespace {

constexpr long long kMinDelayCounts = 4;
// 1539, three counts above the validate mode's minimum.
constexpr long long kMinDurationCounts = 1539;

template <class Mode>
bool IsSweeping(const CTimingMode& mode) {
    return static_cast<const Mode&>(mode).m_Sweep.bEnable;
}

// Both delay modes: delay, duration and, only while the sweep is on, the
// sweep time.
template <class Mode>
const TimeTable* DelayTable() {
    static const TimeRow kRows[] = {
        {"delay", Field<Mode, SDlyProp, &Mode::m_Dly, &SDlyProp::dDelay>, kMinDelayCounts,
         kMaxCounts, nullptr},
        {"duration", Field<Mode, SDlyProp, &Mode::m_Dly, &SDlyProp::dDuration>, kMinDurationCounts,
         kMaxCounts, nullptr},
        {"sweep", Field<Mode, SSweepProp, &Mode::m_Sweep, &SSweepProp::dSweep>, 0, kMaxCounts,
         IsSweeping<Mode>},
    };
    static const TimeTable kTable = {kRows, 3};
    return &kTable;
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

long CDelayDurate::MakeCommand(unsigned char* buffer, CVeltor const* device, char channel) {
    SPayload payload = DelayAndSweep(*this, kCodeDelay, device, channel);
    PutTrigger(payload, m_Trigger);
    payload.nOption |= Flag(m_Trigger.bOption2, kOption2Bit);
    return WritePayload(buffer, GetID(channel), payload);
}

void CDelayDurate::GetSweepRange(double* minimum, double* maximum, CVeltor const* device,
                                 char channel) const {
    PutRowRange(*GetTimeTable(), "sweep", minimum, maximum, device, channel);
}

const TimeTable* CDelayDurate::GetTimeTable() const {
    return DelayTable<CDelayDurate>();
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
    PutRowRange(*GetTimeTable(), "sweep", minimum, maximum, device, channel);
}

const TimeTable* CDynDelayDurate::GetTimeTable() const {
    return DelayTable<CDynDelayDurate>();
}
