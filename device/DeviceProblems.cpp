#include <veltor/CChannel.h>
#include <veltor/CVeltor.h>
#include <veltor/Diagnostics.h>

#include <string>
#include <utility>

#include "device/ClockSources.h"

namespace veltor {

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
