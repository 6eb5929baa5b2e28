// A user's program against the installed library: the version, a device,
// a mode checked offline at a channel's clock, a logic text compiled.
#include <veltor/veltor.h>

#include <cstdio>
#include <string>

int main() {
    CVeltor device;
    CDelayDurate pulse;
    pulse.m_Dly.dDuration = 1e-9;  // below the instrument's 1539 counts
    const std::vector<std::string> problems = veltor::FindParameterProblems(pulse, &device, 'A');
    const bool logic = device.GetChannel('A')->CompileLogic();
    std::printf("veltor %s: %zu problem, logic %s\n", VELTOR_VERSION, problems.size(),
                logic ? "ok" : "refused");
    return problems.size() == 1 && logic ? 0 : 1;
}
