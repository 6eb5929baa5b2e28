/// @file
/// The validate mode: a delayed pulse with the trigger options, like
/// CDelayDurate without the sweep, with its own minimum delay and duration.
#pragma once

#include <veltor/CTimingMode.h>
#include <veltor/Props.h>
#include <veltor/export.h>

/// Validate: a delayed pulse with the trigger options and longer minimum times.
///
/// Delay 512 to 4294967295 counts, duration 1536 to 4294967295 counts.
class VELTOR_API CValidate : public CTimingMode {
public:
    long MakeCommand(unsigned char* buffer, CVeltor const* device, char channel) override;

    SValidateProp m_Validate;  ///< delay, duration, inversion
    STriggerProp m_Trigger;    ///< trigger options

protected:
    const veltor::modes::TimeTable* GetTimeTable() const override;
};
