#include <veltor/CVeltor.h>
#include <veltor/Diagnostics.h>

#include <cmath>
#include <cstdio>

namespace veltor {

namespace {

std::string Number(const char* format, double value) {
    char text[64];
    std::snprintf(text, sizeof(text), format, value);
    return text;
}

std::string Clock(double hz) {
    if (hz >= 1e6) {
        return Number("%.10g MHz", hz / 1e6);
    }
    if (hz >= 1e3) {
        return Number("%.10g kHz", hz / 1e3);
    }
    return Number("%.10g Hz", hz);
}

}  // namespace

std::string DescribeTime(const STimeParameter& parameter) {
    std::string text = std::string(parameter.szName) + " " + Number("%.12g s", parameter.dValue);
    if (!(parameter.dClockHz > 0.0)) {
        return text + " cannot be checked: the channel has no clock";
    }
    const std::string clock = " of the " + Clock(parameter.dClockHz) + " clock)";
    if (parameter.bWithin) {
        return text + " (" + std::to_string(std::llround(parameter.dValue * parameter.dClockHz)) +
               " counts" + clock;
    }
    return text + " is outside " + Number("%.12g s", parameter.dMinimum) + " to " +
           Number("%.12g s", parameter.dMaximum) + " (" + std::to_string(parameter.nMinimumCounts) +
           " to " + std::to_string(parameter.nMaximumCounts) + " counts" + clock;
}

std::vector<std::string> FindParameterProblems(const CTimingMode& mode, CVeltor const* device,
                                               char channel) {
    std::vector<std::string> problems;
    if (mode.CheckParameters(device, channel)) {
        return problems;
    }
    STimeParameter failing[8];
    const int count = mode.GetTimeParameters(failing, 8, device, channel, true);
    for (int i = 0; i < count && i < 8; ++i) {
        problems.push_back(DescribeTime(failing[i]));
    }
    if (problems.empty()) {
        problems.push_back("the mode refuses its parameters (its own check)");
    }
    return problems;
}

}  // namespace veltor
