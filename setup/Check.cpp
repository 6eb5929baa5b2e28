#include <veltor/Diagnostics.h>
#include <veltor/veltor.h>

#include "setup/Setup.h"

namespace veltor::setup {

std::vector<Problem> FindProblems(Setup& setup) {
    // An unconnected device holds the setup's objects: the check sends nothing.
    CVeltor device;
    Attach(setup, device);
    std::vector<Problem> problems;
    for (const DeviceProblem& problem : FindDeviceProblems(device)) {
        // A problem of no channel is the global logic's, or the general
        // properties' (a clock-source code, whose text names the pair).
        std::string key = problem.logic ? "globalLogic" : "general.clocks";
        if (problem.channel != 0) {
            key = std::string("channels.") + problem.channel + (problem.logic ? ".logic" : "");
        }
        problems.push_back({key, problem.text});
    }
    return problems;
}

std::vector<std::string> Check(Setup& setup) {
    std::vector<std::string> lines;
    for (const Problem& problem : FindProblems(setup)) {
        lines.push_back(problem.key + ": " + problem.text);
    }
    return lines;
}

}  // namespace veltor::setup
