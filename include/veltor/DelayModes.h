// The delay-and-duration modes, the instrument's main work: a delay, a
// duration and an optional sweep. CDelayDurate adds the trigger options;
// CDynDelayDurate has its own mode code and an averaging amount instead.
#pragma once

#include <veltor/CTimingMode.h>
#include <veltor/Props.h>
#include <veltor/export.h>

class VELTOR_API CDelayDurate : public CTimingMode {
public:
    // Delay 4 to 4294967295 counts, duration 1539 to 4294967295 counts.
    void GetDurationRange(double* minimum, double* maximum, CVeltor const* device,
                          char channel) const override;
    void GetDelayRange(double* minimum, double* maximum, CVeltor const* device,
                       char channel) const override;
    // Delay, duration and, only while the sweep is on, the sweep time.
    bool CheckParameters(CVeltor const* device, char channel) const override;
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
    // The same intervals as CDelayDurate.
    void GetDurationRange(double* minimum, double* maximum, CVeltor const* device,
                          char channel) const override;
    void GetDelayRange(double* minimum, double* maximum, CVeltor const* device,
                       char channel) const override;
    bool CheckParameters(CVeltor const* device, char channel) const override;
    // Given the character 0xFF as channel, writes nothing and returns 0.
    long MakeCommand(unsigned char* buffer, CVeltor const* device, char channel) override;
    void GetSweepRange(double* minimum, double* maximum, CVeltor const* device, char channel) const;

    SSweepProp m_Sweep;
    SDlyProp m_Dly;
    SAveragingProp m_Averaging;

protected:
    const veltor::modes::TimeTable* GetTimeTable() const override;
};
