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
    // Nearest count of the channel's clock, an exact half rounding up. Times
    // beyond the counter saturate: NaN and negative give 0, too long
    // 4294967295. No device, or a letter naming no channel (frequency 0),
    // gives 0.
    unsigned int GetClicks(double seconds, CVeltor const* device, char channel) const;
    // counts / frequency; NaN without a usable clock, so that every interval
    // built from it is empty and every check against it fails.
    double GetRealTime(unsigned int counts, CVeltor const* device, char channel) const;
    // 0..7 for 'A'..'H' or 'a'..'h', 0xFF for anything else.
    unsigned char GetID(char channel) const;
};
