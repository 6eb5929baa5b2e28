// The validate mode: mode code 0 like CDelayDurate, told apart by option byte
// bit 6; no sweep, and its own minimum delay and duration.
#pragma once

#include <veltor/CTimingMode.h>
#include <veltor/Props.h>
#include <veltor/export.h>

class VELTOR_API CValidate : public CTimingMode {
public:
    // Duration 1536 to 4294967295 counts.
    void GetDurationRange(double* minimum, double* maximum, CVeltor const* device,
                          char channel) const override;
    // Delay 512 to 4294967295 counts.
    void GetDelayRange(double* minimum, double* maximum, CVeltor const* device,
                       char channel) const override;
    bool CheckParameters(CVeltor const* device, char channel) const override;
    long MakeCommand(unsigned char* buffer, CVeltor const* device, char channel) override;

    SValidateProp m_Validate;
    STriggerProp m_Trigger;

protected:
    const veltor::modes::TimeTable* GetTimeTable() const override;
};
