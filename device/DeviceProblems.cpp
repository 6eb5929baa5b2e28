#include <veltor/CChannel.h>
#include <veltor/CVeltor.h>
#include <veltor/Diagnostics.h>

#include <cmath>
#include <string>
#include <utility>

#include "device/ClockSources.h"
#include "modes/Payload.h"

namespace veltor {

namespace {

// Closer than this, a time runs as written: the product of a time and a
// clock is off by a few units of the last place only, while one count in
// the largest (2^32) is 2e-10 of it.
constexpr double kSameTime = 1e-12;
constexpr int kMostTimes = 8;

}  // namespace

std::vector<RoundedTime> FindRoundedTimes(const CTimingMode& mode, CVeltor const* device,
                                          char channel) {
    std::vector<RoundedTime> rounded;
    STimeParameter times[kMostTimes];
    const int count = mode.GetTimeParameters(times, kMostTimes, device, channel);
    for (int i = 0; i < count && i < kMostTimes; ++i) {
        const STimeParameter& time = times[i];
        if (!time.bWithin || !(time.dClockHz > 0.0)) {
            continue;
        }
        // A negative time (the up-down delay) goes out as its magnitude's
        // counts, negated.
        const double magnitude = std::fabs(time.dValue);
        const std::uint32_t counts = modes::CountsAt(time.dClockHz, magnitude);
        const double running = std::copysign(modes::SecondsAt(time.dClockHz, counts), time.dValue);
        if (std::fabs(running - time.dValue) > kSameTime * magnitude) {
            const long long signedCounts = time.dValue < 0.0 ? -static_cast<long long>(counts)
                                                             : static_cast<long long>(counts);
            const char letter =
                channel >= 'a' && channel <= 'h' ? static_cast<char>(channel - 'a' + 'A') : channel;
            rounded.push_back(
                {letter, time.szName, time.dValue, running, signedCounts, time.dClockHz});
        }
    }
    return rounded;
}

std::vector<RoundedTime> FindRoundedTimes(CVeltor& device) {
    CSerDev::Hold hold(device);
    std::vector<RoundedTime> rounded;
    for (char letter = 'A'; letter <= 'H'; ++letter) {
        if (const CTimingMode* mode = device.GetChannel(letter)->GetTimingMode()) {
            for (RoundedTime& time : FindRoundedTimes(*mode, &device, letter)) {
                rounded.push_back(std::move(time));
            }
        }
    }
    return rounded;
}

std::vector<DeviceProblem> FindDeviceProblems(CVeltor& device) {
    CSerDev::Hold hold(device);
    std::vector<DeviceProblem> problems;
    // A clock-source code outside 0 to 3 concerns the device, not one channel.
    for (std::string& text : ClockSourceProblems(*device.GetPropA())) {
        problems.push_back({0, false, std::move(text)});
    }
    // The global text as it stands may never have been accepted: parsed
    // again, it either keeps the same symbols or tells why not.
    if (!device.SetGlobalLogic(device.GetGlobalLogic().c_str())) {
        problems.push_back({0, true, device.GetGlobalLogicError()});
    }
    for (char letter = 'A'; letter <= 'H'; ++letter) {
        CChannel* channel = device.GetChannel(letter);
        if (const CTimingMode* mode = channel->GetTimingMode()) {
            for (std::string& text : FindParameterProblems(*mode, &device, letter)) {
                problems.push_back({letter, false, std::move(text)});
            }
        }
        if (!channel->CompileLogic()) {
            problems.push_back({letter, true, channel->GetLogicError()});
        }
    }
    return problems;
}

}  // namespace veltor
