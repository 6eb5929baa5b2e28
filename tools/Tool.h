// Pieces the veltor tool's commands share: exit codes, the connection, the
// wire trace printer, the offline check and the instrument table.
#pragma once

#include <veltor/veltor.h>

#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "setup/Setup.h"

namespace CLI {
class App;
}
namespace vsim {
struct InstrumentState;
}

namespace veltor::tools {

// Exit codes, documented in `veltor --help`.
enum ExitCode {
    kExitOk = 0,
    kExitCommandFailed = 1,  // the instrument did not carry out a command
    kExitUsage = 2,          // bad command line
    kExitBadSetup = 3,       // the setup file cannot be read or fails the check
    kExitNoConnection = 4,   // the port cannot be opened
};

// A failure that ends the command with its exit code and message.
class ToolError : public std::runtime_error {
public:
    ToolError(ExitCode code, const std::string& message)
        : std::runtime_error(message), m_Code(code) {}
    ExitCode Code() const { return m_Code; }

private:
    ExitCode m_Code;
};

// "1 delay report", "2 delay reports": a count with its noun, plural when
// the count is not one.
std::string Count(long count, const std::string& noun);
// "25 D8 03 80 00 ..." for the bytes.
std::string Hex(const unsigned char* bytes, unsigned long count);
// "20 µs", "1.5 ms", "-3 ns": engineering units for a time in seconds, with
// at most `digits` significant digits.
std::string FormatSeconds(double seconds, int digits = 6);

// How the tool reaches the instrument.
struct PortOptions {
    std::string port;    // a device path, or a port number (1: COM1 / /dev/ttyS0)
    long baud = 115200;  // bit/s
    bool trace = false;  // print the wire trace on standard error
};
// --port (required), --baud and --trace on a command that talks to the
// instrument.
void AddPortOptions(CLI::App& command, PortOptions& options);
// Connects, or throws ToolError(kExitNoConnection) with the library's reason.
std::unique_ptr<CVeltor> Connect(const PortOptions& options);
// --reconnect: the device opens a lost line again by the same name, says so
// on standard error, and runs `back` (if any) on its reconnecting thread
// each time the line is back.
void KeepConnection(CVeltor& device, std::function<void(CVeltor&)> back);
// The baud index of a line speed in bit/s, or throws ToolError(kExitUsage).
int BaudIndex(long baud);
// Prints every request, answer and unasked chunk on standard error.
void PrintTraceTo(CVeltor& device);
// The device's reason for a failed command ("channel A: enabling the
// channel: no answer after 5 attempts"), or "<what> failed" without one.
ToolError CommandFailed(const CVeltor& device, const std::string& what);

// The logic warnings of the global text and of each channel's text
// ("channels.B.logic, line 2: inB mixes ...").
std::vector<std::string> LogicWarnings(CVeltor& device);
// "channels.C.delay 1.5 µs runs as 1.6 µs, 5 counts of 320 ns (+6.67 %)".
std::string DescribeRounding(const RoundedTime& time);
// Loads a setup file, or throws ToolError(kExitBadSetup).
setup::Setup LoadSetup(const std::string& path);

// What a channel's query brought, after a CmdQuery that succeeded: "A delay
// 1.5 µs (300 counts of the 200 MHz clock)".
std::string DescribeQueried(CVeltor& device, char channel);

// A request's status text, with its channel for a timing mode, a logic load
// or a channel command ("Setting timing mode... channel C").
std::string RequestStep(const CSerDev::TraceEvent& event);

// What the simulated instrument holds: one row per channel (mode, delay,
// duration, enabled, logic code) and the device-wide state.
std::string FormatInstrument(const vsim::InstrumentState& state);

}  // namespace veltor::tools
