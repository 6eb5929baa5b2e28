/// @file
/// The timing mode a channel runs: parameters in seconds, their ranges in
/// clock counts of the channel's pair, and the set-timing-mode payload.
#pragma once

#include <veltor/export.h>

class CVeltor;
namespace veltor::modes {
struct TimeTable;
}

/// One time a mode checks, with the interval the instrument accepts for it at
/// a channel's clock.
struct VELTOR_API STimeParameter {
    const char* szName;        ///< "delay", "duration", "sweep"
    double dValue;             ///< seconds, as the mode holds it
    double dMinimum;           ///< seconds at the channel's clock; NaN without a clock
    double dMaximum;           ///< the other end of the interval, seconds
    long long nMinimumCounts;  ///< the same interval in counts (0 without a clock)
    long long nMaximumCounts;  ///< the other end, counts
    double dClockHz;           ///< the channel's clock frequency; 0 without one
    bool bWithin;              ///< the value passes its check
};

/// The base of the nine timing modes. A mode holds its times in seconds in
/// public records, checks them against the intervals the instrument accepts
/// at a channel's clock, and writes the set-timing-mode payload. Modes are
/// the host's objects; a channel only points to one.
class VELTOR_API CTimingMode {
public:
    /// A mode with its records at their defaults.
    CTimingMode();
    /// Copies every record.
    CTimingMode(const CTimingMode& other);
    /// Copies every record.
    CTimingMode& operator=(const CTimingMode& other);
    virtual ~CTimingMode();

    /// The interval of the duration in seconds at the channel's clock (both
    /// ends allowed); a mode without times allows the whole counter.
    virtual void GetDurationRange(double* minimum, double* maximum, CVeltor const* device,
                                  char channel) const;
    /// The interval of the delay in seconds at the channel's clock.
    virtual void GetDelayRange(double* minimum, double* maximum, CVeltor const* device,
                               char channel) const;
    /// True when every time the mode holds now is within its interval at the
    /// channel's clock; always true for a mode without times.
    virtual bool CheckParameters(CVeltor const* device, char channel) const;
    /// Writes the whole set-timing-mode payload; returns its length.
    virtual long MakeCommand(unsigned char* buffer, CVeltor const* device, char channel);

    /// The times the mode checks now (a sweep only while it is on), each with
    /// its interval at the channel's clock; with onlyFailing those outside it
    /// alone. Fills at most `capacity` entries and returns how many there are.
    /// A mode without times has none.
    int GetTimeParameters(STimeParameter* parameters, int capacity, CVeltor const* device,
                          char channel, bool onlyFailing = false) const;

    int m_nReserved;  ///< for the host; copied, never read by the library

protected:
    /// Nearest count of the channel's clock, an exact half rounding up. Times
    /// beyond the counter saturate: NaN and negative give 0, too long give the
    /// largest count, 4294967295. No device, or a letter naming no channel
    /// (frequency 0), gives 0.
    unsigned int GetClicks(double seconds, CVeltor const* device, char channel) const;
    /// counts / frequency; NaN without a usable clock, so that every interval
    /// built from it is empty and every check against it fails.
    double GetRealTime(unsigned int counts, CVeltor const* device, char channel) const;
    /// 0..7 for 'A'..'H' or 'a'..'h', 0xFF for anything else.
    unsigned char GetID(char channel) const;
    /// The mode's times and their intervals in counts, the one place each
    /// mode writes them: its checks, ranges and diagnostics read it. None for
    /// a mode without times.
    virtual const veltor::modes::TimeTable* GetTimeTable() const;
};
