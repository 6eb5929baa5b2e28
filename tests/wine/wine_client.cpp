// A Windows host program for the Wine tests: it drives one CVeltor through
// veltor.dll as a host application would, one request per line on standard
// input, and answers each with one line on standard output that starts with
// the request's first word. The native harness (WineTests.cpp) sends the
// requests and checks the answers against the simulated instrument.
//
//   open PORT BAUD            InitConnection(PORT, BAUD)
//   openpath NAME BAUD        InitConnection(NAME, BAUD)
//   close | connected | quit
//   raw TRIES TIMEOUT HEX     DoCommand of a 0xD8 command with that payload
//   write HEX                 raw write
//   dev NAME                  a device-wide command (enable, disable, lock, ...)
//   ch L NAME                 a channel command (enable, disable, trigger, ...)
//   mode L DELAY DURATION     attach a delay-and-duration mode to channel L
//   clock AB CD EF GH         clock-source codes of the pairs
//   delay L                   the channel's last delay in seconds
//   throw N                   the next N calls of HandleUnsolicited throw
//   unsolicited BYTES MS      waits until BYTES unasked bytes were handed over
//   waitreports N MS          waits until the unasked bytes kept hold N valid reports
//   unasked                   the unasked bytes kept so far, in hex; forgets them
//   mixed N                   N commands back to back: every third a channel's
//                             forced trigger (A, B, ... in turn), else enable outputs
//   outcome                   GetLastOutcome() of the last exchange
//   waitlost MS               waits until IsConnected() turns false
//   flags                     bLockFP and bDisableOutputs
#include <veltor/CChannel.h>
#include <veltor/CCommand.h>
#include <veltor/CVeltor.h>
#include <veltor/DelayModes.h>
#include <veltor/Ports.h>
#include <veltor/SGeneral.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <map>
#include <memory>
#include <mutex>
#include <ostream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

// The host's own device class: counts what the watcher hands to
// HandleUnsolicited, and can make that override throw, as a careless host's
// might; the library must survive it.
class CClientDevice : public CVeltor {
public:
    // The watcher calls the override below until the connection is closed.
    ~CClientDevice() override { CloseConnection(); }

    void HandleUnsolicited(unsigned char* bytes, unsigned long count) override {
        const bool fail = m_nThrows.fetch_sub(1) > 0;
        if (!fail) {
            m_nThrows = 0;
            CVeltor::HandleUnsolicited(bytes, count);
        }
        {
            // Counted once the bytes are handled, so that a waiter sees their
            // effect.
            std::lock_guard<std::mutex> hold(m_Mutex);
            m_nCalls++;
            m_nBytes += count;
            m_nThrown += fail ? 1 : 0;
            m_Kept.insert(m_Kept.end(), bytes, bytes + count);
        }
        m_Changed.notify_all();
        if (fail) {
            throw std::runtime_error("host failure in HandleUnsolicited");
        }
    }

    // Waits until `bytes` unasked bytes were handled; reports the counts.
    bool WaitUnsolicited(unsigned long bytes, int timeoutMs, std::ostream& out) {
        std::unique_lock<std::mutex> hold(m_Mutex);
        const bool reached = m_Changed.wait_for(hold, std::chrono::milliseconds(timeoutMs),
                                                [&] { return m_nBytes >= bytes; });
        out << ' ' << reached << " calls=" << m_nCalls << " bytes=" << m_nBytes
            << " thrown=" << m_nThrown;
        return reached;
    }

    // Waits until the bytes kept hold `reports` valid delay reports.
    bool WaitReports(std::size_t reports, int timeoutMs, std::ostream& out) {
        std::unique_lock<std::mutex> hold(m_Mutex);
        std::size_t found = 0;
        const bool reached = m_Changed.wait_for(hold, std::chrono::milliseconds(timeoutMs), [&] {
            found = CountReports(m_Kept);
            return found >= reports;
        });
        out << ' ' << reached << " reports=" << found << " bytes=" << m_Kept.size();
        return reached;
    }

    // The unasked bytes kept since the last call.
    std::vector<unsigned char> TakeKept() {
        std::lock_guard<std::mutex> hold(m_Mutex);
        std::vector<unsigned char> kept;
        kept.swap(m_Kept);
        return kept;
    }

    bool RawWrite(unsigned char* bytes, int count) { return Write(bytes, count); }

    std::atomic<int> m_nThrows{0};

private:
    std::mutex m_Mutex;
    std::condition_variable m_Changed;
    int m_nThrown = 0;
    unsigned long m_nCalls = 0;
    unsigned long m_nBytes = 0;
    std::vector<unsigned char> m_Kept;

