// The clock output: two times of 128 to 10485720 counts each, in a shorter
// payload (22 bytes) that ends in 0xA5.
#pragma once

#include <veltor/CTimingMode.h>
#include <veltor/Props.h>
#include <veltor/export.h>

class VELTOR_API CClock : public CTimingMode {
public:
    // Returns 22.
    long MakeCommand(unsigned char* buffer, CVeltor const* device, char channel) override;
    // A clock output never runs on logic.
    bool IsUsingLogic() const;
    // Nothing to release.
    void Destroy();

    SClockProp m_Clock;

protected:
    const veltor::modes::TimeTable* GetTimeTable() const override;
};
