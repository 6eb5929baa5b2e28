// The delay-and-duration modes, the instrument's main work: a delay, a
// duration and an optional sweep. CDelayDurate adds the trigger options;
// CDynDelayDurate has its own mode code and an averaging amount instead.
#pragma once

#include <veltor/CTimingMode.h>
#include <veltor/Props.h>
#include <veltor/export.h>

// Delay 4 to 4294967295 counts, duration 1539 to 4294967295 counts and,
// checked only while the sweep is on, a sweep time of 0 to 4294967295
// counts (CDynDelayDurate alike).
class VELTOR_API CDelayDurate : public CTimingMode {
public:
    long MakeCommand(unsigned char* buffer, CVeltor const* device, char channel) override;
    // 0 to 4294967295 counts.
    void GetSweepRange(double* minimum, double* maximum, CVeltor const* device, char channel) const;

    STriggerProp m_Trigger;
    SSweepProp m_Sweep;
    SDlyProp m_Dly;

protected:
    const veltor::modes::TimeTable* GetTimeTable() const override;
};

class VELTOR_API CDynDelayDurate : public CTimingMode {
public:
    // Given the character 0xFF as channel, writes nothing and returns 0.
    long MakeCommand(unsigned char* buffer, CVeltor const* device, char channel) override;
    void GetSweepRange(double* minimum, double* maximum, CVeltor const* device, char channel) const;

    SSweepProp m_Sweep;
    SDlyProp m_Dly;
    SAveragingProp m_Averaging;

protected:
    const veltor::modes::TimeTable* GetTimeTable() const override;
};
