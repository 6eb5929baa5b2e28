// The timing mode a channel runs: parameters in seconds, their ranges in
// clock counts of the channel's pair, and the set-timing-mode payload.
#pragma once

#include <veltor/export.h>

class CVeltor;

class VELTOR_API CTimingMode {
public:
    CTimingMode();
    CTimingMode(const CTimingMode& other);
    CTimingMode& operator=(const CTimingMode& other);
    virtual ~CTimingMode();

    virtual void GetDurationRange(double* minimum, double* maximum, CVeltor const* device,
                                  char channel) const;
    virtual void GetDelayRange(double* minimum, double* maximum, CVeltor const* device,
                               char channel) const;
    virtual bool CheckParameters(CVeltor const* device, char channel) const;
    // Writes the whole set-timing-mode payload; returns its length.
    virtual long MakeCommand(unsigned char* buffer, CVeltor const* device, char channel);

    int m_nReserved;

protected:
    unsigned int GetClicks(double seconds, CVeltor const* device, char channel) const;
    double GetRealTime(unsigned int counts, CVeltor const* device, char channel) const;
    unsigned char GetID(char channel) const;
};
