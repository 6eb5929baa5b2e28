/// @file
/// The counting modes: the counter, which sends only its selector and decodes
/// a count the instrument reports, and the up/down mode, a pulse whose delay
/// may be negative.
#pragma once

#include <veltor/CTimingMode.h>
#include <veltor/Props.h>
#include <veltor/export.h>

/// The counter: the channel counts instead of timing a pulse; no times are
/// sent, so it is always accepted.
class VELTOR_API CCount : public CTimingMode {
public:
    long MakeCommand(unsigned char* buffer, CVeltor const* device, char channel) override;
    /// Decodes the 24-bit count at bytes 6..8 of a payload-shaped buffer into
    /// m_Counter.dMeasured, in seconds of the channel's clock. False, leaving
    /// the record as it was, unless byte 3 carries mode code 3 and nMode is 0.
    /// The flag is not used.
    bool ParseQuery(unsigned char* buffer, CVeltor const* device, char channel, bool flag);

    SCounterProp m_Counter;  ///< the selector and the decoded time
};

/// Up/down: a pulse like CDelayDurate's whose delay may be negative (the
/// pulse then comes before the trigger), with a scaling value.
///
/// Delay -16777215 to +16777215 counts, duration 1600 to 4294967295 counts.
class VELTOR_API CUpDown : public CTimingMode {
public:
    long MakeCommand(unsigned char* buffer, CVeltor const* device, char channel) override;

    SScalingProp m_Scaling;  ///< the scaling value
    STriggerProp m_Trigger;  ///< trigger options
    SDlyProp m_Dly;          ///< delay (may be negative), duration, inversion

protected:
    const veltor::modes::TimeTable* GetTimeTable() const override;
};
