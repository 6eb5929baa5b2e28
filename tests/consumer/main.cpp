// A user's program against the installed library: the version, a device,
// a mode checked offline at a channel's clock, a logic text compiled.
#include <veltor/veltor.h>

#include <cstdio>
#include <string>

// The standard the user's build chose, when the test names it: no flag of
// veltor.pc may override it.
#ifdef VELTOR_CONSUMER_CPLUSPLUS
static_assert(__cplusplus == VELTOR_CONSUMER_CPLUSPLUS, "the build's -std was overridden");
#endif

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
