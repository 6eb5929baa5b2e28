/// @file
/// The delay-and-duration modes, the instrument's main work: a delay, a
/// duration and an optional sweep. CDelayDurate adds the trigger options;
/// CDynDelayDurate has its own mode code and an averaging amount instead.
#pragma once

#include <veltor/CTimingMode.h>
#include <veltor/Props.h>
#include <veltor/export.h>

/// Delay and duration: after each trigger the output waits for the delay and
/// gives one pulse as long as the duration.
///
/// Delay 4 to 4294967295 counts, duration 1539 to 4294967295 counts and,
/// checked only while the sweep is on, a sweep time of 0 to 4294967295
/// counts (CDynDelayDurate alike).
class VELTOR_API CDelayDurate : public CTimingMode {
public:
    long MakeCommand(unsigned char* buffer, CVeltor const* device, char channel) override;
    /// The interval of the sweep time in seconds at the channel's clock: 0 to
    /// 4294967295 counts.
    void GetSweepRange(double* minimum, double* maximum, CVeltor const* device, char channel) const;

    STriggerProp m_Trigger;  ///< trigger options
    SSweepProp m_Sweep;      ///< sweep
    SDlyProp m_Dly;          ///< delay, duration, inversion

protected:
    const veltor::modes::TimeTable* GetTimeTable() const override;
};

/// Dynamic delay and duration: the pulse of CDelayDurate in the instrument's
/// dynamic mode, with an averaging amount instead of the trigger options.
/// Same intervals as CDelayDurate.
class VELTOR_API CDynDelayDurate : public CTimingMode {
public:
    /// Given the character 0xFF as channel, writes nothing and returns 0.
    long MakeCommand(unsigned char* buffer, CVeltor const* device, char channel) override;
    /// The interval of the sweep time, as CDelayDurate::GetSweepRange.
    void GetSweepRange(double* minimum, double* maximum, CVeltor const* device, char channel) const;

    SSweepProp m_Sweep;          ///< sweep
    SDlyProp m_Dly;              ///< delay, duration, inversion
    SAveragingProp m_Averaging;  ///< averaging amount

protected:
    const veltor::modes::TimeTable* GetTimeTable() const override;
};
