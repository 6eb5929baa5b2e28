// The validate mode: mode code 0 like CDelayDurate, told apart by option byte
// bit 6; no sweep, and its own minimum delay and duration.
#pragma once

#include <veltor/CTimingMode.h>
#include <veltor/Props.h>
#include <veltor/export.h>

// Delay 512 to 4294967295 counts, duration 1536 to 4294967295 counts.
class VELTOR_API CValidate : public CTimingMode {
public:
    long MakeCommand(unsigned char* buffer, CVeltor const* device, char channel) override;

    SValidateProp m_Validate;
    STriggerProp m_Trigger;

protected:
    const veltor::modes::TimeTable* GetTimeTable() const override;
};
