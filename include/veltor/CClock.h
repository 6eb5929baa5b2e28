/// @file
/// The clock output: a continuous square wave, high for one time and low for
/// the other, each 128 to 10485720 counts of the channel's clock.
#pragma once

#include <veltor/CTimingMode.h>
#include <veltor/Props.h>
#include <veltor/export.h>

/// Clock output: a square wave, high for m_Clock.dDelay and low for
/// m_Clock.dDuration.
class VELTOR_API CClock : public CTimingMode {
public:
    /// Returns 22.
    long MakeCommand(unsigned char* buffer, CVeltor const* device, char channel) override;
    /// A clock output never runs on logic.
    bool IsUsingLogic() const;
    /// Nothing to release.
    void Destroy();

    SClockProp m_Clock;  ///< the two times and the inversion

protected:
    const veltor::modes::TimeTable* GetTimeTable() const override;
};
