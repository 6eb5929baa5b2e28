// A short session with the simulated instrument on a pseudo-terminal: the
// library's own serial code opens the terminal as its port, every command is
// one framed request, and the demo prints each request, each answer and the
// result.
#include <veltor/veltor.h>

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "sim/Simulator.h"
#include "sim/Wire.h"

namespace {

void Step(vsim::Simulator& sim, const char* what, const std::function<bool()>& command) {
    sim.ClearLog();
    const bool ok = command();
    std::printf("%s\n", what);
    const std::vector<vsim::Frame> frames = sim.Frames();
    if (frames.empty()) {
        std::printf("   (nothing sent)\n");
    }
    for (const vsim::Frame& frame : frames) {
        std::printf("   request  %s\n", vsim::ToHex(frame.raw).c_str());
        std::printf("   answer   %s\n",
                    frame.written.empty() ? "(none)" : vsim::ToHex(frame.written).c_str());
    }
    std::printf("   result   %s\n\n", ok ? "true" : "false");
}

}  // namespace

int main() {
    vsim::Simulator sim;
    std::printf("simulated instrument on %s\n", sim.SlavePath().c_str());

    CVeltor device;
    const int opened = device.InitConnection(sim.SlavePath().c_str(), 6);
    sim.WaitForRawBytes(1024, 5000);
    std::printf("InitConnection at 115200 bit/s: %d (filler burst of %zu bytes sent)\n\n", opened,
                sim.RawReceived().size());
    if (opened != 0) {
        return 1;
    }

    Step(sim, "CmdLockFP", [&] { return device.CmdLockFP(); });
    Step(sim, "CmdSetClock (A/B on 200 MHz, C/D on 3.125 MHz)", [&] {
        device.GetPropA()->nClockCD = 1;
        return device.CmdSetClock();
    });

    CDelayDurate pulse;
    pulse.m_Dly.dDelay = 1.5e-6;
    pulse.m_Dly.dDuration = 10e-6;
    device.GetChannel('A')->SetTimingMode(&pulse);
    Step(sim, "channel A: delay 1.5 us, duration 10 us -> CmdSetTimingMode",
         [&] { return device.GetChannel('A')->CmdSetTimingMode(); });
    const vsim::ChannelState a = sim.State().ch[0];
    std::printf("   instrument runs %s: delay %u counts (%.9g s), duration %u counts (%.9g s)\n\n",
                a.modeName.c_str(), a.delayCounts1, a.delaySeconds, a.durationCounts,
                a.durationSeconds);

    CClock clock;
    clock.m_Clock.dDelay = 1.0;  // far beyond the clock mode's 0.052 s at 200 MHz
    device.GetChannel('B')->SetTimingMode(&clock);
    Step(sim, "channel B: clock mode with 1 s (out of range) -> CmdSetTimingMode",
         [&] { return device.GetChannel('B')->CmdSetTimingMode(); });
    device.GetChannel('B')->SetTimingMode(nullptr);

    Step(sim, "channel A logic 'inA = in1 & not in2;' -> CmdTransferLogic", [&] {
        device.GetChannel('A')->SetChannelLogic("inA = in1 & not in2;");
        return device.GetChannel('A')->CmdTransferLogic();
    });
    Step(sim, "CmdImplementLogic", [&] { return device.CmdImplementLogic(); });
    Step(sim, "CmdEnableOutputs", [&] { return device.CmdEnableOutputs(); });

    sim.SetChannelDelay(2, 31250);
    Step(sim, "channel C: CmdQuery", [&] { return device.GetChannel('C')->CmdQuery(); });
    std::printf("   last delay of C: %.9g s (31250 counts at 3.125 MHz)\n\n",
                device.GetChannel('C')->GetLastDelay());

    Step(sim, "CmdUpdateAll", [&] { return device.CmdUpdateAll(); });
    Step(sim, "CmdUnlockFP", [&] { return device.CmdUnlockFP(); });

    device.GetChannel('A')->SetTimingMode(nullptr);
    device.CloseConnection();
    std::printf("connection closed\n");
    return 0;
}
