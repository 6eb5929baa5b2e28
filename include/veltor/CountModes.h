// The two modes of mode code 3: the counter, whose payload depends only on
// its selector and which decodes a count the instrument reports, and the
// up/down mode with a delay that may be negative.
#pragma once

#include <veltor/CTimingMode.h>
#include <veltor/Props.h>
#include <veltor/export.h>

class VELTOR_API CCount : public CTimingMode {
public:
    long MakeCommand(unsigned char* buffer, CVeltor const* device, char channel) override;
    // Decodes the 24-bit count at bytes 6..8 of a payload-shaped buffer into
    // m_Counter.dMeasured, in seconds of the channel's clock. False, leaving
    // the record as it was, unless byte 3 carries mode code 3 and nMode is 0.
    // The flag is not used.
    bool ParseQuery(unsigned char* buffer, CVeltor const* device, char channel, bool flag);

    SCounterProp m_Counter;
};

// Delay -16777215 to +16777215 counts, duration 1600 to 4294967295 counts.
class VELTOR_API CUpDown : public CTimingMode {
public:
    long MakeCommand(unsigned char* buffer, CVeltor const* device, char channel) override;

    SScalingProp m_Scaling;
    STriggerProp m_Trigger;
    SDlyProp m_Dly;

protected:
    const veltor::modes::TimeTable* GetTimeTable() const override;
};