    // Valid delay reports (51 06 channel d0..d3 checksum, bytes 1..7 summing
    // to zero), found without the library's help.
    static std::size_t CountReports(const std::vector<unsigned char>& bytes) {
        std::size_t found = 0;
        for (std::size_t i = 0; i + 8 <= bytes.size(); ++i) {
            unsigned char sum = 0;
            for (std::size_t k = 1; k < 8; ++k) {
                sum = static_cast<unsigned char>(sum + bytes[i + k]);
            }
            if (bytes[i] == 0x51 && bytes[i + 1] == 6 && bytes[i + 2] < 8 && sum == 0) {
                ++found;
                i += 7;
            }
        }
        return found;
    }
};

std::vector<unsigned char> FromHex(const std::string& text) {
    std::vector<unsigned char> bytes;
    for (std::size_t i = 0; i + 1 < text.size(); i += 2) {
        bytes.push_back(static_cast<unsigned char>(std::stoul(text.substr(i, 2), nullptr, 16)));
    }
    return bytes;
}

std::string ToHex(const unsigned char* bytes, std::size_t count) {
    std::string text;
    char pair[3];
    for (std::size_t i = 0; i < count; ++i) {
        std::snprintf(pair, sizeof(pair), "%02X", bytes[i]);
        text += pair;
    }
    return text;
}

long long ElapsedMs(std::chrono::steady_clock::time_point since) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                 since)
        .count();
}

bool DeviceCommand(CVeltor& device, const std::string& name, bool* known) {
    *known = true;
    if (name == "enable")
        return device.CmdEnableOutputs();
    if (name == "disable")
        return device.CmdDisableOutputs();
    if (name == "lock")
        return device.CmdLockFP();
    if (name == "unlock")
        return device.CmdUnlockFP();
    if (name == "resetall")
        return device.CmdResetAll();
    if (name == "setclock")
        return device.CmdSetClock();
    if (name == "setallmodes")
        return device.CmdSetAllTimingModes();
    if (name == "updateall")
        return device.CmdUpdateAll();
    if (name == "transferlogic")
        return device.CmdTransferAllLogic();
    if (name == "implementlogic")
        return device.CmdImplementLogic();
    *known = false;
    return false;
}

bool ChannelCommand(CChannel& channel, const std::string& name, bool* known) {
    *known = true;
    if (name == "enable")
        return channel.CmdEnable();
    if (name == "disable")
        return channel.CmdDisable();
    if (name == "trigger")
        return channel.CmdForceTrigger();
    if (name == "reset")
        return channel.CmdReset();
    if (name == "query")
        return channel.CmdQuery();
    if (name == "setmode")
        return channel.CmdSetTimingMode();
    *known = false;
    return false;
}

}  // namespace

