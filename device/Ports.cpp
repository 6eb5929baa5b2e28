// Listing the machine's serial ports, and probing them for the instrument
// with the library's own query of channel A.
#include <veltor/CChannel.h>
#include <veltor/CVeltor.h>
#include <veltor/Ports.h>

#include <algorithm>
#include <chrono>

#include "device/BurstGenerator.h"
#include "device/Request.h"
#include "platform/Platform.h"
#include "serial/link/Link.h"

namespace veltor {
namespace {

// Milliseconds that `bytes` take on the line at `baud`, ten bits a byte,
// rounded up.
long WireMs(long bytes, long baud) {
    return static_cast<long>((bytes * 10LL * 1000 + baud - 1) / baud);
}

// Kept back from the answer's wait for closing the port within the bound.
const long kCloseReserveMs = 20;
// The driver's own latency on a burst the line takes in its time.
const long kBurstSlackMs = 50;
// More than the query frame of channel A takes on the line.
const long kQueryBytes = 16;

// One connection at one speed: opened (with its filler burst), one query of
// channel A with a single short attempt, closed again; all of it within the
// answer's time plus the burst's time on the line, however the line behaves
// (see PortListOptions::probe).
void ProbeAt(PortInfo* port, int baudIndex) {
    using Clock = std::chrono::steady_clock;
    const long baud = CSerDev::BaudRate(baudIndex);
    const long burstMs = WireMs(kBurstSize, baud);
    const long totalMs = kProbeAnswerMs + burstMs;
    const Clock::time_point started = Clock::now();
    // Every write, drain and the close keep to it.
    link::PortDeadline whole(totalMs);
    CVeltor device;
    int opened;
    {
        // A line that does not take the burst in about its time on the line
        // would not carry the query either.
        link::PortDeadline burst(burstMs + kBurstSlackMs);
        opened = device.InitConnection(port->path.c_str(), baudIndex);
    }
    if (opened != 0) {
        const std::string why = device.GetLastError();
        port->probe =
            why.find("held by") != std::string::npos ? PortProbe::Busy : PortProbe::Failed;
        port->probeNote = why;
        return;
    }
    // The answer is waited for what is left once the burst, if still on the
    // line, and the query have gone out, less the time to close.
    const long elapsed = static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - started).count());
    const long lineBusy = std::max(0L, burstMs - elapsed);
    const long answerMs =
        std::max(1L, totalMs - elapsed - lineBusy - WireMs(kQueryBytes, baud) - kCloseReserveMs);
    bool answered;
    {
        RequestLimit limit(static_cast<int>(std::min<long>(answerMs, kProbeAnswerMs)), 1);
        answered = device.GetChannel('A')->CmdQuery();
    }
    device.CloseConnection();
    if (answered) {
        port->probe = PortProbe::Instrument;
        port->probeBaudIndex = baudIndex;
        port->probeNote.clear();
    } else {
        port->probe = PortProbe::NoAnswer;
        port->probeNote = device.GetLastError();
    }
}

void Probe(PortInfo* port, const std::vector<int>& baudIndexes) {
    for (int baudIndex : baudIndexes) {
        if (CSerDev::BaudRate(baudIndex) == 0) {
            port->probe = PortProbe::Failed;
            port->probeNote = "no such baud index: " + std::to_string(baudIndex);
            return;
        }
        ProbeAt(port, baudIndex);
        // A port that cannot be opened at one speed cannot at the next.
        if (port->probe != PortProbe::NoAnswer) {
            return;
        }
    }
}

}  // namespace

std::vector<PortInfo> ListPorts(const PortListOptions& options) {
    std::vector<PortInfo> ports;
    if (options.systemPorts) {
        ports = platform::ListSerialPorts();
    }
    for (const std::string& path : options.extraPaths) {
        PortInfo port;
        port.path = path;
        port.description = "given by the caller";
        ports.push_back(port);
    }
    if (options.probe) {
        for (PortInfo& port : ports) {
            Probe(&port, options.baudIndexes);
        }
    }
    return ports;
}

const char* DescribePortProbe(PortProbe probe) {
    switch (probe) {
        case PortProbe::NotProbed:
            return "not probed";
        case PortProbe::Instrument:
            return "instrument";
        case PortProbe::NoAnswer:
            return "no answer";
        case PortProbe::Busy:
            return "busy";
        case PortProbe::Failed:
            return "failed";
    }
    return "unknown";
}

}  // namespace veltor
