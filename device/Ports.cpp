// Listing the machine's serial ports, and probing them for the instrument
// with the library's own query of channel A.
#include <veltor/CChannel.h>
#include <veltor/CVeltor.h>
#include <veltor/Ports.h>

#include "device/Request.h"
#include "platform/Platform.h"

namespace veltor {
namespace {

// One connection at one speed: opened (with its filler burst), one query of
// channel A with a single short attempt, closed again.
void ProbeAt(PortInfo* port, int baudIndex) {
    CVeltor device;
    if (device.InitConnection(port->path.c_str(), baudIndex) != 0) {
        const std::string why = device.GetLastError();
        port->probe =
            why.find("held by") != std::string::npos ? PortProbe::Busy : PortProbe::Failed;
        port->probeNote = why;
        return;
    }
    bool answered;
    {
        RequestLimit limit(kProbeAnswerMs, 1);
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