int main() {
    CClientDevice device;
    std::map<char, std::unique_ptr<CDelayDurate>> modes;
    std::string line;
    // Every answer is flushed at once: the harness waits for it.
    auto answer = [](const std::string& text) { std::cout << text << std::endl; };

    while (std::getline(std::cin, line)) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        std::istringstream in(line);
        std::string verb;
        in >> verb;
        std::ostringstream out;
        out << verb;
        const auto start = std::chrono::steady_clock::now();

        if (verb == "quit") {
            answer("quit");
            break;
        } else if (verb == "open") {
            int port = 0, baud = 0;
            in >> port >> baud;
            out << ' ' << device.InitConnection(port, baud);
        } else if (verb == "openpath") {
            std::string name;
            int baud = 0;
            in >> name >> baud;
            out << ' ' << device.InitConnection(name.c_str(), baud);
        } else if (verb == "probe") {
            // probe NAME BAUDINDEX: the port listing's probe of one port at one
            // speed, with what it found and how long it took.
            std::string name;
            int baud = 0;
            in >> name >> baud;
            veltor::PortListOptions options;
            options.probe = true;
            options.systemPorts = false;
            options.extraPaths = {name};
            options.baudIndexes = {baud};
            const std::vector<veltor::PortInfo> ports = veltor::ListPorts(options);
            out << ' ' << ports.size();
            if (!ports.empty()) {
                out << " found=" << static_cast<int>(ports[0].probe);
            }
            out << " ms=" << ElapsedMs(start);
        } else if (verb == "close") {
            out << ' ' << device.CloseConnection() << " connected=" << device.IsConnected();
        } else if (verb == "connected") {
            out << ' ' << device.IsConnected();
        } else if (verb == "raw") {
            int tries = 0, timeout = 0;
            std::string hex;
            in >> tries >> timeout >> hex;
            const std::vector<unsigned char> payload = FromHex(hex);
            std::unique_ptr<CCommand> command(new CCommand(0xD8, payload.data(),
                                                           static_cast<int>(payload.size()),
                                                           "Testing...", 0, timeout, tries));
            const bool ok = device.DoCommand(command.get());
            const unsigned int count = command->m_ResponseCount;
            out << ' ' << ok << " tries=" << command->m_Tries << " count=" << count
                << " ms=" << ElapsedMs(start) << " outcome=" << device.GetLastOutcome()
                << " response="
                << ToHex(command->m_Response, count < sizeof(command->m_Response) ? count : 0);
        } else if (verb == "write") {
            std::string hex;
            in >> hex;
            std::vector<unsigned char> bytes = FromHex(hex);
            out << ' ' << device.RawWrite(bytes.data(), static_cast<int>(bytes.size()));
        } else if (verb == "dev") {
            std::string name;
            in >> name;
            bool known = false;
            const bool ok = DeviceCommand(device, name, &known);
            out << ' ' << name << ' ' << (known ? (ok ? "1" : "0") : "unknown")
                << " ms=" << ElapsedMs(start);
        } else if (verb == "ch" || verb == "mode" || verb == "delay") {
            char letter = 0;
            in >> letter;
            CChannel* channel = device.GetChannel(letter);
            out << ' ' << letter;
            if (channel == nullptr) {
                out << " nochannel";
            } else if (verb == "ch") {
                std::string name;
                in >> name;
                bool known = false;
                const bool ok = ChannelCommand(*channel, name, &known);
                out << ' ' << name << ' ' << (known ? (ok ? "1" : "0") : "unknown");
            } else if (verb == "mode") {
                std::unique_ptr<CDelayDurate>& mode = modes[letter];
                if (!mode) {
                    mode.reset(new CDelayDurate);
                }
                in >> mode->m_Dly.dDelay >> mode->m_Dly.dDuration;
                channel->SetTimingMode(mode.get());
                out << ' ' << channel->CheckParameters();
            } else {
                char value[64];
                std::snprintf(value, sizeof(value), " %.17g", channel->GetLastDelay());
                out << value;
            }
        } else if (verb == "clock") {
            SGeneral* general = device.GetPropA();
            in >> general->nClockAB >> general->nClockCD >> general->nClockEF >> general->nClockGH;
            out << " 1";
        } else if (verb == "flags") {
            SGeneral* general = device.GetPropA();
            out << " lock=" << general->bLockFP << " disable=" << general->bDisableOutputs;
        } else if (verb == "throw") {
            int throws = 0;
            in >> throws;
            device.m_nThrows = throws;
            out << ' ' << throws;
        } else if (verb == "unsolicited") {
            unsigned long bytes = 0;
            int timeout = 0;
            in >> bytes >> timeout;
            device.WaitUnsolicited(bytes, timeout, out);
        } else if (verb == "waitreports") {
            std::size_t reports = 0;
            int timeout = 0;
            in >> reports >> timeout;
            device.WaitReports(reports, timeout, out);
        } else if (verb == "unasked") {
            const std::vector<unsigned char> kept = device.TakeKept();
            out << " count=" << kept.size() << " hex=" << ToHex(kept.data(), kept.size());
        } else if (verb == "mixed") {
            int count = 0;
            in >> count;
            int ok = 0;
            int firstFailed = -1;
            for (int i = 0; i < count; ++i) {
                const bool done =
                    i % 3 != 0
                        ? device.CmdEnableOutputs()
                        : device.GetChannel(static_cast<char>('A' + i % 8))->CmdForceTrigger();
                ok += done ? 1 : 0;
                if (!done && firstFailed < 0) {
                    firstFailed = i;
                }
            }
            out << " ok=" << ok << " failed=" << firstFailed
                << " outcome=" << device.GetLastOutcome() << " ms=" << ElapsedMs(start);
        } else if (verb == "outcome") {
            out << ' ' << device.GetLastOutcome();
        } else if (verb == "waitlost") {
            int timeout = 0;
            in >> timeout;
            // Nothing announces a lost port but IsConnected() itself.
            while (device.IsConnected() && ElapsedMs(start) < timeout) {
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
            out << ' ' << !device.IsConnected() << " ms=" << ElapsedMs(start);
        } else {
            out << " unknown";
        }
        answer(out.str());
    }

    // Channels keep pointers to the modes: detach them before the modes go.
    for (auto& entry : modes) {
        device.GetChannel(entry.first)->SetTimingMode(nullptr);
    }
    device.CloseConnection();
    return 0;
}
