/// @file
/// Why a timing mode is refused, in words: each time outside its interval,
/// with the interval in seconds and in counts of the channel's clock.
#pragma once

#include <veltor/CTimingMode.h>
#include <veltor/export.h>

#include <string>
#include <vector>

class CVeltor;

namespace veltor {

/// "delay 1e-09 s is outside 2e-08 s to 21.474836475 s (4 to 4294967295
/// counts of the 200 MHz clock)"; a time within its interval reads "delay
/// 2e-05 s (4000 counts of the 200 MHz clock)".
VELTOR_API std::string DescribeTime(const STimeParameter& parameter);

/// One text per reason the mode fails its check at the channel: each time
/// outside its interval, "no clock" for a letter that names no channel, or
/// the mode's own refusal when a subclass checks more than its times. Empty
/// when CheckParameters passes.
VELTOR_API std::vector<std::string> FindParameterProblems(const CTimingMode& mode,
                                                          CVeltor const* device, char channel);

/// A time that the instrument runs other than as written: it counts whole
/// periods of the channel's clock, and a time between two counts runs as
/// the nearest one (at 3.125 MHz a delay of 1.5 µs runs as 1.6 µs).
struct VELTOR_API RoundedTime {
    char channel;      ///< 'A'..'H'
    std::string name;  ///< "delay", "duration", "sweep" (STimeParameter::szName)
    double written;    ///< seconds, as the mode holds it
    double running;    ///< seconds, as the instrument runs it: counts / clock
    long long counts;  ///< counts sent for it (negative for a negative delay)
    double clockHz;    ///< the channel's clock frequency
};
/// Each time the mode checks now (GetTimeParameters) that is within its
/// interval but runs other than as written, by more than one part in 10^12;
/// the counts are those the mode sends. Empty for a mode without times and
/// for a channel without a clock. Times outside their interval are not
/// listed: FindParameterProblems lists them, and nothing is sent for them.
VELTOR_API std::vector<RoundedTime> FindRoundedTimes(const CTimingMode& mode, CVeltor const* device,
                                                     char channel);
/// The same for each channel's own mode, A to H. Takes the device's lock.
VELTOR_API std::vector<RoundedTime> FindRoundedTimes(CVeltor& device);

/// One reason the device's host objects would be refused, found offline.
struct VELTOR_API DeviceProblem {
    /// 'A'..'H'; 0 for the global logic (logic true) or a pair's
    /// clock-source code outside 0 to 3 (logic false)
    char channel;
    bool logic;        ///< a logic text (else the channel's timing mode)
    std::string text;  ///< what is wrong, in words
};
/// Everything a whole-device update would refuse, without sending anything:
/// the global logic text, each pair's clock-source code outside 0 to 3,
/// each channel's own timing mode out of range
/// (FindParameterProblems) and each channel's logic text that does not
/// compile (with its line). Empty when nothing would be refused. Takes the
/// device's lock.
VELTOR_API std::vector<DeviceProblem> FindDeviceProblems(CVeltor& device);

}  // namespace veltor
