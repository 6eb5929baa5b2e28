// A template for a program that drives an instrument: public headers only,
// the port as its argument. Sets channel A to a 10 µs pulse 1.5 µs after
// each trigger of input 1 (gated by input 2), sends everything with one
// whole-device update, and reads the delay back.
//
//   veltor-pulse /dev/ttyUSB0        (a port number also works: veltor-pulse 1)
//
// On the simulated instrument: veltor sim --link /tmp/veltor-tty &
//                              veltor-pulse /tmp/veltor-tty
#include <veltor/veltor.h>

#include <cstdio>
#include <cstdlib>
#include <string>

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s PORT\n", argv[0]);
        return 2;
    }
    CVeltor device;
    char* end = nullptr;
    const long number = std::strtol(argv[1], &end, 10);
    const int opened = *end == '\0'
                           ? device.InitConnection(static_cast<int>(number), CSerDev::kBaud115200)
                           : device.InitConnection(argv[1], CSerDev::kBaud115200);
    if (opened != 0) {
        std::fprintf(stderr, "cannot connect: %s\n", device.GetLastError().c_str());
        return 1;
    }

    CDelayDurate pulse;  // the host owns its mode objects; keep them alive while attached
    pulse.m_Dly.dDelay = 1.5e-6;
    pulse.m_Dly.dDuration = 10e-6;
    CChannel* a = device.GetChannel('A');
    a->SetTimingMode(&pulse);
    a->SetChannelLogic("inA = in1 & in2;");

    // Everything that would be refused is found before anything is sent.
    for (const std::string& problem : veltor::FindParameterProblems(pulse, &device, 'A')) {
        std::fprintf(stderr, "channel A: %s\n", problem.c_str());
    }
    if (!a->CompileLogic()) {
        int line = 0;
        const std::string message = a->GetLogicError(&line);
        std::fprintf(stderr, "channel A logic, line %d: %s\n", line, message.c_str());
        return 1;
    }

    if (!device.CmdUpdateAll() || !a->CmdEnable() || !a->CmdQuery()) {
        std::fprintf(stderr, "%s\n", device.GetLastError().c_str());
        return 1;
    }
    std::printf("channel A: pulse of %g s after %g s; the instrument reports a delay of %g s\n",
                pulse.m_Dly.dDuration, pulse.m_Dly.dDelay, a->GetLastDelay());
    return 0;
}
